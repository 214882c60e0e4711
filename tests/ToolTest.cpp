// The fsdb command-line tool, run as a separate process on a real folder tree.

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
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
using Lines = std::vector<std::string>;

struct RunResult {
  int status;  // the exit status, or -1 when the tool did not exit normally
  std::string out, err;
  Lines lines;  // of `out`
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Lines Sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Each scenario runs in each folder layout.
class ToolTest : public ::testing::TestWithParam<bool> {
 protected:
  // Runs the tool to completion, its output and errors captured in files. No argument holds a quote.
  RunResult Run(const Lines& args) {
    std::string command = "'" FSDB_TOOL "'";
    for (const std::string& arg : args)
      command += " '" + arg + "'";
    const int status = std::system((command + " >" + temp_.File("out") + " 2>" + temp_.File("err")).c_str());
    RunResult result{status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                     ReadFile(temp_.File("out")), ReadFile(temp_.File("err")), Lines()};
    std::istringstream stream(result.out);
    for (std::string line; std::getline(stream, line);)
      result.lines.push_back(line);
    return result;
  }

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  void Write(const std::string& relative, const std::string& content, bool append = false) {
    fs::create_directories(fs::path(Path(relative)).parent_path());
    std::ofstream(Path(relative), append ? std::ios::app : std::ios::trunc) << content;
  }
  void MakeTree() {
    for (const char* file : {"a.txt", "with space.txt", "sub/b.txt", "sub/deep/c.txt", "gone/g.txt"})
      Write(file, file);  // a.txt holds 5 bytes
  }

  // `command` with the layout options of the parameter, then `operands`.
  RunResult Run(const std::string& command, const Lines& operands) {
    Lines args = !GetParam()            ? Lines{command}
                 : command == "compare" ? Lines{command, "--previous-optimized", "--current-optimized"}
                                        : Lines{command, "--optimized"};
    args.insert(args.end(), operands.begin(), operands.end());
    return Run(args);
  }

  // What `list` should print for an entry, from the entry's own status.
  std::string ListLine(const std::string& relative) const {
    struct stat st;
    EXPECT_EQ(0, lstat(Path(relative).c_str(), &st)) << relative;
    const bool folder = S_ISDIR(st.st_mode);
    return std::string(folder ? "d " : "f ") + std::to_string(st.st_size) + " " +
           std::to_string(st.st_mtime) + " " + Path(relative) + (folder ? "/" : "");
  }

  fsdbtest::TempDir temp_;
  const std::string root_ = fs::canonical(temp_.path()).string() + "/tree";
};

// Scans before and after a change, with and without selection: the items are shown and listed as the file
// system reports them, and the selected scans compare to exactly the changes made.
TEST_P(ToolTest, ScanShowListAndCompare) {
  MakeTree();
  const std::string before = temp_.File("before.db"), after = temp_.File("after.db");
  const std::string unselectedBefore = temp_.File("u1.db"), unselectedAfter = temp_.File("u2.db");
  RunResult result = Run("scan", {root_, before});
  ASSERT_EQ(0, result.status) << result.err;
  EXPECT_EQ(0u, result.out.find("scanned " + root_ + ": 4 folders, 5 files")) << result.out;
  ASSERT_EQ(0, Run("scan", {"--no-select", root_, unselectedBefore}).status);

  struct stat st;
  ASSERT_EQ(0, lstat(Path("a.txt").c_str(), &st));
  result = Run("show", {before, Path("a.txt")});
  ASSERT_EQ(0, result.status) << result.err;
  for (const std::string& field :
       {std::string("FileName [a.txt]"), std::string("FileSize [5]"), std::string("IsDirectory [no]"),
        std::string("IsSelected [yes]"), "Inode [" + std::to_string(st.st_ino) + "]",
        "Modification Time [" + std::to_string(st.st_mtime) + "]",
        "Attributes [" + std::to_string(st.st_mode) + "]"}) {
    EXPECT_NE(std::string::npos, result.out.find(field)) << field << " in " << result.out;
  }
  result = Run("show", {before, Path("absent.txt")});
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("", result.out);
  EXPECT_NE(std::string::npos, result.err.find("absent.txt")) << result.err;
  result = Run("list", {before, root_});
  ASSERT_EQ(0, result.status) << result.err;
  EXPECT_EQ(Sorted({ListLine("a.txt"), ListLine("with space.txt"), ListLine("sub"), ListLine("gone")}),
            Sorted(result.lines));

  Write("a.txt", " world", true);
  Write("new.txt", "new");
  Write("newdir/n.txt", "n");
  fs::remove(Path("sub/b.txt"));
  fs::remove_all(Path("gone"));
  ASSERT_EQ(0, Run("scan", {root_, after}).status);
  ASSERT_EQ(0, Run("scan", {"--no-select", root_, unselectedAfter}).status);
  result = Run("compare", {before, after});
  ASSERT_EQ(0, result.status) << result.err;
  ASSERT_FALSE(result.lines.empty());
  EXPECT_EQ("3 new, 3 deleted, 1 modified", result.lines.back());
  // Unchanged files (c.txt, "with space.txt") and folders present in both scans are not reported.
  EXPECT_EQ(Sorted({"M " + Path("a.txt"), "+ " + Path("new.txt"), "+ " + Path("newdir/"),
                    "+ " + Path("newdir/n.txt"), "- " + Path("sub/b.txt"), "- " + Path("gone/"),
                    "- " + Path("gone/g.txt"), result.lines.back()}),
            Sorted(result.lines));
  EXPECT_EQ("0 new, 0 deleted, 0 modified\n", Run("compare", {unselectedBefore, unselectedAfter}).out);
}

TEST_P(ToolTest, ReadCommandsFailOnAMissingDatabaseWithoutCreatingIt) {
  const std::string missing = temp_.File("missing.db"), other = temp_.File("other.db");
  std::ofstream(other).put('x');
  for (const Lines& args : {Lines{"show", missing, "/"}, Lines{"list", missing, "/"},
                            Lines{"compare", missing, other}, Lines{"compare", other, missing}}) {
    RunResult result = Run(args[0], Lines(args.begin() + 1, args.end()));
    EXPECT_EQ(1, result.status) << args[0];
    EXPECT_EQ("fsdb: no such database: " + missing + "\n", result.err);
  }
  EXPECT_FALSE(fs::exists(missing));
}

INSTANTIATE_TEST_SUITE_P(Layouts, ToolTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Optimized" : "FullPath";
                         });

TEST_P(ToolTest, UsageErrorsExitWithTwoAndTouchNothing) {
  const std::string database = temp_.File("never.db");
  for (const Lines& args :
       {Lines{}, Lines{"frobnicate", root_, database}, Lines{"scan", root_},
        Lines{"scan", root_, database, "extra"}, Lines{"scan", "--bogus", root_, database},
        Lines{"scan", "--select-all", "--no-select", root_, database},
        Lines{"compare", "--optimized", database, database}}) {
    RunResult result = Run(args);
    EXPECT_EQ(2, result.status) << ::testing::PrintToString(args);
    EXPECT_EQ("", result.out);
    EXPECT_NE(std::string::npos, result.err.find("usage:")) << result.err;
  }
  EXPECT_FALSE(fs::exists(database));
  RunResult help = Run({"show", "--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("usage:")) << help.out;
}

}  // namespace

#endif  // FSDB_TOOL
