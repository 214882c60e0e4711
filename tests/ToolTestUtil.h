// Helpers for the suites that run the built fsdb tool as a separate process on real folder trees.
//
// RunTool() starts the tool with exactly the given arguments (any bytes but NUL, no shell in between),
// stdin from /dev/null, and captures stdout, stderr and the exit status. ToolTree is a fresh temporary
// folder per test, removed with everything in it when the test ends.

#ifndef FSDB_TESTS_TOOLTESTUTIL_H_
#define FSDB_TESTS_TOOLTESTUTIL_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "fsdb/ScanDatabase.h"

namespace fsdbtest {

using Args = std::vector<std::string>;

struct ToolResult {
  int status = -1;  // the exit status; -1 when the process did not exit normally
  int signal = 0;   // the signal that ended it, if any
  std::string out, err;

  // `out` split at newlines (the last line's newline is not required).
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);)
      lines.push_back(line);
    return lines;
  }
};

// The value of "key:   value" in the output of stat or info.
inline std::string Field(const ToolResult& result, const std::string& key) {
  for (const std::string& line : result.Lines()) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      const size_t value = line.find_first_not_of(' ', key.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "<no " + key + ">";
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A temporary folder for one test, removed at its end (permissions are restored first, so that a test
// that made a folder unreadable cannot leave it behind).
class ToolTree {
 public:
  ToolTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fsdb-tool-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
      ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    path_ = pattern;
  }
  ~ToolTree() {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
  ToolTree(const ToolTree&) = delete;
  ToolTree& operator=(const ToolTree&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  // Writes (or appends to) a file, creating its folders.
  void Write(const std::string& relative, const std::string& content, bool append = false) const {
    const std::string full = *this / relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << content;
  }
  void MakeFolder(const std::string& relative) const {
    std::filesystem::create_directories(*this / relative);
  }

 private:
  std::string path_;
};

// Where and with what environment a child runs: `cwd` empty keeps the test's; `env` holds
// "NAME=value" entries set on top of the test's environment.
struct RunOptions {
  std::string cwd;
  Args env;
};

// Starts `argv` as a child with stdin from /dev/null and stdout/stderr into the given files. Returns
// the child's pid, or -1.
inline pid_t SpawnProgram(const Args& argv, const std::string& outFile, const std::string& errFile,
                          const RunOptions& options = RunOptions()) {
  const pid_t pid = fork();
  if (pid != 0)
    return pid;
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
    _exit(127);
  for (const std::string& entry : options.env)
    putenv(const_cast<char*>(entry.c_str()));  // the child's copy lives until exec
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
    _exit(127);
  std::vector<char*> raw;
  for (const std::string& arg : argv)
    raw.push_back(const_cast<char*>(arg.c_str()));
  raw.push_back(nullptr);
  execvp(raw[0], raw.data());
  _exit(127);
}

// Waits for a child started by SpawnProgram and collects what it wrote.
inline ToolResult WaitProgram(pid_t pid, const std::string& outFile, const std::string& errFile) {
  ToolResult result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  result.out = ReadWholeFile(outFile);
  result.err = ReadWholeFile(errFile);
  return result;
}

// Runs `argv` to completion; its output goes through files in `scratch` (a folder of the test).
inline ToolResult RunProgram(const Args& argv, const std::string& scratch,
                             const RunOptions& options = RunOptions()) {
  const std::string outFile = scratch + "/.stdout", errFile = scratch + "/.stderr";
  const pid_t pid = SpawnProgram(argv, outFile, errFile, options);
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return ToolResult();
  }
  ToolResult result = WaitProgram(pid, outFile, errFile);
  std::remove(outFile.c_str());
  std::remove(errFile.c_str());
  return result;
}

// The arguments that run `command` as the unprivileged user nobody.
inline Args AsNobody(const Args& command = {}) {
  Args args{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

// Whether setpriv may switch to nobody here (it needs root); a test that scans as nobody skips otherwise.
inline bool CanRunAsNobody(const std::string& scratch) {
  return RunProgram(AsNobody({"true"}), scratch).status == 0;
}

// Expects a usage or input error: exit status 2, nothing on stdout, exactly one line on stderr that holds
// `words` and no source location.
inline void ExpectOneLineError(const ToolResult& result, const std::string& words) {
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_NE(result.err.find(words), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find(".cpp"), std::string::npos) << "internal locations shown: " << result.err;
}

// Whether `lines` holds `line`.
inline bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct ForeignFile {
  std::string path;
  int64_t size, mtime;
  int attributes;
};

// Writes a scan as another program would, through the library alone: no tool table, times in the
// caller's own unit, attributes that are no st_mode, no owner and no inodes.
inline void WriteForeignScan(const std::string& file, FSDB::DatabaseType type, const std::string& folder,
                             const std::vector<ForeignFile>& files) {
  FSDB::CScanDatabase database(file, type);
  ASSERT_FALSE(database.Open(false).IsError());
  auto item = boost::make_shared<FSDB::CDatabaseItem>();
  item->SetAsSelected(true);
  item->SetAsDirectory(true);
  ASSERT_FALSE(database.AddFolder(folder, item).IsError());
  for (const ForeignFile& each : files) {
    item = boost::make_shared<FSDB::CDatabaseItem>();
    item->SetAsSelected(true);
    item->SetFileSize(each.size);
    item->SetModificationTime(each.mtime);
    item->SetAttributes(each.attributes);
    ASSERT_FALSE(item->FormMetadata().IsError());
    ASSERT_FALSE(database.AddFile(each.path, item).IsError());
  }
  ASSERT_FALSE(database.Close().IsError());
}

#ifdef FSDB_TOOL
// A test that runs the built tool: `root` in its own folder is the tree to scan, databases lie beside it.
template <typename Param>
class ToolFixture : public ::testing::TestWithParam<Param> {
 protected:
  ToolResult Tool(Args args, const RunOptions& options = RunOptions()) {
    args.insert(args.begin(), FSDB_TOOL);
    return RunProgram(args, tree_.path(), options);
  }
  std::string Root() const { return tree_ / "root"; }
  std::string In(const std::string& relative) const { return Root() + "/" + relative; }
  std::string Db(const std::string& name) const { return tree_ / name; }

  ToolTree tree_;
};
#endif

}  // namespace fsdbtest

#endif  // FSDB_TESTS_TOOLTESTUTIL_H_
