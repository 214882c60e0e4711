// `fsdb compare` end to end: real trees scanned by the built tool, changed, scanned again and compared,
// over both layouts.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ToolTestUtil.h"
#include "fsdb/ScanDatabase.h"

#ifndef FSDB_TOOL
#error "FSDB_TOOL must name the built fsdb tool"
#endif

namespace {

using fsdbtest::Args;
using fsdbtest::ToolResult;
using fsdbtest::ToolTree;

constexpr int64_t kSecond = 1000000000;
// 2023-11-14T22:13:20Z, and 2020-09-13T12:26:40Z.
constexpr int64_t kTouchSeconds = 1700000000;
constexpr int64_t kReadSeconds = 1600000000;

// Reads a path of the report back into its bytes (the tool's escape: \\, \n, \t, \xHH).
std::string Unescape(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    const char next = text[++i];
    if (next == 'n') {
      bytes += '\n';
    } else if (next == 't') {
      bytes += '\t';
    } else if (next == 'x' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += next;
    }
  }
  return bytes;
}

constexpr int64_t kKeep = INT64_MIN;  // leave this time as it is

void SetTimes(const std::string& path, int64_t atimeNs, int64_t mtimeNs) {
  const auto toTimespec = [](int64_t ns) {
    struct timespec time;
    if (ns == kKeep) {
      time.tv_sec = 0;
      time.tv_nsec = UTIME_OMIT;
    } else {
      time.tv_sec = ns / kSecond - (ns % kSecond < 0 ? 1 : 0);
      time.tv_nsec = ns % kSecond + (ns % kSecond < 0 ? kSecond : 0);
    }
    return time;
  };
  const struct timespec times[2] = {toTimespec(atimeNs), toTimespec(mtimeNs)};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

// Checks the report line by line. An expected line ending in '*' matches every line that starts with
// the text before it (for values such as change times that a test cannot know).
void ExpectLines(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& want = expected[i];
    if (!want.empty() && want.back() == '*')
      EXPECT_EQ(want.substr(0, want.size() - 1), lines[i].substr(0, want.size() - 1)) << "line " << i;
    else
      EXPECT_EQ(want, lines[i]) << "line " << i;
  }
}

std::vector<nlohmann::json> ParseJsonLines(const ToolResult& result) {
  std::vector<nlohmann::json> objects;
  for (const std::string& line : result.Lines())
    objects.push_back(nlohmann::json::parse(line));  // throws, and so fails the test, on what is not JSON
  return objects;
}

FSDB::DatabaseType TypeOf(const std::string& layout) {
  return layout == "optimized" ? FSDB::DATABASE_TYPE_OPTIMIZED : FSDB::DATABASE_TYPE_FULL_PATH;
}

// One test's tree: `root` is what is scanned; databases and the tool's captured output live beside it.
class ToolCompareTest : public fsdbtest::ToolFixture<const char*> {
 protected:
  void SetUp() override { tree_.MakeFolder("root"); }

  // Scans `root` into the database `name` (beside it) in the test's layout.
  void Scan(const std::string& name, const Args& prefix = {}, const Args& options = {}) {
    Args argv = prefix;
    argv.insert(argv.end(), {FSDB_TOOL, "scan", Root(), Db(name), "--layout", GetParam(), "--quiet"});
    argv.insert(argv.end(), options.begin(), options.end());
    const ToolResult result = fsdbtest::RunProgram(argv, tree_.path());
    ASSERT_EQ(0, result.status) << result.err;
  }

  ToolResult Compare(const Args& options, const std::string& previous = "1.db",
                     const std::string& current = "2.db") {
    Args args{"compare", Db(previous), Db(current)};
    args.insert(args.end(), options.begin(), options.end());
    return Tool(args);
  }

  void Write(const std::string& relative, const std::string& content, bool append = false) {
    tree_.Write("root/" + relative, content, append);
  }

  // Scans a tree as 1.db, changes it in every way the report knows, and scans it as 2.db.
  void ScanEveryKindOfChange() {
    Write("keep.txt", "the same");
    Write("read.txt", "read me");
    Write("gone.txt", "bye");
    Write("grow.txt", "abc");
    Write("perm.txt", "mode");
    Write("owned.txt", "owner");
    Write("touched.txt", "touch");
    Write("old-name.txt", "renamed file");
    Write("dir/c.txt", "c");
    Write("dir/sub/a.txt", "a");
    Write("dir/sub/b.txt", "b");
    Write("spot", "a file, then a folder");
    ASSERT_EQ(0, chmod(In("perm.txt").c_str(), 0644));
    ASSERT_EQ(0, symlink("keep.txt", In("link").c_str()));
    SetTimes(In("touched.txt"), kKeep, kTouchSeconds * kSecond + 100);
    SetTimes(In("read.txt"), kReadSeconds * kSecond + kSecond / 2, kKeep);
    Scan("1.db");

    std::filesystem::remove(In("gone.txt"));
    Write("grow.txt", "def", /*append=*/true);
    ASSERT_EQ(0, chmod(In("perm.txt").c_str(), 0600));
    ASSERT_EQ(0, chown(In("owned.txt").c_str(), 1234, 5678)) << "the tests run as root";
    // Within the same second: only the nanoseconds tell the two times apart.
    SetTimes(In("touched.txt"), kKeep, kTouchSeconds * kSecond + 200);
    SetTimes(In("read.txt"), kReadSeconds * kSecond + kSecond + kSecond / 4, kKeep);
    std::filesystem::rename(In("old-name.txt"), In("new-name.txt"));
    std::filesystem::rename(In("dir"), In("moved"));
    Write("moved/c.txt", "++", /*append=*/true);
    std::filesystem::remove(In("spot"));
    Write("spot/inner.txt", "now a folder");
    // Made beside and renamed over, so that the new link cannot get the old one's inode.
    ASSERT_EQ(0, symlink("new-name.txt", In("link.new").c_str()));
    std::filesystem::rename(In("link.new"), In("link"));
    Write("new.txt", "fresh content");
    Write("newdir/x.txt", "x");
    Write("newdir/y.txt", "y");
    Scan("2.db");
  }
};

TEST_P(ToolCompareTest, ReportsEveryKindOfChangeInPathOrder) {
  ASSERT_NO_FATAL_FAILURE(ScanEveryKindOfChange());
  const ToolResult result = Compare({});
  EXPECT_EQ(1, result.status) << result.err;
  EXPECT_EQ("", result.err);
  const std::string d = Root();
  ExpectLines(
      result.Lines(),
      {
          "~ " + d + "/  links: 3 -> 5, mtime: *",
          "- " + d + "/gone.txt",
          "~ " + d + "/grow.txt  size: 3 -> 6, mtime: *",
          "~ " + d + "/link  size: 8 -> 12, inode: *",
          "> " + d + "/dir/ -> " + d + "/moved/",
          "~ " + d + "/moved/c.txt  size: 1 -> 3, mtime: *",
          "> " + d + "/old-name.txt -> " + d + "/new-name.txt",
          "+ " + d + "/new.txt",
          "+ " + d + "/newdir/ (2 entries)",
          "~ " + d + "/owned.txt  owner: 0 -> 1234, group: 0 -> 5678, ctime: *",
          "~ " + d + "/perm.txt  mode: -rw-r--r-- -> -rw-------, ctime: *",
          "~ " + d + "/read.txt  ctime: *",
          "- " + d + "/spot",
          "+ " + d + "/spot/ (1 entry)",
          "~ " + d +
              "/touched.txt  mtime: 2023-11-14T22:13:20.000000100Z -> 2023-11-14T22:13:20.000000200Z, "
              "ctime: *",
          "summary: added 2 folders, 4 files; deleted 0 folders, 2 files; changed 1 folder, 7 files; "
          "moved 1 folder, 1 file; unreadable 0",
      });
  // Reading the databases left nothing beside them.
  for (const auto& entry : std::filesystem::directory_iterator(tree_.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "root" || name == "1.db" || name == "2.db") << name;
  }
}

TEST_P(ToolCompareTest, JsonCarriesTheSameReportWithValuesAndTexts) {
  ASSERT_NO_FATAL_FAILURE(ScanEveryKindOfChange());
  const ToolResult text = Compare({});
  const ToolResult result = Compare({"--json"});
  EXPECT_EQ(1, result.status) << result.err;
  const std::vector<nlohmann::json> objects = ParseJsonLines(result);
  ASSERT_EQ(text.Lines().size(), objects.size());

  // Each object says what the text line says.
  for (size_t i = 0; i + 1 < objects.size(); ++i) {
    const nlohmann::json& object = objects[i];
    const std::string line = text.Lines()[i];
    const std::string change = object.at("change");
    const std::string path = object.at("path");
    const std::map<std::string, char> symbols{
        {"added", '+'}, {"deleted", '-'}, {"changed", '~'}, {"moved", '>'}};
    EXPECT_EQ(symbols.count(change) ? symbols.at(change) : '?', line[0]) << line;
    if (change == "moved")
      EXPECT_EQ("> " + object.at("from").get<std::string>() + " -> " + path, line);
    else
      EXPECT_EQ(line.substr(2, path.size()), path) << line;
  }

  const auto find = [&](const std::string& path) -> const nlohmann::json& {
    for (const nlohmann::json& object : objects) {
      if (object.contains("path") && object["path"] == path)
        return object;
    }
    ADD_FAILURE() << "no object for " << path;
    return objects.back();
  };
  const nlohmann::json& touched = find(In("touched.txt"));
  EXPECT_EQ("changed", touched["change"]);
  EXPECT_EQ("file", touched["kind"]);
  EXPECT_EQ(nlohmann::json::array({"mtime", "ctime"}), touched["fields"]);
  EXPECT_EQ(kTouchSeconds * kSecond + 100, touched["before"]["mtime"]);
  EXPECT_EQ(kTouchSeconds * kSecond + 200, touched["after"]["mtime"]);
  EXPECT_EQ("2023-11-14T22:13:20.000000200Z", touched["after"]["mtime_text"]);
  EXPECT_FALSE(touched["after"].contains("atime")) << "atime is compared only when asked for";

  const nlohmann::json& perm = find(In("perm.txt"));
  EXPECT_EQ(0100644, perm["before"]["mode"]);
  EXPECT_EQ("-rw-------", perm["after"]["mode_text"]);
  EXPECT_EQ(1234, find(In("owned.txt"))["after"]["owner"]);
  EXPECT_EQ("symlink", find(In("link"))["kind"]);

  const nlohmann::json& moved = find(In("moved/"));
  EXPECT_EQ("moved", moved["change"]);
  EXPECT_EQ("folder", moved["kind"]);
  EXPECT_EQ(In("dir/"), moved["from"]);
  EXPECT_EQ(moved["before"]["inode"], moved["after"]["inode"]);
  EXPECT_EQ(2, find(In("newdir/"))["entries"]);
  EXPECT_EQ("deleted", find(In("spot"))["change"]);

  EXPECT_EQ(
      nlohmann::json::parse(R"({"added": {"folders": 2, "files": 4}, "deleted": {"folders": 0, "files": 2},
      "changed": {"folders": 1, "files": 7}, "moved": {"folders": 1, "files": 1}, "unreadable": 0})"),
      objects.back().at("summary"));
}

TEST_P(ToolCompareTest, OptionsShapeTheReport) {
  ASSERT_NO_FATAL_FAILURE(ScanEveryKindOfChange());
  const std::string d = Root();
  const auto movesOff = Compare({"--no-moves"}).Lines();
  for (const std::string& line : {"- " + d + "/dir/ (4 entries)", "+ " + d + "/moved/ (4 entries)",
                                  "- " + d + "/old-name.txt", "+ " + d + "/new-name.txt"})
    EXPECT_TRUE(fsdbtest::Has(movesOff, line)) << line;
  EXPECT_EQ(
      "summary: added 4 folders, 8 files; deleted 2 folders, 6 files; changed 1 folder, 6 files; "
      "moved 0 folders, 0 files; unreadable 0",
      movesOff.back());

  // --all lists the entries beneath an added folder; the moved folder's unchanged entries stay silent.
  const auto all = Compare({"--all"}).Lines();
  const auto at = std::find(all.begin(), all.end(), "+ " + d + "/newdir/ (2 entries)");
  ASSERT_NE(all.end(), at);
  ASSERT_LT(at + 2, all.end());
  EXPECT_EQ("+ " + d + "/newdir/x.txt", *(at + 1));
  EXPECT_EQ("+ " + d + "/newdir/y.txt", *(at + 2));
  EXPECT_EQ(Compare({}).Lines().size() + 3, all.size());  // x.txt, y.txt, spot/inner.txt

  // atime only when named; then only the named fields are compared.
  const ToolResult atime = Compare({"--fields", "atime"});
  EXPECT_EQ(1, atime.status);
  EXPECT_TRUE(fsdbtest::Has(atime.Lines(), "~ " + d +
                                               "/read.txt  atime: 2020-09-13T12:26:40.500000000Z -> "
                                               "2020-09-13T12:26:41.250000000Z"))
      << atime.out;
  EXPECT_EQ(std::string::npos, atime.out.find("ctime")) << atime.out;
  const auto two = Compare({"--fields", "size,mode"}).Lines();
  for (const char* line :
       {"/perm.txt  mode: -rw-r--r-- -> -rw-------", "/grow.txt  size: 3 -> 6", "/link  size: 8 -> 12"})
    EXPECT_TRUE(fsdbtest::Has(two, "~ " + d + line)) << line;
  for (const std::string& line : two)
    EXPECT_TRUE(line[0] != '~' || line.find(", ") == std::string::npos) << line;
  // The list ends at its own argument: the databases may follow it.
  EXPECT_EQ(two, Tool({"compare", "--fields", "size,mode", Db("1.db"), Db("2.db")}).Lines());

  const ToolResult summary = Compare({"--summary"});
  EXPECT_EQ(1, summary.status);
  ASSERT_EQ(1u, summary.Lines().size());
  EXPECT_EQ(Compare({}).Lines().back(), summary.Lines()[0]);
  const ToolResult jsonSummary = Compare({"--summary", "--json"});
  ASSERT_EQ(1u, jsonSummary.Lines().size());
  EXPECT_TRUE(nlohmann::json::parse(jsonSummary.out).contains("summary"));

  fsdbtest::ExpectOneLineError(Compare({"--fields", "size,colour"}), "colour");
}

TEST_P(ToolCompareTest, AScanComparedWithItselfHasOnlyTheSummary) {
  Write("a/b.txt", "b");
  Write("c.txt", "c");
  Scan("1.db");
  const std::string none =
      "summary: added 0 folders, 0 files; deleted 0 folders, 0 files; changed 0 folders, "
      "0 files; moved 0 folders, 0 files; unreadable 0";
  const ToolResult self = Compare({}, "1.db", "1.db");
  EXPECT_EQ(0, self.status) << self.err;
  EXPECT_EQ(none + "\n", self.out);
  // A rescan of an untouched tree, in the other layout too, is the same.
  const std::string other = std::string(GetParam()) == "full" ? "optimized" : "full";
  const ToolResult scan = Tool({"scan", Root(), Db("2.db"), "--layout", other, "--quiet"});
  ASSERT_EQ(0, scan.status) << scan.err;
  // A scan without selection has nothing the walk compares: said on stderr, not passed off as no change.
  Scan("3.db", {}, {"--no-select"});
  const ToolResult unselected = Compare({}, "1.db", "3.db");
  EXPECT_EQ(1, unselected.status);
  EXPECT_NE(std::string::npos, unselected.err.find("3.db was scanned with --no-select")) << unselected.err;
  const ToolResult rescan = Compare({"--json"});
  EXPECT_EQ(0, rescan.status) << rescan.out;
  ASSERT_EQ(1u, rescan.Lines().size()) << rescan.out;
  EXPECT_EQ(0, nlohmann::json::parse(rescan.out)["summary"]["changed"]["files"]);
}

TEST_P(ToolCompareTest, AFolderTheScanCouldNotListIsNotReportedAsDeleted) {
  if (!fsdbtest::CanRunAsNobody(tree_.path()))
    GTEST_SKIP() << "setpriv cannot switch to the user nobody here";
  Write("open.txt", "readable");
  Write("locked/inside.txt", "hidden later");
  Write("locked/sub/deeper.txt", "hidden later");
  ASSERT_EQ(0, chmod(In("locked").c_str(), 0700));
  ASSERT_EQ(0, chmod(tree_.path().c_str(), 0777));
  Scan("1.db");
  Scan("2.db", fsdbtest::AsNobody());

  const ToolResult result = Compare({});
  EXPECT_EQ(1, result.status) << result.err;
  const auto lines = result.Lines();
  ASSERT_EQ(2u, lines.size()) << result.out;
  EXPECT_EQ(0u, lines[0].rfind("? " + Root() + "/locked/ (unreadable: ", 0)) << lines[0];
  EXPECT_EQ(
      "summary: added 0 folders, 0 files; deleted 0 folders, 0 files; changed 0 folders, 0 files; "
      "moved 0 folders, 0 files; unreadable 1",
      lines[1]);
  const auto objects = ParseJsonLines(Compare({"--json"}));
  ASSERT_EQ(2u, objects.size());
  EXPECT_EQ("unreadable", objects[0]["change"]);
  EXPECT_EQ(In("locked/"), objects[0]["path"]);
  EXPECT_FALSE(objects[0]["reason"].get<std::string>().empty());
}

TEST_P(ToolCompareTest, OddNamesGiveOneUnambiguousLineEach) {
  Scan("1.db");
  // Valid UTF-8 stays as it is; overlong forms, surrogates, code points past U+10FFFF and cut sequences
  // are not UTF-8 and are escaped byte by byte.
  const std::vector<std::string> names = {"with space",
                                          "per%cent_under",
                                          "new\nline",
                                          "quo\"te",
                                          "bad\xff\xfe",
                                          "ctl\x01\x7f",
                                          "-leading",
                                          "back\\slash",
                                          "tab\there",
                                          "\xc3\xbcnicode",
                                          "smile\xf0\x9f\x98\x80",
                                          "\xed\xa0\x80surrogate",
                                          "overlong\xc0\xaf",
                                          "beyond\xf4\x90\x80\x80",
                                          "cut\xe2\x82"};
  for (const std::string& name : names)
    Write(name, "x");
  Scan("2.db");

  const ToolResult text = Compare({"--all"});
  EXPECT_EQ(1, text.status) << text.err;
  const auto lines = text.Lines();
  ASSERT_EQ(names.size() + 2, lines.size()) << text.out;  // the folder's change and the summary
  std::vector<std::string> read;
  for (const std::string& line : lines) {
    if (line.rfind("+ " + Root() + "/", 0) == 0)
      read.push_back(Unescape(line.substr(Root().size() + 3)));
  }
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  std::sort(read.begin(), read.end());
  EXPECT_EQ(sorted, read);
  for (const char* shown : {"/new\\nline", "/bad\\xff\\xfe", "/ctl\\x01\\x7f", "/\xc3\xbcnicode",
                            "/smile\xf0\x9f\x98\x80", "/\\xed\\xa0\\x80surrogate", "/overlong\\xc0\\xaf",
                            "/beyond\\xf4\\x90\\x80\\x80", "/cut\\xe2\\x82", "/back\\\\slash", "/tab\\there"})
    EXPECT_TRUE(fsdbtest::Has(lines, "+ " + Root() + shown)) << shown;

  const auto objects = ParseJsonLines(Compare({"--json"}));
  ASSERT_EQ(lines.size(), objects.size());
  std::vector<std::string> fromJson;
  for (const nlohmann::json& object : objects) {
    if (object.value("change", "") == "added")
      fromJson.push_back(Unescape(object["path"].get<std::string>().substr(Root().size() + 1)));
  }
  std::sort(fromJson.begin(), fromJson.end());
  EXPECT_EQ(sorted, fromJson);
}

// A folder moved, then a folder and a file moved out of it: three moves, and nothing deleted or added.
TEST_P(ToolCompareTest, MovesOutOfAMovedFolderPairOnTheirOwn) {
  Write("a/x.txt", "x");
  Write("a/inner/y.txt", "y");
  Scan("1.db");
  std::filesystem::rename(In("a"), In("b"));
  std::filesystem::rename(In("b/inner"), In("c"));
  std::filesystem::rename(In("b/x.txt"), In("top.txt"));
  Scan("2.db");
  const std::string d = Root();
  ExpectLines(
      Compare({"--fields", "size,inode"}).Lines(),
      {"> " + d + "/a/ -> " + d + "/b/", "> " + d + "/a/inner/ -> " + d + "/c/",
       "> " + d + "/a/x.txt -> " + d + "/top.txt",
       "summary: added 0 folders, 0 files; deleted 0 folders, 0 files; changed 0 folders, 0 files; moved 2 "
       "folders, 1 file; unreadable 0"});
}

// A tree recorded as the root of the file system: the walk names the root folder with the empty path.
TEST_P(ToolCompareTest, TheRootFolderIsShownAsTheSeparator) {
  Write("a", "1");
  Scan("1.db", {}, {"--as", "/"});
  Write("b", "2");
  Scan("2.db", {}, {"--as", "/"});
  ExpectLines(
      Compare({"--fields", "mtime"}).Lines(),
      {"~ /  mtime: *", "+ /b",
       "summary: added 0 folders, 1 file; deleted 0 folders, 0 files; changed 1 folder, 0 files; moved 0 "
       "folders, 0 files; unreadable 0"});
}

// Special permission bits print as ls prints them, and a time before the epoch keeps a positive fraction.
TEST_P(ToolCompareTest, ModesAndTimesPrintAsLsAndIso8601Do) {
  Write("setuid", "x");
  Write("setgid", "x");
  tree_.MakeFolder("root/shared");
  Write("old", "x");
  for (const char* name : {"setuid", "setgid"})
    ASSERT_EQ(0, chmod(In(name).c_str(), 0755));
  ASSERT_EQ(0, chmod(In("shared").c_str(), 0777));
  SetTimes(In("old"), kKeep, kSecond);
  Scan("1.db");
  ASSERT_EQ(0, chmod(In("setuid").c_str(), 04755));
  ASSERT_EQ(0, chmod(In("setgid").c_str(), 02745));
  ASSERT_EQ(0, chmod(In("shared").c_str(), 01777));
  SetTimes(In("old"), kKeep, -kSecond - kSecond / 2);
  Scan("2.db");
  const auto lines = Compare({"--fields", "mode,mtime"}).Lines();
  ExpectLines(lines, {
                         "~ " + Root() +
                             "/old  mtime: 1970-01-01T00:00:01.000000000Z -> 1969-12-31T23:59:58.500000000Z",
                         "~ " + Root() + "/setgid  mode: -rwxr-xr-x -> -rwxr-Sr-x",
                         "~ " + Root() + "/setuid  mode: -rwxr-xr-x -> -rwsr-xr-x",
                         "~ " + Root() + "/shared/  mode: drwxrwxrwx -> drwxrwxrwt",
                         "summary: *",
                     });
}

// A database written through the library by another program: no tool table, times in its own unit, no
// owner, attributes that are no st_mode, no inodes. It is compared with what it has, its values shown as
// stored; g and h look alike but, without an inode, are not taken for one file moved.
TEST_P(ToolCompareTest, ScansOfOtherProgramsAreComparedWithValuesAsStored) {
  fsdbtest::WriteForeignScan(Db("1.db"), TypeOf(GetParam()), "/x/",
                             {{"/x/f", 1, 100, 32}, {"/x/g", 5, 100, 32}});
  fsdbtest::WriteForeignScan(Db("2.db"), TypeOf(GetParam()), "/x/",
                             {{"/x/f", 2, 200, 32}, {"/x/h", 5, 100, 32}});
  const ToolResult result = Compare({});
  EXPECT_EQ(1, result.status) << result.err;
  ExpectLines(result.Lines(),
              {"~ /x/f  size: 1 -> 2, mtime: 100 -> 200", "- /x/g", "+ /x/h",
               "summary: added 0 folders, 1 file; deleted 0 folders, 1 file; changed 0 folders, 1 "
               "file; moved 0 folders, 0 files; unreadable 0"});
}

TEST_P(ToolCompareTest, AFileThatIsNoScanIsOneLineAndStatusTwo) {
  Scan("1.db");
  tree_.Write("junk.db", "this is not a database");
  const struct {
    std::string previous, current, named;
  } cases[] = {{"missing.db", "1.db", "missing.db"},
               {"1.db", "missing.db", "missing.db"},
               {"junk.db", "1.db", "junk.db"},
               {"1.db", "junk.db", "junk.db"}};
  for (const auto& c : cases)
    fsdbtest::ExpectOneLineError(Compare({}, c.previous, c.current), c.named);
  EXPECT_NE(std::string::npos, Compare({}, "junk.db", "1.db").err.find("not an fsdb database"));
  EXPECT_FALSE(std::filesystem::exists(Db("missing.db")));
}

INSTANTIATE_TEST_SUITE_P(Layouts, ToolCompareTest, ::testing::Values("full", "optimized"));

}  // namespace
