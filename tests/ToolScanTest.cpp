// `fsdb scan`, `check`, `ls`, `stat` and `info` end to end: the built tool run on real trees in a
// temporary folder, over both layouts where the layout matters.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ToolTestUtil.h"

#ifndef FSDB_TOOL
#error "FSDB_TOOL must name the built fsdb tool"
#endif

namespace {

namespace fs = std::filesystem;
using fsdbtest::Args;
using fsdbtest::ExpectOneLineError;
using fsdbtest::Field;
using fsdbtest::RunOptions;
using fsdbtest::ToolResult;
using fsdbtest::ToolTree;

// The names in a folder: what a command may have left beside a database.
std::set<std::string> FolderNames(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

bool NoTempFileIn(const std::string& folder) {
  for (const std::string& name : FolderNames(folder))
    if (name.find(".fsdb-tmp-") != std::string::npos)
      return false;
  return true;
}

// The line of `ls` output that ends with `name`.
std::string LsLine(const ToolResult& result, const std::string& name) {
  for (const std::string& line : result.Lines()) {
    if (line.size() > name.size() &&
        line.compare(line.size() - name.size() - 1, std::string::npos, " " + name) == 0)
      return line;
  }
  return "";
}

class ToolScanTest : public fsdbtest::ToolFixture<FSDB::DatabaseType> {
 protected:
  // Scans root/ into `database` (a name in the test's folder) with the layout of the parameter.
  ToolResult Scan(const std::string& database, Args extra = {}) {
    Args args{"scan", "-q", "--layout", Layout(), Root(), Db(database)};
    args.insert(args.end(), extra.begin(), extra.end());
    return Tool(args);
  }
  void ScanOk(const std::string& database, Args extra = {}) {
    const ToolResult result = Scan(database, extra);
    ASSERT_EQ(result.status, 0) << result.err;
  }
  std::string Layout() const { return GetParam() == FSDB::DATABASE_TYPE_OPTIMIZED ? "optimized" : "full"; }
  int StatStatus(const std::string& database, const std::string& relative) {
    return Tool({"stat", Db(database), In(relative)}).status;
  }
};

INSTANTIATE_TEST_SUITE_P(Layouts, ToolScanTest,
                         ::testing::Values(FSDB::DATABASE_TYPE_FULL_PATH, FSDB::DATABASE_TYPE_OPTIMIZED),
                         [](const ::testing::TestParamInfo<FSDB::DatabaseType>& info) {
                           return info.param == FSDB::DATABASE_TYPE_OPTIMIZED ? std::string("Optimized")
                                                                              : std::string("FullPath");
                         });

TEST_P(ToolScanTest, RecordsEveryFieldWithNanosecondsAndOwner) {
  tree_.Write("root/a.txt", "hello");
  tree_.Write("root/sub/b.txt", "b");
  ASSERT_EQ(symlink("a.txt", In("link").c_str()), 0);
  ASSERT_EQ(chown(In("a.txt").c_str(), 1234, 5678), 0);
  ASSERT_EQ(chmod(In("a.txt").c_str(), 04751), 0);
  // Two modifications within one second differ only in their nanoseconds.
  const struct timespec times[2] = {{1600000000, 5}, {1700000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, In("a.txt").c_str(), times, 0), 0);
  ScanOk("1.db");

  struct stat st;
  ASSERT_EQ(lstat(In("a.txt").c_str(), &st), 0);
  const ToolResult info = Tool({"info", Db("1.db")});
  const ToolResult stat = Tool({"stat", Db("1.db"), In("a.txt")});
  const struct {
    const ToolResult& result;
    const char* key;
    std::string value;
  } fields[] = {
      {info, "layout", Layout()},
      {info, "root", Root()},
      {info, "time unit", "ns"},
      {info, "folders", "2"},
      {info, "files", "3"},  // the link is recorded as a file
      {info, "skipped", "0"},
      {stat, "modification", "2023-11-14T22:13:20.123456789Z (1700000000123456789 ns)"},
      {stat, "access", "2020-09-13T12:26:40.000000005Z (1600000000000000005 ns)"},
      {stat, "mode", "-rwsr-x--x (4751)"},
      {stat, "owner", "1234 (uid), 5678 (gid)"},
      {stat, "size", "5"},
      {stat, "inode", std::to_string(st.st_ino)},
  };
  for (const auto& field : fields)
    EXPECT_EQ(Field(field.result, field.key), field.value) << field.result.err;
  const std::string change = Field(stat, "change");
  const std::string changeNs = std::to_string(int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec);
  EXPECT_EQ(change.substr(change.find('(')), "(" + changeNs + " ns)");

  // ls: sorted by name, the link shown as a link (not followed), the folder with its '/'.
  const ToolResult ls = Tool({"ls", Db("1.db"), Root()});
  const std::vector<std::string> lines = ls.Lines();
  ASSERT_EQ(lines.size(), 3u) << ls.out << ls.err;
  EXPECT_EQ(lines[0], "-rwsr-x--x 1 1234:5678    5 2023-11-14T22:13:20.123456789Z a.txt");  // sizes aligned
  EXPECT_EQ(lines[1].substr(0, 11), "lrwxrwxrwx ");
  EXPECT_EQ(lines[1].substr(lines[1].size() - 5), " link");
  EXPECT_EQ(lines[2].substr(0, 11), "drwxr-xr-x ");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 5), " sub/");
}

TEST_P(ToolScanTest, RescanDropsEntriesThatAreGone) {
  tree_.Write("root/keep.txt", "k");
  tree_.Write("root/gone.txt", "g");
  tree_.Write("root/old/inner.txt", "i");
  ScanOk("1.db");
  fs::remove(In("gone.txt"));
  fs::remove_all(In("old"));
  tree_.Write("root/new.txt", "n");
  ScanOk("1.db");
  // A database inside the tree it records is left out, and so are its temporary files.
  for (int twice = 0; twice < 2; ++twice)
    ASSERT_EQ(Tool({"scan", "-q", "--layout", Layout(), Root(), In("self.db")}).status, 0);
  ExpectOneLineError(Tool({"stat", In("self.db"), In("self.db")}), "not in this scan");

  for (const char* gone : {"gone.txt", "old", "old/inner.txt"})
    ExpectOneLineError(Tool({"stat", Db("1.db"), In(gone)}), "not in this scan: " + In(gone));
  EXPECT_EQ(StatStatus("1.db", "new.txt"), 0);
  const ToolResult info = Tool({"info", Db("1.db")});
  EXPECT_EQ(Field(info, "folders") + " " + Field(info, "files"), "1 2");
  EXPECT_EQ(Tool({"ls", Db("1.db"), Root()}).Lines().size(), 2u);
}

TEST_P(ToolScanTest, DatabaseIsPrivateAndReadsLeaveNothingBehind) {
  tree_.Write("root/a.txt", "a");
  tree_.Write("1.db", "");  // an empty file may be replaced
  ASSERT_EQ(chmod(Db("1.db").c_str(), 0666), 0);
  const mode_t old = umask(0);
  const int scanned = Scan("1.db").status + Scan("2.db").status;
  umask(old);
  ASSERT_EQ(scanned, 0);
  for (const char* name : {"1.db", "2.db"}) {
    struct stat st;
    ASSERT_EQ(stat(Db(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
  }

  const std::set<std::string> before = FolderNames(tree_.path());
  const std::string bytes = fsdbtest::ReadWholeFile(Db("1.db"));
  for (const Args& args : std::vector<Args>{{"info", Db("1.db")},
                                            {"ls", Db("1.db"), Root()},
                                            {"stat", Db("1.db"), In("a.txt")},
                                            {"check", "-q", Root(), Db("1.db")}}) {
    const ToolResult result = Tool(args, {"", {"TMPDIR=" + tree_.path()}});
    EXPECT_LE(result.status, 1) << args[0] << ": " << result.err;
  }
  EXPECT_EQ(FolderNames(tree_.path()), before);
  EXPECT_TRUE(fsdbtest::ReadWholeFile(Db("1.db")) == bytes) << "a read changed the database";
}

TEST_P(ToolScanTest, FailedScanLeavesDatabaseAndNoTemporaryFile) {
  tree_.Write("root/a.txt", "a");
  ScanOk("1.db");
  const std::string bytes = fsdbtest::ReadWholeFile(Db("1.db"));
  tree_.Write("not-a-folder", "x");
  tree_.Write("other.txt", "precious");

  struct Case {
    Args args;
    const char* words;
  } cases[] = {
      {{"scan", tree_ / "missing", Db("1.db")}, "cannot scan"},
      {{"scan", tree_ / "not-a-folder", Db("1.db")}, "not a folder"},
      {{"scan", Root(), Db("1.db"), "--as", "relative/path"}, "--as needs an absolute path"},
      {{"scan", Root(), tree_ / "other.txt"}, "refusing to replace"},
      {{"scan", Root(), tree_ / "no-such-folder/1.db"}, "no such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2]);
    ExpectOneLineError(Tool(c.args), c.words);
    EXPECT_TRUE(NoTempFileIn(tree_.path()));
  }
  EXPECT_TRUE(fsdbtest::ReadWholeFile(Db("1.db")) == bytes);
  EXPECT_EQ(fsdbtest::ReadWholeFile(tree_ / "other.txt"), "precious");
}

// A scan killed midway leaves the earlier database byte for byte; SIGKILL leaves its temporary file,
// which the next scan removes; SIGTERM removes it at once.
TEST_P(ToolScanTest, InterruptedScanLeavesDatabaseUnchanged) {
  for (int folder = 0; folder < 20; ++folder) {
    const std::string path = In("f" + std::to_string(folder));
    fs::create_directories(path);
    for (int file = 0; file < 400; ++file)
      close(open((path + "/" + std::to_string(file)).c_str(), O_CREAT | O_WRONLY, 0644));
  }
  ScanOk("1.db");
  const std::string bytes = fsdbtest::ReadWholeFile(Db("1.db"));

  for (int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal);
    const pid_t pid = fsdbtest::SpawnProgram(
        {FSDB_TOOL, "scan", "-q", "--layout", Layout(), Root(), Db("1.db")}, tree_ / ".out", tree_ / ".err");
    ASSERT_GT(pid, 0);
    // Wait until the scan is midway: its first batches of rows are in the temporary file.
    const std::string temp = tree_ / (".1.db.fsdb-tmp-" + std::to_string(pid));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::error_code ec;
    while (std::chrono::steady_clock::now() < deadline &&
           !(fs::exists(temp, ec) && fs::file_size(temp, ec) > 256 * 1024 && !ec))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    ASSERT_EQ(kill(pid, signal), 0);
    const ToolResult killed = fsdbtest::WaitProgram(pid, tree_ / ".out", tree_ / ".err");
    ASSERT_EQ(killed.signal, signal) << "the scan ended before it was interrupted: " << killed.err;
    EXPECT_TRUE(fsdbtest::ReadWholeFile(Db("1.db")) == bytes);
    EXPECT_EQ(NoTempFileIn(tree_.path()), signal == SIGTERM) << "SIGKILL cannot be caught: a leftover";
  }
  ScanOk("1.db");
  EXPECT_TRUE(NoTempFileIn(tree_.path()));
}

// A leftover whose process id is gone is removed, unless a process (of another PID namespace, say)
// still holds the lock a scan keeps on its temporary file.
TEST_P(ToolScanTest, StaleTemporaryFileGoesOnlyWhenUnlocked) {
  tree_.Write("root/a", "a");
  const pid_t child = fork();
  if (child == 0)
    _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);  // its id now names no process
  const std::string stale = tree_ / (".1.db.fsdb-tmp-" + std::to_string(child));
  tree_.Write(".1.db.fsdb-tmp-" + std::to_string(child), "");
  tree_.Write(".1.db.fsdb-tmp-" + std::to_string(child) + "-wal", "");
  const int fd = open(stale.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  ScanOk("1.db");
  EXPECT_TRUE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(stale + "-wal"));
  close(fd);
  ScanOk("1.db");
  EXPECT_TRUE(NoTempFileIn(tree_.path()));
}

TEST_P(ToolScanTest, NamesRoundTripUnambiguously) {
  struct Name {
    std::string bytes, shown;
  } names[] = {
      {"with space", "with space"},
      {"100%", "100%"},
      {"a_b", "a_b"},
      {"line\nbreak", "line\\nbreak"},
      {"tab\there", "tab\\there"},
      {"quote\"d", "quote\"d"},
      {"back\\slash", "back\\\\slash"},
      {"bad\xff\xfe", "bad\\xff\\xfe"},
      {"-dash", "-dash"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const Name& name : names)
    tree_.Write("root/" + name.bytes, name.bytes);
  tree_.Write("root/a%b/_/x", "nested");  // LIKE wildcards in folder names
  ScanOk("1.db");

  const ToolResult ls = Tool({"ls", Db("1.db"), Root()});
  EXPECT_EQ(ls.Lines().size(), std::size(names) + 1) << ls.out << ls.err;
  for (const Name& name : names) {
    SCOPED_TRACE(name.shown);
    EXPECT_NE(LsLine(ls, name.shown), "") << ls.out;
    const ToolResult stat = Tool({"stat", Db("1.db"), In(name.bytes)});
    EXPECT_EQ(Field(stat, "path"), In(name.shown)) << stat.err;
    EXPECT_EQ(Field(stat, "size"), std::to_string(name.bytes.size()));
  }
  // A relative path with a leading '-' after "--", resolved against the working folder.
  EXPECT_EQ(Field(Tool({"stat", Db("1.db"), "--", "-dash"}, {Root(), {}}), "path"), In("-dash"));
  const ToolResult nested = Tool({"ls", Db("1.db"), In("a%b/_")});
  ASSERT_EQ(nested.Lines().size(), 1u) << nested.out << nested.err;
  EXPECT_NE(LsLine(nested, "x"), "");
}

TEST_P(ToolScanTest, ExcludeLeavesOutEntriesAndSubtrees) {
  tree_.Write("root/keep.c", "k");
  tree_.Write("root/drop.o", "o");
  tree_.Write("root/src/deep/drop.o", "o");
  tree_.Write("root/build/out/x", "x");
  tree_.Write("root/src/build/out/y", "y");  // a pattern with a '/' matches the path from the root
  tree_.Write("root/cache/z", "z");
  tree_.Write("root/src/cache/z", "z");  // a pattern without one matches a name anywhere
  ScanOk("1.db", {"--exclude", "*.o", "--exclude", "build/out", "--exclude", "cache"});

  for (const char* kept : {"keep.c", "src", "src/deep", "build", "src/build/out/y"})
    EXPECT_EQ(StatStatus("1.db", kept), 0) << kept;
  for (const char* dropped :
       {"drop.o", "src/deep/drop.o", "build/out", "build/out/x", "cache", "src/cache/z"})
    ExpectOneLineError(Tool({"stat", Db("1.db"), In(dropped)}), "not in this scan");
  EXPECT_EQ(Field(Tool({"info", Db("1.db")}), "options"),
            "--exclude *.o --exclude build/out --exclude cache");
}

TEST_P(ToolScanTest, AsRecordsTheRootUnderAnotherPath) {
  tree_.Write("root/etc/conf", "c");
  ScanOk("1.db", {"--as", "/srv/data/"});
  const ToolResult info = Tool({"info", Db("1.db")});
  EXPECT_EQ(Field(info, "root"), "/srv/data");
  EXPECT_EQ(Field(info, "scanned"), Root());
  EXPECT_EQ(Field(Tool({"stat", Db("1.db"), "/srv/data/etc/conf"}), "path"), "/srv/data/etc/conf");
  // A relative path inside the scanned tree names the recorded entry.
  EXPECT_EQ(Field(Tool({"stat", Db("1.db"), "etc/conf"}, {Root(), {}}), "path"), "/srv/data/etc/conf");
  ExpectOneLineError(Tool({"stat", Db("1.db"), In("etc/conf")}), "not in this scan");
}

TEST_P(ToolScanTest, OneFileSystemStopsAtMountPoints) {
  tree_.Write("root/a", "a");
  tree_.MakeFolder("root/mnt");
  if (mount("fsdb-test", In("mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                 << "); needs root and CAP_SYS_ADMIN";
  struct Unmount {
    std::string path;
    ~Unmount() { (void)umount2(path.c_str(), MNT_DETACH); }
  } unmount{In("mnt")};
  tree_.Write("root/mnt/inside", "i");

  ScanOk("1.db", {"--one-file-system"});
  ScanOk("2.db");
  EXPECT_EQ(StatStatus("1.db", "mnt"), 0);
  ExpectOneLineError(Tool({"stat", Db("1.db"), In("mnt/inside")}), "not in this scan");
  EXPECT_EQ(StatStatus("2.db", "mnt/inside"), 0);
  EXPECT_EQ(Field(Tool({"info", Db("1.db")}), "options"), "--one-file-system");
}

// Folders the scanning user cannot list are recorded as such, with the reason; the scan goes on.
TEST_P(ToolScanTest, UnreadableFoldersAreRecorded) {
  tree_.Write("root/open/a", "a");
  tree_.Write("root/closed/secret", "s");
  tree_.Write("root/listonly/hidden", "h");
  ASSERT_EQ(chmod(tree_.path().c_str(), 0755), 0);
  tree_.MakeFolder("out");
  ASSERT_EQ(chmod((tree_ / "out").c_str(), 0777), 0);
  ASSERT_EQ(chmod(In("closed").c_str(), 0700), 0);    // nobody may neither list nor search it
  ASSERT_EQ(chmod(In("listonly").c_str(), 0744), 0);  // nobody may list the names, not read their status
  if (!fsdbtest::CanRunAsNobody(tree_.path()))
    GTEST_SKIP() << "cannot run a command as nobody with setpriv here";

  // A scan with digests opens every file it lists, and reads their status there rather than in the walk:
  // a folder it may list but not search is found out all the same.
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, std::vector<std::string>{"--hash", "xxh128"}}) {
    SCOPED_TRACE(options.empty() ? "without digests" : "with digests");
    std::vector<std::string> command = {FSDB_TOOL, "scan", "-q", "--layout", Layout()};
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), {Root(), Db("out/1.db")});
    const ToolResult scan = fsdbtest::RunProgram(fsdbtest::AsNobody(command), tree_.path());
    ASSERT_EQ(scan.status, 0) << scan.err;
    const ToolResult info = Tool({"info", Db("out/1.db")});
    EXPECT_EQ(Field(info, "unreadable") + " " + Field(info, "skipped"), "2 2");
    for (const char* folder : {"closed", "listonly"}) {
      EXPECT_NE(scan.err.find("cannot list " + In(folder) + ": permission denied"), std::string::npos)
          << scan.err;
      EXPECT_NE(info.out.find("  " + In(folder) + "/ (permission denied)\n"), std::string::npos) << info.out;
    }
    // The folders themselves are recorded; what is beneath them is not, and the rest is complete.
    EXPECT_EQ(StatStatus("out/1.db", "closed"), 0);
    EXPECT_EQ(StatStatus("out/1.db", "open/a"), 0);
    ExpectOneLineError(Tool({"stat", Db("out/1.db"), In("closed/secret")}), "not in this scan");
  }
}

TEST_P(ToolScanTest, CheckReportsWhatChangedSinceTheScan) {
  tree_.Write("root/a.txt", "a");
  tree_.MakeFolder("tmp");
  ScanOk("1.db", {"--exclude", "*.log"});
  const RunOptions inTmp{"", {"TMPDIR=" + (tree_ / "tmp")}};
  EXPECT_EQ(Tool({"check", "-q", Root(), Db("1.db")}, inTmp).status, 0);

  tree_.Write("root/a.txt", "more", true);
  tree_.Write("root/b.txt", "b");
  tree_.Write("root/noise.log", "excluded as recorded");
  const ToolResult check = Tool({"check", "-q", Root(), Db("1.db")}, inTmp);
  EXPECT_EQ(check.status, 1) << check.err;
  for (const std::string& line : {"+ " + In("b.txt"), "~ " + In("a.txt")})
    EXPECT_NE(check.out.find(line), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("noise.log"), std::string::npos) << check.out;
  EXPECT_TRUE(FolderNames(tree_ / "tmp").empty());
}

// A database made by another program (no tool table) still reads, its layout detected.
TEST_P(ToolScanTest, ReadsDatabasesOfOtherPrograms) {
  fsdbtest::WriteForeignScan(Db("other.db"), GetParam(), "/data", {{"/data/f", 7, 1234, 0}});
  const ToolResult info = Tool({"info", Db("other.db")});
  EXPECT_EQ(Field(info, "layout"), Layout()) << info.err;
  EXPECT_NE(Field(info, "made by").find("another program"), std::string::npos);
  // Mode and owner unknown, the time as stored.
  EXPECT_EQ(Tool({"ls", Db("other.db"), "/data"}).out, "?????????? 0 - 7 1234 f\n");
}

// On a terminal: a progress line on stderr, cleared before the summary; --quiet prints nothing at all.
TEST_P(ToolScanTest, ProgressLineOnlyOnATerminal) {
  tree_.Write("root/a", "a");
  const auto onTerminal = [&](const std::string& options) {
    // script(1) runs the command on a pseudo-terminal and copies what it writes.
    return fsdbtest::RunProgram(
        {"script", "-qec", std::string(FSDB_TOOL) + " scan " + options + " " + Root() + " " + Db("1.db"),
         "/dev/null"},
        tree_.path());
  };
  const ToolResult shown = onTerminal("");
  if (shown.status != 0 && shown.out.find("scanned") == std::string::npos)
    GTEST_SKIP() << "script(1) cannot run a pseudo-terminal here: " << shown.err;
  EXPECT_EQ(shown.out.rfind("\r\033[K", 0), 0u) << shown.out;
  EXPECT_NE(shown.out.find("\r\033[Kscanned " + Root() + ": 1 folders, 1 files, 0 skipped in "),
            std::string::npos)
      << shown.out;
  const ToolResult quiet = onTerminal("--quiet");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  // Not on a terminal: no progress line, the summary on stdout.
  const ToolResult plain = Tool({"scan", Root(), Db("3.db")});
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(plain.out.rfind("scanned " + Root() + ": 1 folders, 1 files, 0 skipped in ", 0), 0u) << plain.out;
}

// A tree far larger than one batch of the walk's hand-over: every entry arrives exactly once, each under
// its own folder, however the batches are cut (folders of every size, one larger than a batch).
TEST_P(ToolScanTest, ManyEntriesArriveOnceEach) {
  size_t files = 0, folders = 1;
  for (int f = 0; f < 30; ++f) {
    const std::string folder = "root/d" + std::to_string(f) + (f % 3 == 0 ? "/deep/er" : "");
    folders += f % 3 == 0 ? 3 : 1;
    const int count = f == 7 ? 1300 : 7 * f;
    for (int i = 0; i < count; ++i, ++files)
      tree_.Write(folder + "/f" + std::to_string(i), std::to_string(i));
    if (count == 0)
      tree_.MakeFolder(folder);
  }
  ScanOk("1.db");
  const ToolResult info = Tool({"info", Db("1.db")});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(Field(info, "folders"), std::to_string(folders));
  EXPECT_EQ(Field(info, "files"), std::to_string(files));
  // A file is found under its own folder, with its own size.
  for (const std::string file : {"d7/f1299", "d7/f0", "d9/deep/er/f62", "d29/f202", "d1/f6"}) {
    const ToolResult stat = Tool({"stat", Db("1.db"), In(file)});
    ASSERT_EQ(stat.status, 0) << file << ": " << stat.err;
    EXPECT_EQ(Field(stat, "size"), std::to_string(file.substr(file.rfind("/f") + 2).size())) << file;
  }
  EXPECT_EQ(Tool({"ls", Db("1.db"), In("d7")}).Lines().size(), 1300u);
  // Nothing is reported changed against a second scan of the same tree.
  ScanOk("2.db");
  const ToolResult compare = Tool({"compare", "--summary", Db("1.db"), Db("2.db")});
  ASSERT_EQ(compare.status, 0) << compare.err;
  EXPECT_EQ(compare.out,
            "summary: added 0 folders, 0 files; deleted 0 folders, 0 files; changed 0 folders, 0 files; "
            "moved 0 folders, 0 files; unreadable 0\n");
}

// Files waiting for their digests keep their folder open, also while they wait to be handed from the
// walk to the database thread, but take no descriptor of their own before they are read: a hashed scan
// of many files in a few folders stays within a small descriptor limit and hashes every file.
TEST_P(ToolScanTest, HashedScanStaysWithinFewDescriptors) {
  constexpr int kFiles = 1500;
  for (int i = 0; i < kFiles; ++i)
    tree_.Write("root/" + std::to_string(i % 3) + "/f" + std::to_string(i), std::string(i % 50, 'x'));
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &set))
    ++cpu;
  // One hashing thread (one allowed CPU), 40 descriptors.
  Args args{"prlimit", "--nofile=40", "taskset", "-c",       std::to_string(cpu),
            FSDB_TOOL, "scan",        "-q",      "--layout", Layout(),
            "--hash",  "xxh128",      Root(),    Db("1.db")};
  const ToolResult scan = fsdbtest::RunProgram(args, tree_.path());
  if (scan.status == 127)
    GTEST_SKIP() << "cannot run prlimit and taskset here";
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_TRUE(scan.err.empty()) << scan.err.substr(0, 400);
  const ToolResult info = Tool({"info", Db("1.db")});
  EXPECT_EQ(Field(info, "digests"),
            "xxh128, " + std::to_string(kFiles) + " files hashed, 0 reused, 0 unreadable");
}

TEST(ToolCommandLineTest, ErrorsAreOneLineAndExitTwo) {
  ToolTree tree;
  tree.Write("junk.db", "this is not SQLite, and long enough to have a header of its own........");
  tree.Write("empty.db", "");
  tree.MakeFolder("folder.db");
  const auto run = [&](Args args) {
    args.insert(args.begin(), FSDB_TOOL);
    return fsdbtest::RunProgram(args, tree.path());
  };
  struct Case {
    Args args;
    std::string words;
  } cases[] = {
      {{"info", tree / "missing.db"}, "cannot open " + (tree / "missing.db") + ": no such file or directory"},
      {{"ls", tree / "missing.db", "/"},
       "cannot open " + (tree / "missing.db") + ": no such file or directory"},
      {{"info", tree / "junk.db"}, "not an fsdb database: " + (tree / "junk.db")},
      {{"stat", tree / "empty.db", "/x"}, "not an fsdb database: " + (tree / "empty.db")},
      {{"info", tree / "folder.db"}, "cannot open " + (tree / "folder.db") + ": is a directory"},
      {{"check", tree.path(), tree / "junk.db"}, "not an fsdb database"},
      {{"scan", "--layout", "fancy", tree.path(), tree / "x.db"}, "--layout"},
      {{"scan", tree.path()}, "DB is required"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{}, "subcommand is required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    ExpectOneLineError(run(c.args), c.words);
  }
  EXPECT_FALSE(fs::exists(tree / "missing.db")) << "a read created the database it was asked to read";
  EXPECT_FALSE(fs::exists(tree / "x.db"));

  const ToolResult verbose = run({"--verbose", "info", tree / "junk.db"});
  EXPECT_EQ(verbose.status, 2);
  EXPECT_NE(verbose.err.find("details:"), std::string::npos) << verbose.err;

  const ToolResult version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("fsdb ", 0), 0u) << version.out;
  for (const char* command : {"scan", "compare", "check", "ls", "stat", "info"}) {
    const ToolResult help = run({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.out.find(std::string("Usage: fsdb ") + command), std::string::npos) << help.out;
  }
}

}  // namespace
