#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <sqlite3.h>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "fsdb/CompareDatabases.h"

namespace {

namespace fs = std::filesystem;
using FSDB::DatabaseType;
using Item = FSDB::CDatabaseItemPtr;
using Lines = std::vector<std::string>;
using Path = const std::string&;
using Layouts = std::tuple<DatabaseType, DatabaseType>;  // previous, current

const DatabaseType kFullPath = FSDB::DATABASE_TYPE_FULL_PATH;
const DatabaseType kOptimized = FSDB::DATABASE_TYPE_OPTIMIZED;

// Records every report as "<kind> <path>", and its items as "<name>:<size>|<name>:<size>" (previous,
// current; "-" for none). processFolder can be forced per path; the report at position `failingCall` fails.
class RecordingCallback : public FSDB::CCompareDatabasesCallback {
 public:
  Lines calls, items;
  std::vector<std::pair<Item, Item>> kept;  // the items of every report, kept beyond the call
  std::map<std::string, bool> process;
  size_t failingCall = SIZE_MAX;

  CYaError OnFolderInIndex1(Path p, Item i, bool& go) override { return Record("Folder1", p, i, {}, &go); }
  CYaError OnFolderInIndex2(Path p, Item i, bool& go) override { return Record("Folder2", p, {}, i, &go); }
  CYaError OnFolderInBothIndexes(Path p, Item a, Item b, bool& go) override {
    return Record("FolderBoth", p, a, b, &go);
  }
  CYaError OnFileInIndex1(Path p, Item i) override { return Record("File1", p, i, {}, nullptr); }
  CYaError OnFileInIndex2(Path p, Item i) override { return Record("File2", p, {}, i, nullptr); }
  CYaError OnFileInBothIndexes(Path p, Item a, Item b) override {
    return Record("FileBoth", p, a, b, nullptr);
  }
  static std::string Describe(const Item& i) {
    return i ? i->GetFileName() + ":" + std::to_string(i->GetFileSize()) : "-";
  }

 private:
  CYaError Record(const char* kind, Path path, Item previous, Item current, bool* processFolder) {
    calls.push_back(kind + (" " + path));
    items.push_back(Describe(previous) + "|" + Describe(current));
    kept.emplace_back(previous, current);
    if (processFolder != nullptr && process.count(path))
      *processFolder = process[path];
    return calls.size() - 1 == failingCall ? FXErrorUtil::ErrorWin32(FX_LOCATION, 5, "refused by the test")
                                           : CYaError::Success();
  }
};

// A scan as paths: a folder ends with '/', a leading '~' marks it unselected, a file may end with "=<size>".
using Entries = std::vector<std::string>;

class CompareDatabasesTest : public ::testing::TestWithParam<Layouts> {
 protected:
  static void Build(Path file, DatabaseType type, const Entries& entries) {
    FSDB::CScanDatabase database(file, type);
    ASSERT_OK(database.Open(false));
    for (std::string path : entries) {
      auto item = boost::make_shared<FSDB::CDatabaseItem>();
      item->SetAsSelected(path[0] != '~');
      path.erase(0, path[0] == '~' ? 1 : 0);
      const size_t size = std::min(path.find('='), path.size());
      item->SetFileSize(size < path.size() ? std::stoll(path.substr(size + 1)) : 0);
      path.resize(size);
      item->SetAsDirectory(path.back() == '/');
      ASSERT_OK(item->FormMetadata());
      ASSERT_OK(item->IsDirectory() ? database.AddFolder(path, item) : database.AddFile(path, item));
    }
    ASSERT_OK(database.Close());
  }
  void Build(const Entries& previous, const Entries& current) {
    fs::remove(previous_);
    fs::remove(current_);
    Build(previous_, std::get<0>(GetParam()), previous);
    Build(current_, std::get<1>(GetParam()), current);
  }
  FSDB::CCompareDatabases Comparison(Path previous, Path current) {
    return FSDB::CCompareDatabases(current, previous, callback_, std::get<1>(GetParam()),
                                   std::get<0>(GetParam()));
  }
  // Both scans are opened with their logging threads: closing them must not wait out the threads'
  // 10-second pause (a bound that catches a hang, not a measure of speed).
  CYaError Compare() {
    const auto start = std::chrono::steady_clock::now();
    const CYaError error = Comparison(previous_, current_).CompareDatabases();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "the comparison waited";
    return error;
  }
  CYaError Compare(const Entries& previous, const Entries& current) {
    Build(previous, current);
    return Compare();
  }

  fsdbtest::ScopedCaptureLog log_{0};  // first in, last out: it outlives every logging thread
  fsdbtest::TempDir dir_;
  std::string previous_ = dir_.File("previous.db");
  std::string current_ = dir_.File("current.db");
  boost::shared_ptr<RecordingCallback> callback_ = boost::make_shared<RecordingCallback>();
};

TEST_P(CompareDatabasesTest, CommonFolderFilesAreMergedByExactNameAndUnselectedItemsNeverShow) {
  EXPECT_OK(Compare({"/d/", "/d/a", "/d/c=1", "/d/A.txt", "~/d/gone", "~/d/kept", "~/old/", "/old/f"},
                    {"/d/", "/d/b", "/d/c=2", "/d/a.txt", "~/d/new", "~/d/kept", "~/fresh/", "/fresh/f"}));
  EXPECT_EQ(callback_->calls, (Lines{"FolderBoth /d", "File1 /d/A.txt", "File1 /d/a", "File2 /d/a.txt",
                                     "File2 /d/b", "FileBoth /d/c"}));
  EXPECT_EQ(callback_->items, (Lines{"d:0|d:0", "A.txt:0|-", "a:0|-", "-|a.txt:0", "-|b:0", "c:1|c:2"}));
}

// Bytes above 127 come after every ASCII byte in both walks, so the merge meets "/z" before "/\xC3\xA4"
// ("/ä").
TEST_P(CompareDatabasesTest, NamesWithBytesAbove127MergeInUnsignedByteOrder) {
  EXPECT_OK(
      Compare({"/d/", "/d/z=1", "/d/\xC3\xA4=3", "/z/", "/\xC3\xA4/", "/\xC3\xA4/f", "/\xFF/"},
              {"/d/", "/d/z=1", "/d/\xC3\xA4=4", "/d/\xFF", "/z/", "/z/g", "/\xC3\xA4/", "/\xC3\xA4/f"}));
  EXPECT_EQ(callback_->calls,
            (Lines{"FolderBoth /d", "FileBoth /d/z", "FileBoth /d/\xC3\xA4", "File2 /d/\xFF", "FolderBoth /z",
                   "File2 /z/g", "FolderBoth /\xC3\xA4", "FileBoth /\xC3\xA4/f", "Folder1 /\xFF"}));
  EXPECT_EQ(callback_->items[2], "\xC3\xA4:3|\xC3\xA4:4");
}

// A folder only in the previous scan is reported once and its subtree skipped (/a-b is no descendant of
// /a although its name starts so); one only in the current scan is walked folder by folder, file by file.
TEST_P(CompareDatabasesTest, FoldersOnOneSideOnly) {
  log_->SetLevel(30);
  EXPECT_OK(Compare({"/a/", "/a/f", "/a/b/", "/a/b/g", "/a/c/", "/a-b/", "/a-b/h"},
                    {"/n/", "/n/f", "/n/b/", "/n/b/g", "~/n/b/unselected", "/n/c/", "/n/c/h"}));
  EXPECT_EQ(callback_->calls, (Lines{"Folder1 /a", "Folder1 /a-b", "Folder2 /n", "File2 /n/f", "Folder2 /n/b",
                                     "File2 /n/b/g", "Folder2 /n/c", "File2 /n/c/h"}));
  for (const std::string folder : {"[/a]", "[/a/b] Skipping [Yes]", "[/a/c] Skipping [Yes]"})
    EXPECT_EQ(log_->Count("Previous [Yes] Current [No] Folder " + folder), 1u) << folder;
  EXPECT_EQ(log_->Count("Skipping [Yes]"), 2u);
}

// A folder selected on one side only may hold selected files on the other side, where the folder itself
// is not selected: they are found by the folder's path and merged with the side's own.
TEST_P(CompareDatabasesTest, FolderSelectedOnOneSideOnlyIsMergedWithTheOtherSidesFiles) {
  callback_->process = {{"/e", true}};
  EXPECT_OK(
      Compare({"~/d/", "/d/f=1", "/e/", "/e/f=3", "/e/g"}, {"/d/", "/d/f=2", "/d/h", "~/e/", "/e/f=4"}));
  EXPECT_EQ(callback_->calls, (Lines{"Folder2 /d", "FileBoth /d/f", "File2 /d/h", "Folder1 /e",
                                     "FileBoth /e/f", "File1 /e/g"}));
  EXPECT_EQ(callback_->items[1], "f:1|f:2");
  EXPECT_EQ(callback_->items[4], "f:3|f:4");
}

// Every report has items of its own: those a callback keeps still describe, after the walk, what was
// reported, and a file's item carries the path it was reported under.
TEST_P(CompareDatabasesTest, ItemsKeptByTheCallbackStayAsReported) {
  EXPECT_OK(Compare({"/d/", "/d/a=1", "/d/b=2", "/d/c=3", "/e/", "/e/x=9"},
                    {"/d/", "/d/a=1", "/d/b=5", "/d/bb=6", "/f/", "/f/y=7"}));
  ASSERT_EQ(callback_->kept.size(), callback_->calls.size());
  for (size_t i = 0; i < callback_->kept.size(); ++i) {
    const auto& [previous, current] = callback_->kept[i];
    EXPECT_EQ(RecordingCallback::Describe(previous) + "|" + RecordingCallback::Describe(current),
              callback_->items[i]);
    const Item& item = current ? current : previous;
    if (callback_->calls[i].rfind("File", 0) == 0) {
      const std::string kind = current && previous ? "Both" : current ? "2" : "1";
      EXPECT_EQ("File" + kind + " " + item->GetFullyQualifiedPath(), callback_->calls[i]);
    }
  }
  EXPECT_EQ(callback_->items,
            (Lines{"d:0|d:0", "a:1|a:1", "b:2|b:5", "-|bb:6", "c:3|-", "e:0|-", "-|f:0", "-|y:7"}));
}

// Deleted folders walked, the new one not, the common folder's files skipped (its subfolders still walked).
// The comparison runs without a log writer too.
TEST_P(CompareDatabasesTest, CallbackSteersTheWalk) {
  g_ptrLogWriter.reset();  // log_ puts the previous writer back
  callback_->process = {{"/old", true}, {"/old/sub", true}, {"/new", false}, {"/both", false}};
  EXPECT_OK(Compare(
      {"/both/", "/both/f", "/both/sub/", "/both/sub/g", "/old/", "/old/f", "/old/sub/", "/old/sub/g"},
      {"/both/", "/both/f", "/both/sub/", "/both/sub/g", "/new/", "/new/f", "/new/sub/", "/new/sub/g"}));
  EXPECT_EQ(callback_->calls,
            (Lines{"FolderBoth /both", "FolderBoth /both/sub", "FileBoth /both/sub/g", "Folder2 /new",
                   "Folder1 /old", "File1 /old/f", "Folder1 /old/sub", "File1 /old/sub/g"}));
}

TEST_P(CompareDatabasesTest, CallbackErrorEndsTheRunAtOnceAndEveryRunClosesBothDatabasesBeforeReturning) {
  Build({"/a/", "/a/f", "/a/g", "/b/"}, {"/a/", "/a/f", "/a/g", "/b/"});
  log_->SetLevel(2);
  FSDB::CCompareDatabases compare = Comparison(previous_, current_);
  for (size_t failing : {0u, 1u, 4u}) {  // the first folder report, the first file report, none of the four
    SCOPED_TRACE(failing);
    log_->Clear();
    callback_->calls.clear();
    callback_->failingCall = failing;
    const CYaError error = compare.CompareDatabases();
    EXPECT_EQ(error.IsError() ? error.GetMessage() : "success",
              failing < 4 ? "refused by the test" : "success");
    EXPECT_TRUE(failing == 4 || FXErrorUtil::IsWin32(error, 5)) << error.AsString();
    EXPECT_EQ(callback_->calls.size(), std::min<size_t>(failing + 1, 4));
    // Both databases closed while `compare` still lives, inside the call's trace.
    const std::vector<fsdbtest::LogLine> lines = log_->Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().text, "Entering");
    EXPECT_NE(lines.front().function.find("CompareDatabases"), std::string::npos);
    EXPECT_EQ(lines.back().text, "Leaving");
    EXPECT_EQ(log_->Count("Closing the database."), 3u);  // the read-only probe of the current file, both
  }
}

TEST_P(CompareDatabasesTest, ProgressLineIsRepeatedWhileAnIndexStaysOnAMultipleOf10000) {
  auto line = [](int current, int previous) {
    return "Current Item Index : [" + std::to_string(current) + "] PreviousItemIndex : [" +
           std::to_string(previous) + "]";
  };
  const struct {
    Entries previous, current;
    Lines progress;
  } cases[] = {
      {{"~/x/"}, {"/a/", "/b/", "/c/"}, {line(0, 0), line(1, 0), line(2, 0), line(3, 0)}},
      {{"/a/", "/b/", "/c/"}, {"/a/", "/b/", "/c/"}, {line(0, 0), line(3, 3)}},
      {{"~/a/f"}, {}, {line(0, 0)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.progress.back());
    log_->Clear();
    EXPECT_OK(Compare(c.previous, c.current));
    Lines progress;
    for (const std::string& text : log_->Texts())
      if (text.find("Current Item Index") != std::string::npos)
        progress.push_back(text);
    EXPECT_EQ(progress, c.progress);
  }
  EXPECT_EQ(callback_->calls.size(), 6u);  // three new folders, three common ones, then nothing
}

TEST_P(CompareDatabasesTest, ArgumentsThatCannotBeComparedFailAndCreateNothing) {
  for (const auto& [previous, current, which] : {std::make_tuple(std::string(), current_, "Previous"),
                                                 std::make_tuple(previous_, std::string(), "Current")}) {
    const CYaError error = Comparison(previous, current).CompareDatabases();
    EXPECT_WIN32(error, 87);
    EXPECT_EQ(error.GetMessage(), std::string(which) + " database not specified, Previous Database Name = [" +
                                      previous + "], Current Database Name = [" + current + "]");
  }
  // A missing file is not created (the current one is opened writable): both missing, then the current one.
  for (const std::string& missing : {previous_, current_}) {
    const CYaError error = Compare();
    EXPECT_WIN32(error, 2);
    EXPECT_NE(error.GetMessage().find(missing), std::string::npos) << error.GetMessage();
    EXPECT_FALSE(fs::exists(missing));
    Build(missing, missing == previous_ ? std::get<0>(GetParam()) : std::get<1>(GetParam()), {"/a/"});
  }
  EXPECT_TRUE(callback_->calls.empty());
  callback_.reset();
  EXPECT_WIN32(Compare(), 13);
}

// A previous scan cut short in bulk-insert mode lacks its unique file index: it is compared as it is,
// and left byte for byte.
TEST_P(CompareDatabasesTest, PreviousScanWithoutItsFileIndexIsComparedAndLeftUnchanged) {
  Build({"/d/", "/d/a", "/d/b=1"}, {"/d/", "/d/b=2", "/d/c"});
  {
    FX::CDatabaseBase raw;
    raw.SetDatabaseName(previous_);
    ASSERT_OK(raw.OpenDatabase());
    ASSERT_OK(raw.Execute("DROP INDEX index_files_folderidfilename;"));
  }
  const std::string before = fsdbtest::ReadFileBytes(previous_);
  EXPECT_OK(Compare());
  EXPECT_EQ(callback_->calls, (Lines{"FolderBoth /d", "File1 /d/a", "FileBoth /d/b", "File2 /d/c"}));
  EXPECT_EQ(before, fsdbtest::ReadFileBytes(previous_));
}

// A current file that is no scan database of its layout (empty, text, another program's tables, the other
// layout) is refused and left byte for byte; so is such a previous file.
TEST_P(CompareDatabasesTest, FilesThatAreNoScanDatabaseAreRefusedAndLeftUnchanged) {
  Build({"/a/", "/a/f"}, {"/a/"});
  const DatabaseType otherLayout = std::get<1>(GetParam()) == kFullPath ? kOptimized : kFullPath;
  const std::string other = dir_.File("other.db");
  Build(other, otherLayout, {"/a/"});
  FX::CDatabaseBase foreign;
  foreign.SetDatabasePath(dir_.path());
  foreign.SetDatabaseName("foreign.db");
  ASSERT_OK(foreign.OpenDatabase());
  ASSERT_OK(foreign.Execute("CREATE TABLE t(v); INSERT INTO t VALUES(1);"));
  foreign.CloseDatabase();
  std::ofstream(dir_.File("empty.txt"));
  std::ofstream(dir_.File("text.txt")) << "not a database\n";
  for (const std::string name : {"empty.txt", "text.txt", "foreign.db", "other.db"}) {
    SCOPED_TRACE(name);
    const std::string file = dir_.File(name);
    const std::string before = fsdbtest::ReadFileBytes(file);
    EXPECT_TRUE(Comparison(previous_, file).CompareDatabases().IsError());
    EXPECT_EQ(before, fsdbtest::ReadFileBytes(file));
    if (name != "other.db") {  // the other layout is a scan database for a comparison that says so
      EXPECT_TRUE(Comparison(file, current_).CompareDatabases().IsError());
      EXPECT_EQ(before, fsdbtest::ReadFileBytes(file));
    }
  }
  EXPECT_TRUE(callback_->calls.empty());
}

// ' ', '-' and '.' sort below '/' in byte order, which would report /a-b (current only) before /a/b
// (previous only). The root is reported with the empty path.
TEST_P(CompareDatabasesTest, ReportsFollowPathOrderWhateverTheLayouts) {
  EXPECT_OK(Compare(
      {"/", "/r", "/a/", "/a/f1", "/a/b/", "/a/b/g", "/a b/", "/a b/k", "/a b/z/", "/a.txt/", "/a.txt/h"},
      {"/", "/r", "/a/", "/a/f1", "/a/f2", "/a-b/", "/a-b/m", "/a.txt/", "/a.txt/h"}));
  EXPECT_EQ(callback_->calls, (Lines{"FolderBoth ", "FileBoth /r", "FolderBoth /a", "FileBoth /a/f1",
                                     "File2 /a/f2", "Folder1 /a/b", "Folder1 /a b", "Folder2 /a-b",
                                     "File2 /a-b/m", "FolderBoth /a.txt", "FileBoth /a.txt/h"}));
}

// A finished scan kept in rollback-journal mode, which a reader opens without leaving files beside it:
// the previous side must read it, and with SetCurrentReadOnly the current side too, without writing.
TEST_P(CompareDatabasesTest, ScansInRollbackJournalModeAreComparedWithoutWritingEither) {
  Build({"/a/", "/a/f=1"}, {"/a/", "/a/f=2", "/b/"});
  for (const std::string& file : {previous_, current_}) {
    sqlite3* connection = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(file.c_str(), &connection));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(connection, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr));
    sqlite3_close(connection);
  }
  const std::string previous = fsdbtest::ReadFileBytes(previous_),
                    current = fsdbtest::ReadFileBytes(current_);
  FSDB::CCompareDatabases comparison = Comparison(previous_, current_);
  comparison.SetCurrentReadOnly(true);
  ASSERT_OK(comparison.CompareDatabases());
  EXPECT_EQ(callback_->calls, (Lines{"FolderBoth /a", "FileBoth /a/f", "Folder2 /b"}));
  EXPECT_EQ(callback_->items[1], "f:1|f:2");
  EXPECT_EQ(previous, fsdbtest::ReadFileBytes(previous_));
  EXPECT_EQ(current, fsdbtest::ReadFileBytes(current_));
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir_.path()))
    files += entry.path().filename() == "previous.db" || entry.path().filename() == "current.db" ? 1 : 100;
  EXPECT_EQ(2u, files) << "no -wal, -shm or -journal file beside the databases";
}

std::string PairingName(const ::testing::TestParamInfo<Layouts>& info) {
  const char* const names[] = {"FullPath", "Optimized"};
  return std::string(names[std::get<0>(info.param)]) + "To" + names[std::get<1>(info.param)];
}
INSTANTIATE_TEST_SUITE_P(Pairings, CompareDatabasesTest,
                         ::testing::Combine(::testing::Values(kFullPath, kOptimized),
                                            ::testing::Values(kFullPath, kOptimized)),
                         PairingName);

}  // namespace
