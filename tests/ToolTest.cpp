// The fsdb command-line tool, run as a separate process on a real folder tree.

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"

// The build defines FSDB_TOOL as the executable's path when the tool is built (FSDB_BUILD_TOOLS).
#ifndef FSDB_TOOL
TEST(ToolTest, NotBuilt) {
  GTEST_SKIP() << "the fsdb tool is not part of this build";
}
#else

namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;  // the exit status, or -1 when the tool did not exit normally
  std::string out;
  std::string err;

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);)
      lines.push_back(line);
    return lines;
  }
};

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() : root_(fs::canonical(temp_.path()).string() + "/tree") {}

  // Runs the tool to completion; stdout is read through a pipe, stderr through a file.
  RunResult Run(const std::vector<std::string>& args) {
    const std::string errPath = temp_.File("stderr");
    std::string command = Quote(FSDB_TOOL);
    for (const std::string& arg : args)
      command += " " + Quote(arg);
    command += " 2>" + Quote(errPath);
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
      ADD_FAILURE() << "popen failed for " << command;
      return result;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      result.out.append(buffer, n);
    const int wstatus = pclose(pipe);
    if (wstatus != -1 && WIFEXITED(wstatus))
      result.status = WEXITSTATUS(wstatus);
    result.err = ReadFile(errPath);
    return result;
  }

  void Write(const std::string& relative, const std::string& content, bool append = false) {
    fs::create_directories(fs::path(Path(relative)).parent_path());
    std::ofstream(Path(relative), append ? std::ios::app : std::ios::trunc) << content;
  }
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  // What `list` should print for an entry, from the entry's own status.
  std::string ListLine(const std::string& relative) const {
    struct stat st;
    EXPECT_EQ(0, lstat(Path(relative).c_str(), &st)) << relative;
    const bool folder = S_ISDIR(st.st_mode);
    return std::string(folder ? "d " : "f ") + std::to_string(st.st_size) + " " +
           std::to_string(st.st_mtime) + " " + Path(relative) + (folder ? "/" : "");
  }

  void MakeTree() {
    Write("a.txt", "hello");
    Write("with space.txt", "x");
    Write("sub/b.txt", "bb");
    Write("sub/deep/c.txt", "ccc");
    Write("gone/g.txt", "g");
  }

  fsdbtest::TempDir temp_;
  const std::string root_;
};

// Runs the same scenarios in each folder layout.
class ToolLayoutTest : public ToolTest, public ::testing::WithParamInterface<bool> {
 protected:
  using ToolTest::Run;
  // `command` with the layout options of the parameter, then `operands`.
  RunResult Run(const std::string& command, const std::vector<std::string>& operands) {
    std::vector<std::string> args{command};
    if (GetParam() && command == "compare") {
      args.insert(args.end(), {"--previous-optimized", "--current-optimized"});
    } else if (GetParam()) {
      args.push_back("--optimized");
    }
    args.insert(args.end(), operands.begin(), operands.end());
    return Run(args);
  }
};

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST_P(ToolLayoutTest, ScanShowListAndCompare) {
  MakeTree();
  const std::string first = temp_.File("first.db");
  RunResult scan = Run("scan", {root_, first});
  ASSERT_EQ(0, scan.status) << scan.err;
  EXPECT_EQ(0u, scan.out.find("scanned " + root_ + ": 4 folders, 5 files")) << scan.out;

  struct stat st;
  ASSERT_EQ(0, lstat(Path("a.txt").c_str(), &st));
  RunResult show = Run("show", {first, Path("a.txt")});
  ASSERT_EQ(0, show.status) << show.err;
  for (const std::string& field :
       std::vector<std::string>{"FileName [a.txt]", "FileSize [5]", "IsDirectory [no]", "IsSelected [yes]",
                                std::string("Inode [") + std::to_string(st.st_ino) + "]",
                                std::string("Modification Time [") + std::to_string(st.st_mtime) + "]",
                                std::string("Attributes [") + std::to_string(st.st_mode) + "]"}) {
    EXPECT_NE(std::string::npos, show.out.find(field)) << field << " in " << show.out;
  }
  show = Run("show", {first, Path("with space.txt")});
  ASSERT_EQ(0, show.status) << show.err;
  EXPECT_NE(std::string::npos, show.out.find("FileSize [1]")) << show.out;
  show = Run("show", {first, Path("sub/deep")});
  ASSERT_EQ(0, show.status) << show.err;
  EXPECT_NE(std::string::npos, show.out.find("IsDirectory [yes]")) << show.out;

  RunResult list = Run("list", {first, root_});
  ASSERT_EQ(0, list.status) << list.err;
  EXPECT_EQ(Sorted({ListLine("a.txt"), ListLine("with space.txt"), ListLine("sub"), ListLine("gone")}),
            Sorted(list.Lines()));

  Write("a.txt", " world", true);
  Write("new.txt", "new");
  Write("newdir/n.txt", "n");
  fs::remove(Path("sub/b.txt"));
  fs::remove_all(Path("gone"));
  const std::string second = temp_.File("second.db");
  scan = Run("scan", {root_, second});
  ASSERT_EQ(0, scan.status) << scan.err;

  RunResult compare = Run("compare", {first, second});
  ASSERT_EQ(0, compare.status) << compare.err;
  std::vector<std::string> lines = compare.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("3 new, 3 deleted, 1 modified", lines.back());
  lines.pop_back();
  // Unchanged files (c.txt, "with space.txt") and folders present in both scans are not reported.
  EXPECT_EQ(Sorted({"M " + Path("a.txt"), "+ " + Path("new.txt"), "+ " + Path("newdir/"),
                    "+ " + Path("newdir/n.txt"), "- " + Path("sub/b.txt"), "- " + Path("gone/"),
                    "- " + Path("gone/g.txt")}),
            Sorted(lines));
}

TEST_P(ToolLayoutTest, UnselectedScansHaveNothingToCompare) {
  MakeTree();
  const std::string first = temp_.File("first.db");
  ASSERT_EQ(0, Run("scan", {"--no-select", root_, first}).status);
  RunResult show = Run("show", {first, Path("a.txt")});
  ASSERT_EQ(0, show.status) << show.err;
  EXPECT_NE(std::string::npos, show.out.find("IsSelected [no]")) << show.out;

  Write("new.txt", "new");
  const std::string second = temp_.File("second.db");
  ASSERT_EQ(0, Run("scan", {"--no-select", root_, second}).status);
  RunResult compare = Run("compare", {first, second});
  ASSERT_EQ(0, compare.status) << compare.err;
  EXPECT_EQ(std::vector<std::string>{"0 new, 0 deleted, 0 modified"}, compare.Lines());
}

TEST_P(ToolLayoutTest, ReadCommandsFailOnAMissingDatabaseWithoutCreatingIt) {
  const std::string missing = temp_.File("missing.db");
  for (const std::vector<std::string>& operands :
       {std::vector<std::string>{missing, "/"}, std::vector<std::string>{missing, missing}}) {
    for (const char* command : {"show", "list", "compare"}) {
      RunResult result = Run(command, operands);
      EXPECT_EQ(1, result.status) << command;
      EXPECT_NE(std::string::npos, result.err.find("no such database")) << result.err;
    }
  }
  EXPECT_FALSE(fs::exists(missing));
}

TEST_P(ToolLayoutTest, AnItemNotRecordedIsAFailure) {
  MakeTree();
  const std::string database = temp_.File("scan.db");
  ASSERT_EQ(0, Run("scan", {root_, database}).status);
  RunResult show = Run("show", {database, Path("absent.txt")});
  EXPECT_EQ(1, show.status);
  EXPECT_TRUE(show.out.empty()) << show.out;
  EXPECT_NE(std::string::npos, show.err.find("absent.txt")) << show.err;
}

INSTANTIATE_TEST_SUITE_P(Layouts, ToolLayoutTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Optimized" : "FullPath";
                         });

TEST_F(ToolTest, UsageErrorsExitWithTwoAndTouchNothing) {
  MakeTree();
  const std::string database = temp_.File("never.db");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string> >{
           {},
           {"frobnicate", root_, database},
           {"scan", root_},
           {"scan", root_, database, "extra"},
           {"scan", "--select-all", "--no-select", root_, database},
           {"scan", "--bogus", root_, database},
           {"compare", "--optimized", database, database},
       }) {
    RunResult result = Run(args);
    EXPECT_EQ(2, result.status) << (args.empty() ? "" : args[0]);
    EXPECT_TRUE(result.out.empty()) << result.out;
    EXPECT_NE(std::string::npos, result.err.find("usage:")) << result.err;
  }
  EXPECT_FALSE(fs::exists(database));

  RunResult help = Run({"show", "--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("usage:")) << help.out;
}

}  // namespace

#endif  // FSDB_TOOL
