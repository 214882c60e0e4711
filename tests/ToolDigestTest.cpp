// Content digests end to end: `fsdb scan --hash`, `--reuse`, `--rehash`, `check`, and the `content`
// field of `compare`, run as the built tool on real trees, over both layouts and both algorithms. The
// digests recorded are checked against sha256sum and `xxhsum -H2`.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include "ToolTestUtil.h"
#include "fsdb/ScanDatabase.h"

#ifndef FSDB_TOOL
#error "FSDB_TOOL must name the built fsdb tool"
#endif

namespace {

using fsdbtest::Args;
using fsdbtest::Field;
using fsdbtest::ToolResult;
using fsdbtest::ToolTree;

// The digest that sha256sum or `xxhsum -H2` prints for `path`.
std::string ExternalDigest(const std::string& algorithm, const std::string& path,
                           const std::string& scratch) {
  const Args args = algorithm == "sha256" ? Args{"sha256sum", "--", path} : Args{"xxhsum", "-H2", "--", path};
  const ToolResult result = fsdbtest::RunProgram(args, scratch);
  EXPECT_EQ(result.status, 0) << args[0] << " failed: " << result.err;
  return result.out.substr(0, result.out.find(' '));
}

// Rewrites `path` with `content` (of the same size) and puts its access and modification times back: an
// edit that only the change time and the content give away.
void RewriteKeepingTimes(const std::string& path, const std::string& content) {
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  ASSERT_EQ(static_cast<size_t>(before.st_size), content.size());
  std::ofstream(path, std::ios::binary | std::ios::in) << content;  // in place: the same inode
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// The report lines of a JSON comparison, without the summary line.
std::vector<nlohmann::json> JsonChanges(const ToolResult& result) {
  std::vector<nlohmann::json> changes;
  for (const std::string& line : result.Lines()) {
    nlohmann::json object = nlohmann::json::parse(line);
    if (!object.contains("summary"))
      changes.push_back(std::move(object));
  }
  return changes;
}

class ToolDigestTest : public fsdbtest::ToolFixture<std::tuple<FSDB::DatabaseType, std::string>> {
 protected:
  // Scans root/ into `database` with the layout of the parameter; `extra` comes before the operands.
  ToolResult Scan(const std::string& database, Args extra = {}) {
    Args args{"scan", "-q", "--layout", Layout()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(Root());
    args.push_back(Db(database));
    return Tool(args);
  }
  void ScanOk(const std::string& database, Args extra = {}) {
    const ToolResult result = Scan(database, extra);
    ASSERT_EQ(result.status, 0) << result.err;
  }
  // Scans with digests of the parameter's algorithm, taking them over from `reuse` when given.
  void HashOk(const std::string& database, const std::string& reuse = "", Args extra = {}) {
    Args args{"--hash", Algorithm()};
    if (!reuse.empty()) {
      args.push_back("--reuse");
      args.push_back(Db(reuse));
    }
    args.insert(args.end(), extra.begin(), extra.end());
    ScanOk(database, args);
  }
  // The digest `stat` shows for a recorded file, without the algorithm's name.
  std::string Recorded(const std::string& database, const std::string& relative) {
    const std::string shown = Digest(database, relative), prefix = Algorithm() + " ";
    return shown.compare(0, prefix.size(), prefix) == 0 ? shown.substr(prefix.size()) : "<" + shown + ">";
  }
  // The `digest` field of stat, as shown.
  std::string Digest(const std::string& database, const std::string& relative) {
    return Field(Tool({"stat", Db(database), In(relative)}), "digest");
  }
  std::string External(const std::string& relative) {
    return ExternalDigest(Algorithm(), In(relative), tree_.path());
  }
  std::string Info(const std::string& database, const std::string& key) {
    return Field(Tool({"info", Db(database)}), key);
  }
  // The `digests` line of info for a scan that hashed `hashed` files and took over `reused`.
  std::string Counts(uint64_t hashed, uint64_t reused, uint64_t unreadable = 0) const {
    return Algorithm() + ", " + std::to_string(hashed) + " files hashed, " + std::to_string(reused) +
           " reused, " + std::to_string(unreadable) + " unreadable";
  }

  std::string Layout() const {
    return std::get<0>(GetParam()) == FSDB::DATABASE_TYPE_OPTIMIZED ? "optimized" : "full";
  }
  const std::string& Algorithm() const { return std::get<1>(GetParam()); }
  std::string OtherAlgorithm() const { return Algorithm() == "sha256" ? "xxh128" : "sha256"; }
};

INSTANTIATE_TEST_SUITE_P(
    LayoutsAndAlgorithms, ToolDigestTest,
    ::testing::Combine(::testing::Values(FSDB::DATABASE_TYPE_FULL_PATH, FSDB::DATABASE_TYPE_OPTIMIZED),
                       ::testing::Values(std::string("sha256"), std::string("xxh128"))),
    [](const ::testing::TestParamInfo<std::tuple<FSDB::DatabaseType, std::string>>& info) {
      return (std::get<0>(info.param) == FSDB::DATABASE_TYPE_OPTIMIZED ? std::string("Optimized")
                                                                       : std::string("FullPath")) +
             "_" + std::get<1>(info.param);
    });

TEST_P(ToolDigestTest, DigestsEqualSha256sumAndXxhsum) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty", ""},
      {"one", "x"},
      {"text with spaces", "the quick brown fox\n"},
      {"sub/deeper/exactly-one-read", RandomBytes(size_t{1} << 20, 1)},  // the hasher's read size
      {"sub/one-read-and-a-bit", RandomBytes((size_t{1} << 20) + 3, 2)},
      {"sub/several-reads", RandomBytes((size_t{3} << 20) + 12345, 3)},
  };
  for (const auto& [name, content] : files)
    tree_.Write("root/" + name, content);
  ASSERT_EQ(symlink("one", In("link").c_str()), 0);
  HashOk("1.db");

  for (const auto& [name, content] : files)
    EXPECT_EQ(Recorded("1.db", name), External(name)) << name;
  for (const char* other : {"link", "sub"})
    EXPECT_EQ(Digest("1.db", other), "none (not a regular file)");
  EXPECT_EQ(Info("1.db", "digests"), Counts(files.size(), 0));
  uint64_t total = 0;
  for (const auto& file : files)
    total += file.second.size();
  EXPECT_EQ(Info("1.db", "bytes read"), std::to_string(total));

  // A scan without --hash records none and says so.
  ScanOk("plain.db");
  EXPECT_EQ(Digest("plain.db", "one"), "not recorded (scanned without --hash)");
  EXPECT_EQ(Info("plain.db", "digests"), "none");
}

TEST_P(ToolDigestTest, SameSizeEditWithRestoredMtimeIsCaught) {
  tree_.Write("root/doc", "alpha version");
  tree_.Write("root/other", "unchanged");
  HashOk("1.db");
  ScanOk("plain1.db");
  const std::string before = External("doc");
  ASSERT_EQ(Recorded("1.db", "doc"), before);

  RewriteKeepingTimes(In("doc"), "omega version");
  const std::string after = External("doc");
  ASSERT_NE(after, before);

  // `check` takes DB's digests over where it can: the edited file's change time moved, so it is read.
  const ToolResult check = Tool({"check", "-q", Root(), Db("1.db")});
  EXPECT_EQ(check.status, 1) << check.err;
  EXPECT_NE(check.out.find("~ " + In("doc") + "  ctime: "), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("content: " + before + " -> " + after), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find(In("other")), std::string::npos) << check.out;

  HashOk("2.db", "1.db");
  EXPECT_EQ(Recorded("2.db", "doc"), after);
  const ToolResult json = Tool({"compare", "--json", Db("1.db"), Db("2.db")});
  EXPECT_EQ(json.status, 1) << json.err;
  bool seen = false;
  for (const nlohmann::json& change : JsonChanges(json)) {
    if (change["path"] != In("doc"))
      continue;
    seen = true;
    EXPECT_EQ(change["fields"], nlohmann::json::array({"ctime", "content"})) << change.dump();
    EXPECT_EQ(change["before"]["content"], before);
    EXPECT_EQ(change["after"]["content"], after);
    EXPECT_EQ(change["before"]["mtime"], change["after"]["mtime"]);
  }
  EXPECT_TRUE(seen) << json.out;

  // Without digests only the change time tells, and nothing says what changed.
  ScanOk("plain2.db");
  const ToolResult plain = Tool({"compare", Db("plain1.db"), Db("plain2.db")});
  for (const char* field : {"content", "size:", "mtime:"})
    EXPECT_EQ(plain.out.find(field), std::string::npos) << plain.out;
  // content asked for where a scan has no digests: said once, nothing compared.
  const ToolResult asked = Tool({"compare", "--fields", "content", Db("1.db"), Db("plain2.db")});
  EXPECT_EQ(asked.status, 0) << asked.out;
  EXPECT_NE(asked.err.find("plain2.db holds no digests; content is not compared"), std::string::npos)
      << asked.err;
}

TEST_P(ToolDigestTest, ReuseReadsOnlyFilesThatChanged) {
  tree_.Write("root/a", std::string(100, 'a'));
  tree_.Write("root/b", RandomBytes(5000, 4));
  tree_.Write("root/sub/c", RandomBytes(70000, 5));
  tree_.Write("root/sub/empty", "");
  HashOk("1.db");
  EXPECT_EQ(Info("1.db", "digests"), Counts(4, 0));
  EXPECT_EQ(Info("1.db", "bytes read"), "75100");

  // Nothing changed: nothing is read, and every digest is the earlier one.
  HashOk("2.db", "1.db");
  EXPECT_EQ(Info("2.db", "digests"), Counts(0, 4));
  EXPECT_EQ(Info("2.db", "bytes read"), "0");
  for (const char* name : {"a", "b", "sub/c", "sub/empty"})
    EXPECT_EQ(Recorded("2.db", name), Recorded("1.db", name)) << name;
  EXPECT_EQ(Tool({"compare", Db("1.db"), Db("2.db")}).status, 0);

  // One file changed: only it is read, and its new digest is reported.
  tree_.Write("root/sub/c", "more", true);
  const ToolResult summary =
      Tool({"scan", "--layout", Layout(), "--hash", Algorithm(), "--reuse", Db("2.db"), Root(), Db("3.db")});
  ASSERT_EQ(summary.status, 0) << summary.err;
  EXPECT_NE(summary.out.find(Algorithm() + ": 1 files hashed, 3 reused, 0 unreadable, 70004 bytes read ("),
            std::string::npos)
      << summary.out;
  EXPECT_EQ(Info("3.db", "bytes read"), "70004");
  EXPECT_EQ(Recorded("3.db", "sub/c"), External("sub/c"));
  const ToolResult compare = Tool({"compare", Db("2.db"), Db("3.db")});
  EXPECT_NE(compare.out.find("content: " + Recorded("2.db", "sub/c") + " -> " + External("sub/c")),
            std::string::npos)
      << compare.out;

  // A file replaced by another one of the same size and times is a new inode: read again.
  tree_.Write("root/replacement", std::string(100, 'z'));
  struct stat old;
  ASSERT_EQ(stat(In("a").c_str(), &old), 0);
  const struct timespec times[2] = {old.st_atim, old.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, In("replacement").c_str(), times, 0), 0);
  ASSERT_EQ(rename(In("replacement").c_str(), In("a").c_str()), 0);
  HashOk("4.db", "3.db");
  EXPECT_EQ(Info("4.db", "digests"), Counts(1, 3));
  EXPECT_EQ(Recorded("4.db", "a"), External("a"));

  // --rehash reads everything; an earlier scan of another algorithm gives nothing to take over.
  HashOk("5.db", "4.db", {"--rehash"});
  EXPECT_EQ(Info("5.db", "digests"), Counts(4, 0));
  ScanOk("other.db", {"--hash", OtherAlgorithm()});
  const ToolResult mixed = Scan("6.db", {"--hash", Algorithm(), "--reuse", Db("other.db")});
  ASSERT_EQ(mixed.status, 0) << mixed.err;
  EXPECT_NE(mixed.err.find("holds no " + Algorithm() + " digests; every file is read"), std::string::npos)
      << mixed.err;
  EXPECT_EQ(Info("6.db", "digests"), Counts(4, 0));
  // Scans of two algorithms compare in everything but content, and say so once.
  const ToolResult across = Tool({"compare", Db("other.db"), Db("6.db")});
  EXPECT_EQ(across.status, 0) << across.out;
  EXPECT_NE(across.err.find("different algorithms"), std::string::npos) << across.err;
  EXPECT_EQ(std::count(across.err.begin(), across.err.end(), '\n'), 1) << across.err;
}

// Every file of many folders, with names that sort differently by path, by case or by byte and the same
// names in other folders, finds its own digest, from a scan recorded as selected or not. Two files
// swapped between folders keep their sizes and times but the moves set their change times: both are read
// again, not taken for each other.
TEST_P(ToolDigestTest, ReuseFindsEveryFileOfManyFoldersByName) {
  const std::vector<std::string> names = {"Z",         "a",        "a b", "a-b", "a.b",  "a_b",
                                          "a\xc3\xa4", "\xc3\xa4", "10",  "9",   "x\ny", "same"};
  constexpr int kFolders = 40;
  size_t files = 0;
  for (int folder = 0; folder < kFolders; ++folder) {
    const std::string path = "root/d" + std::to_string(folder) + (folder % 4 == 0 ? "/deeper/" : "/");
    for (size_t i = 0; i < names.size(); ++i, ++files)
      tree_.Write(path + names[i], RandomBytes((folder + i) % 7 * 300, static_cast<unsigned>(files)));
  }
  for (const bool selected : {true, false}) {
    SCOPED_TRACE(selected ? "selected" : "--no-select");
    const std::string first = selected ? "1.db" : "1n.db", second = selected ? "2.db" : "2n.db";
    const Args select = selected ? Args{} : Args{"--no-select"};
    HashOk(first, "", select);
    HashOk(second, first, select);
    EXPECT_EQ(Info(second, "digests"), Counts(0, files));
    EXPECT_EQ(Info(second, "bytes read"), "0");
    EXPECT_EQ(Tool({"compare", Db(first), Db(second)}).status, 0);
  }
  // Swapped between two folders, same size and times: other inodes, so both are read again.
  const std::string one = In("d1/same"), two = In("d2/same"), swap = In("d1/swap");
  ASSERT_EQ(rename(one.c_str(), swap.c_str()), 0);
  ASSERT_EQ(rename(two.c_str(), one.c_str()), 0);
  ASSERT_EQ(rename(swap.c_str(), two.c_str()), 0);
  HashOk("3.db", "2.db");
  EXPECT_EQ(Info("3.db", "digests"), Counts(2, files - 2));
  EXPECT_EQ(Recorded("3.db", "d1/same"), External("d1/same"));
  EXPECT_EQ(Recorded("3.db", "d2/same"), External("d2/same"));
}

// Runs `sql` on the database file `path`.
void RunSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  const std::string text = message != nullptr ? message : "";
  sqlite3_free(message);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << text;
}

// The first column of the first row `sql` gives on the database file `path`, or -1.
int SqlInt(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  int value = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    value = sqlite3_column_int(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

// The digests are taken over from the earlier scan's own table of them. Without it (a scan by an
// earlier version) or with a damaged one, nothing is taken over and nothing wrong is recorded: every
// file is read, and the scan says why.
TEST_P(ToolDigestTest, ReuseOfAScanWithoutAUsableDigestTableReadsEveryFile) {
  tree_.Write("root/a", RandomBytes(3000, 1));
  tree_.Write("root/sub/b", RandomBytes(10, 2));
  HashOk("1.db");
  HashOk("ok.db", "1.db");
  EXPECT_EQ(Info("ok.db", "digests"), Counts(0, 2));

  RunSql(Db("1.db"), "DROP TABLE FsdbDigests");
  const ToolResult missing = Scan("2.db", {"--hash", Algorithm(), "--reuse", Db("1.db")});
  ASSERT_EQ(missing.status, 0) << missing.err;
  EXPECT_NE(missing.err.find("has no digest index (made by an earlier version); every file is read"),
            std::string::npos)
      << missing.err;
  EXPECT_EQ(Info("2.db", "digests"), Counts(2, 0));

  // A blob one byte short of whole records is refused whole, not read up to the damage.
  RunSql(Db("2.db"), "UPDATE FsdbDigests SET Records = substr(Records, 1, length(Records) - 1)");
  const ToolResult damaged = Scan("3.db", {"--hash", Algorithm(), "--reuse", Db("2.db")});
  ASSERT_EQ(damaged.status, 0) << damaged.err;
  EXPECT_NE(damaged.err.find("has a damaged digest index; every file is read"), std::string::npos)
      << damaged.err;
  EXPECT_EQ(Info("3.db", "digests"), Counts(2, 0));
  for (const char* name : {"a", "sub/b"})
    EXPECT_EQ(Recorded("3.db", name), External(name)) << name;

  // A scan without digests keeps no table of them.
  ScanOk("plain.db");
  EXPECT_EQ(SqlInt(Db("plain.db"), "SELECT count(*) FROM sqlite_master WHERE name = 'FsdbDigests'"), 0);
  EXPECT_EQ(SqlInt(Db("3.db"), "SELECT count(*) FROM sqlite_master WHERE name = 'FsdbDigests'"), 1);
}

TEST_P(ToolDigestTest, UnreadableFileIsReportedAndRecordedWithoutDigest) {
  tree_.Write("root/open", "anyone may read this");
  tree_.Write("root/secret", "only root may read this");
  ASSERT_EQ(chmod(In("secret").c_str(), 0600), 0);
  ASSERT_EQ(chmod(tree_.path().c_str(), 0755), 0);
  tree_.MakeFolder("out");
  ASSERT_EQ(chmod((tree_ / "out").c_str(), 0777), 0);
  if (!fsdbtest::CanRunAsNobody(tree_.path()))
    GTEST_SKIP() << "cannot run a command as nobody with setpriv here";

  const ToolResult scan =
      fsdbtest::RunProgram(fsdbtest::AsNobody({FSDB_TOOL, "scan", "-q", "--layout", Layout(), "--hash",
                                               Algorithm(), Root(), Db("out/1.db")}),
                           tree_.path());
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(scan.err, "fsdb: cannot hash " + In("secret") + ": open: Permission denied\n");
  EXPECT_EQ(Info("out/1.db", "digests"), Counts(1, 0, 1));
  EXPECT_EQ(Digest("out/1.db", "secret"), "none (the file could not be read)");
  EXPECT_EQ(Recorded("out/1.db", "open"), External("open"));

  // A file recorded without a digest has nothing to take over: the next scan reads it, and a comparison
  // does not call the digest that appeared a change.
  HashOk("2.db", "out/1.db");
  EXPECT_EQ(Info("2.db", "digests"), Counts(1, 1));
  EXPECT_EQ(Recorded("2.db", "secret"), External("secret"));
  EXPECT_EQ(Tool({"compare", Db("out/1.db"), Db("2.db")}).status, 0);
}

TEST_P(ToolDigestTest, ReuseNeedsHashAndAnExistingScan) {
  tree_.Write("root/a", "a");
  fsdbtest::ExpectOneLineError(Scan("1.db", {"--reuse", Db("missing.db")}), "--reuse needs --hash");
  fsdbtest::ExpectOneLineError(Scan("1.db", {"--hash", Algorithm(), "--reuse", Db("missing.db")}),
                               "cannot open " + Db("missing.db"));
  fsdbtest::ExpectOneLineError(Scan("1.db", {"--hash", "md5"}), "md5");
  EXPECT_FALSE(std::filesystem::exists(Db("1.db"))) << "a failed scan left a database";
}

// Digests of an empty file and of a 3 GiB sparse file (no block allocated: cheap to make, read as
// zeros), with both algorithms. sha256sum takes a quarter of a minute over 3 GiB, so the SHA-256 of 3 GiB
// of zeros is its known value (as sha256sum prints it); xxhsum is asked.
TEST(ToolDigestSizesTest, EmptyAndLargeSparseFiles) {
  ToolTree tree;
  tree.Write("root/empty", "");
  const std::string sparse = tree / "root/sparse";
  {
    const int fd = open(sparse.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const int rc = ftruncate(fd, int64_t{3} << 30);
    ASSERT_EQ(close(fd), 0);
    if (rc != 0)
      GTEST_SKIP() << "cannot make a 3 GiB sparse file here";
  }
  const struct {
    const char* algorithm;
    std::string empty, sparse;
  } kCases[] = {
      {"sha256", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "305b66a59d15b252092fbda9d09711230c429f351897cbd430e7b55a35fd3b97"},
      {"xxh128", ExternalDigest("xxh128", tree / "root/empty", tree.path()),
       ExternalDigest("xxh128", sparse, tree.path())},
  };
  for (const auto& expected : kCases) {
    SCOPED_TRACE(expected.algorithm);
    const std::string db = tree / (std::string(expected.algorithm) + ".db");
    const auto tool = [&](const Args& args) {
      Args argv{FSDB_TOOL};
      argv.insert(argv.end(), args.begin(), args.end());
      return fsdbtest::RunProgram(argv, tree.path());
    };
    const ToolResult scan = tool({"scan", "-q", "--hash", expected.algorithm, tree / "root", db});
    ASSERT_EQ(scan.status, 0) << scan.err;
    const ToolResult empty = tool({"stat", db, tree / "root/empty"}), large = tool({"stat", db, sparse});
    EXPECT_EQ(Field(empty, "digest"), std::string(expected.algorithm) + " " + expected.empty);
    EXPECT_EQ(Field(large, "digest"), std::string(expected.algorithm) + " " + expected.sparse);
    EXPECT_EQ(Field(large, "size"), std::to_string(int64_t{3} << 30));
    EXPECT_EQ(Field(tool({"info", db}), "bytes read"), std::to_string(int64_t{3} << 30));
  }
}

}  // namespace
