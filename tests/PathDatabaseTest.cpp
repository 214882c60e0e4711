#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "core/FullPathDatabase.h"
#include "core/PathDatabase.h"
#include "core/PathOrdering.h"

namespace FSDB {
namespace {

using Rows = std::vector<std::string>;
const int64_t kBig = int64_t{1} << 33;  // beyond every 32-bit type
const char kCountFiles[] = "SELECT COUNT(*) FROM Files";
const char kAllRows[] = "SELECT * FROM Folders UNION ALL SELECT * FROM Files";
const char kStopped[] = "Stopped Database Performance Logging Thread";
const char kBanner[] =
    "--------------------- Scan Database Performance Counters -------------------------------";

std::shared_ptr<CPathDatabase> MakeEngine(DatabaseType type, const std::string& file, bool readOnly = false) {
  return MakeScanEngine(file, type, readOnly);
}

using fsdbtest::Item;
using fsdbtest::Values;

// A new database file per test in either layout, opened without the logging thread.
class PathDatabaseTest : public ::testing::TestWithParam<DatabaseType> {
 protected:
  void SetUp() override { Reopen(); }

  void Reopen(bool readOnly = false) {
    if (engine_)
      ASSERT_OK(engine_->Close());
    engine_.reset();
    engine_ = MakeEngine(GetParam(), dir_.File("scan.db"), readOnly);
    ASSERT_OK(engine_->Open(false));
  }
  CDatabaseItemPtr Query(const std::string& path) {
    CDatabaseItemPtr item;
    EXPECT_OK(engine_->QueryItem(path, item));
    return item;
  }
  Rows Select(const std::string& sql) { return fsdbtest::SelectRows(*engine_, sql); }
  bool HasFileIndex() {
    return Select("SELECT 1 FROM sqlite_master WHERE name='index_files_folderidfilename'").size();
  }
  size_t QueueSize() { return engine_->GetDatabaseCache()->GetFileQueueSize(); }
  size_t Logged(const std::string& text) {  // lines that are exactly `text`
    const Rows texts = log_->Texts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
  }

  fsdbtest::TempDir dir_;
  fsdbtest::ScopedCaptureLog log_{3};
  std::shared_ptr<CPathDatabase> engine_;
};

TEST_P(PathDatabaseTest, NewFileHasTheSharedSchemaInWalMode) {
  EXPECT_EQ(
      (Rows{"CREATE TABLE Files (FileId INTEGER NOT NULL PRIMARY KEY, FolderId INTEGER , FileName VARCHAR "
            "COLLATE PATH_COMPONENTS,Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime "
            "BIGINT,LastChangeTime BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR,CONSTRAINT "
            "parent_folder FOREIGN KEY (FolderId) REFERENCES Folders(FolderId) ON DELETE CASCADE)",
            "CREATE UNIQUE INDEX index_files_folderidfilename ON Files(FolderId,FileName)"}),
      Select("SELECT sql FROM sqlite_master WHERE tbl_name='Files' ORDER BY type DESC"));
  const std::string folders = Select("SELECT sql FROM sqlite_master WHERE name='Folders'").at(0);
  EXPECT_NE(std::string::npos,
            folders.find(GetParam() == 1 ? "FolderName VARCHAR COLLATE PATH_COMPONENTS,"
                                         : "FullyQualifiedPath VARCHAR COLLATE PATH_COMPONENTS,"))
      << folders;
  EXPECT_EQ(Rows{"view"}, Select("SELECT type FROM sqlite_master WHERE name='FilesystemView'"));
  EXPECT_EQ(Rows{"wal|0|1"},
            Select("SELECT * FROM pragma_journal_mode, pragma_synchronous, pragma_foreign_keys"));
  for (const char* line : {"Setting Database journal mode to WAL", "Setting Database synchronous mode to off",
                           "Setting Database Foreign keys mode to on"}) {
    EXPECT_EQ(1u, Logged(line)) << line;
  }
}

// Neither reopening nor recompiling the statements may reset the root's attributes.
TEST_P(PathDatabaseTest, BaseRowsAreWrittenOnlyWhenMissing) {
  const CDatabaseItemPtr root = Item(77, true, true);
  ASSERT_OK(engine_->AddFolder("/", root));
  const std::string kFolders = "SELECT * FROM Folders ORDER BY FolderId";
  const Rows schema = Select("SELECT * FROM sqlite_master ORDER BY name"), folders = Select(kFolders);
  Reopen();
  EXPECT_EQ(schema, Select("SELECT * FROM sqlite_master ORDER BY name"));
  ASSERT_OK(engine_->SetBulkInsertMode(true));  // compiles the statements again
  EXPECT_EQ(folders, Select(kFolders));
  EXPECT_EQ(2, Query("/")->GetId());
  EXPECT_EQ(Values(root), Values(Query("/")));

  ASSERT_OK(engine_->Execute("DELETE FROM Folders;"));
  Reopen(true);
  EXPECT_EQ(Rows{"0"}, Select("SELECT COUNT(*) FROM Folders"));
  Reopen();
  EXPECT_EQ((Rows{"1|1|-", "2|1|/"}), Select("SELECT FolderId, ParentFolderId, " +
                                             std::string(GetParam() ? "FolderName" : "FullyQualifiedPath") +
                                             " FROM Folders ORDER BY FolderId"));
}

TEST_P(PathDatabaseTest, BulkInsertModeDropsTheIndexUntilCloseAndCannotBeSwitchedOff) {
  ASSERT_OK(engine_->SetBulkInsertMode(false));
  EXPECT_FALSE(engine_->IsBulkInsertModeActive());
  EXPECT_TRUE(HasFileIndex());
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  EXPECT_TRUE(engine_->IsBulkInsertModeActive());
  EXPECT_FALSE(HasFileIndex());
  EXPECT_EQ(1u, Logged("The Bulk insert mode is set to False"));
  EXPECT_EQ(1u, Logged("The Bulk insert mode is set to True"));

  const size_t lines = log_->Lines().size();
  const CYaError error = engine_->SetBulkInsertMode(false);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 774)) << error.AsString();
  EXPECT_EQ(
      "Cannot change bulk insert mode once set from true to false. Please reopen the database and continue. ",
      error.GetMessage());
  EXPECT_TRUE(engine_->IsBulkInsertModeActive());
  EXPECT_EQ(lines, log_->Lines().size());
  for (int close = 0; close < 2; ++close) {  // a second Close re-creates nothing and fails nothing
    ASSERT_OK(engine_->Close());
    EXPECT_TRUE(HasFileIndex());
  }
  log_->Clear();
  engine_->GetPerformanceCounters()->LogAllPerformanceCounters();
  EXPECT_EQ(1u, log_->Count("CREATE_INDEX : "));
}

TEST_P(PathDatabaseTest, BulkInsertQueuesFilesAndWritesThemInBatchesOf3000) {
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  for (int i = 1; i < 3000; ++i)
    ASSERT_OK(engine_->AddFile("/q/f" + std::to_string(i), Item(i)));
  EXPECT_EQ(2999u, QueueSize());
  EXPECT_EQ(Rows{"0"}, Select(kCountFiles));
  ASSERT_OK(engine_->AddFile("/q/f3000", Item(3000)));
  EXPECT_EQ(0u, QueueSize());
  EXPECT_EQ(Rows{"3000"}, Select(kCountFiles));
  EXPECT_EQ(Values(Item(1234)), Values(Query("/q/f1234")));
}

// The spellings of one folder find its cached id; every lookup is counted, also a cache hit (which is
// not timed).
TEST_P(PathDatabaseTest, BulkFilesOfOneFolderCountEveryFolderLookup) {
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(engine_->AddFile("/c/a", Item(1)));
  CTimeCounter* lookups =
      engine_->GetPerformanceCounters()->GetCounter(CDatabasePerformanceCounters::QUERY_FOLDER);
  const uint64_t samples = lookups->GetTotalSamples();
  const int64_t hits = engine_->GetDatabaseCache()->GetHitCount();
  for (const char* path : {"/c/b", "//c//d", "/c/e/"})
    ASSERT_OK(engine_->AddFile(path, Item(2)));
  EXPECT_EQ(samples + 3, lookups->GetTotalSamples());
  EXPECT_EQ(hits + 3, engine_->GetDatabaseCache()->GetHitCount());
  ASSERT_OK(engine_->Close());
  EXPECT_EQ(
      (Rows{"a", "b", "d", "e"}),
      Select("SELECT FileName FROM Files WHERE FolderId = (SELECT FolderId FROM Files WHERE FileName = 'a') "
             "ORDER BY FileName"));
  EXPECT_EQ(Values(Item(2)), Values(Query("/c/e")));
}

// An item of a derived class that supplies its own Metadata is stored with that text, also through
// the bulk queue, whose rows otherwise bind the item's string in place.
TEST_P(PathDatabaseTest, BulkScanStoresTheMetadataADerivedItemSupplies) {
  struct DerivedItem : CDatabaseItem {
    std::string GetMetadata() const override { return "<derived/>"; }
  };
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  auto derived = boost::make_shared<DerivedItem>();
  derived->SetMetadata("<held/>");
  ASSERT_OK(engine_->AddFile("/m/derived", derived));
  ASSERT_OK(engine_->AddFile("/m/plain", Item(3)));
  ASSERT_OK(engine_->Close());
  EXPECT_EQ((Rows{"derived|<derived/>", "plain|" + Item(3)->GetMetadata()}),
            Select("SELECT FileName, Metadata FROM Files ORDER BY FileName"));
}

// Also when the scan ended without a Close (the repair then runs at Open).
TEST_P(PathDatabaseTest, DuplicatesFromABulkScanKeepTheRowAddedLast) {
  const std::string kNamesAndSizes = "SELECT FileName, FileSize FROM Files ORDER BY FileName";
  const auto Row = [](const char* name, int n) {
    return name + ("|" + std::to_string(Item(n)->GetFileSize()));
  };
  ASSERT_OK(engine_->AddFile("/d/f", Item(1)));
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  for (const auto& file : {std::make_pair("/d/f", 2), {"/d/g", 5}, {"/d/f", 3}})
    ASSERT_OK(engine_->AddFile(file.first, Item(file.second)));
  ASSERT_OK(engine_->Close());
  EXPECT_TRUE(HasFileIndex());
  EXPECT_EQ((Rows{Row("f", 3), Row("g", 5)}), Select(kNamesAndSizes));

  ASSERT_OK(
      engine_->Execute("DROP INDEX index_files_folderidfilename;"
                       "INSERT INTO Files(FolderId, FileName, FileSize) VALUES (2,'h',1),(2,'h',2);"));
  Reopen();
  EXPECT_TRUE(HasFileIndex());
  ASSERT_OK(engine_->AddFile("/d/f", Item(4)));  // an upsert again
  EXPECT_EQ((Rows{Row("f", 4), Row("g", 5), "h|2"}), Select(kNamesAndSizes));
}

// A batch is all or nothing: its folders are written again with it, so nothing points at a rolled-back row.
TEST_P(PathDatabaseTest, FailedFlushWritesNothingAndKeepsTheWholeBatchQueued) {
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(
      engine_->Execute("CREATE TRIGGER refuse BEFORE INSERT ON Files WHEN NEW.FileName='bad' "
                       "BEGIN SELECT RAISE(ABORT,'injected'); END;"));
  for (int i = 1; i <= 20; ++i)
    ASSERT_OK(engine_->AddFile(i == 10 ? "/q/bad" : "/q/f" + std::to_string(i), Item(i)));
  for (int attempt = 0; attempt < 2; ++attempt) {
    const CYaError error = engine_->FlushQueue();
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error)) << error.AsString();
    EXPECT_NE(std::string::npos, error.AsString().find("injected")) << error.AsString();
    EXPECT_EQ(Rows{"0"}, Select(kCountFiles));
    EXPECT_EQ(Rows{"0"}, Select("SELECT COUNT(*) FROM Folders WHERE FolderId > 2"));
    EXPECT_EQ(20u, QueueSize());
  }
  EXPECT_TRUE(engine_->Close().IsError());
  EXPECT_EQ(20u, QueueSize());
  ASSERT_OK(engine_->Execute("DROP TRIGGER refuse;"));
  ASSERT_OK(engine_->AddFile("/r/g", Item(21)));  // a new folder in the batch that replays /q
  ASSERT_OK(engine_->Close());
  EXPECT_EQ(0u, QueueSize());
  EXPECT_EQ(Rows{"21|21"}, Select("SELECT COUNT(*), COUNT(DISTINCT FileName) FROM Files"));
  EXPECT_EQ(Values(Item(7)), Values(Query("/q/f7")));
  EXPECT_EQ(Rows{}, Select("PRAGMA foreign_key_check"));
  EXPECT_EQ(Rows{"ok"}, Select("PRAGMA integrity_check"));
}

TEST_P(PathDatabaseTest, FileAndFolderChangesInBulkModeSeeQueuedFiles) {
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  for (const char* path : {"/b/f1", "/b/f2", "/b/f3"})
    ASSERT_OK(engine_->AddFile(path, Item(1)));
  ASSERT_OK(engine_->DeleteFile("/b/f1", nullptr));
  EXPECT_EQ(0u, QueueSize());
  ASSERT_OK(engine_->AddFile("/b/f4", Item(4)));
  ASSERT_OK(engine_->RenameFile("/b/f4", "/b/g4", nullptr, nullptr));
  // Refused as the absent unique index would refuse it.
  int code = 0;
  EXPECT_TRUE(FXErrorUtil::IsSQLite(engine_->RenameFile("/b/g4", "/b/f2", nullptr, nullptr), &code));
  EXPECT_EQ(19, code & 0xFF);
  ASSERT_OK(engine_->AddFile("/c/h", Item(5)));
  ASSERT_OK(engine_->DeleteFolder("/c", nullptr));
  ASSERT_OK(engine_->Close());
  EXPECT_EQ((Rows{"f2", "f3", "g4"}), Select("SELECT FileName FROM Files ORDER BY FileName"));
}

TEST_P(PathDatabaseTest, UnrecordablePathsAreRefusedWithoutWriting) {
  ASSERT_OK(engine_->AddFile("/m/f", Item(1)));
  const Rows before = Select(kAllRows);
  const CDatabaseItemPtr item = Item(2), none;
  for (const std::string bad : {"", "rel/f"}) {
    for (const CYaError& error :
         {engine_->AddFile(bad, item), engine_->AddFolder(bad, item), engine_->DeleteFile(bad, none),
          engine_->DeleteFolder(bad, none), engine_->RenameFile("/m/f", bad, none, none),
          engine_->RenameFile(bad, "/m/g", none, none), engine_->RenameFolder("/m", bad, none, none),
          engine_->RenameFolder(bad, "/n", none, none)}) {
      EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87)) << error.AsString();
      EXPECT_NE(std::string::npos, error.AsString().find("[" + bad + "]")) << error.AsString();
    }
  }
  for (const CYaError& error : {engine_->DeleteFolder("/", none), engine_->DeleteFolder("//", none),
                                engine_->RenameFolder("/", "/x", none, none),
                                engine_->RenameFolder("/m", "/", none, none), engine_->AddFile("/", item),
                                engine_->DeleteFile("/", none), engine_->RenameFile("/m/f", "/", none, none),
                                engine_->RenameFolder("/m/", "//m//sub/deeper", none, none)}) {
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87)) << error.AsString();
  }
  EXPECT_EQ(before, Select(kAllRows));
}

TEST_P(PathDatabaseTest, MissingFileIsNotFoundToQueryAndNoErrorToDelete) {
  ASSERT_OK(engine_->AddFile("/d/f", Item(1)));
  CDatabaseItemPtr item = Item(2);
  const CDatabaseItemPtr original = item;
  int64_t fileId = 77, folderId = 88;
  for (const CYaError& error :
       {engine_->QueryItem("/d/nope", item), engine_->QueryFileId("/d/nope", fileId, folderId)}) {
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168)) << error.AsString();
    EXPECT_EQ("File : [/d/nope] not found", error.GetMessage());
  }
  const CYaError error = engine_->QueryItem("/missing/f", item);  // the folder lookup's error, passed on
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168) && error.GetLocationCount() == 3) << error.AsString();
  EXPECT_EQ(original, item);
  EXPECT_EQ(77, fileId);
  EXPECT_EQ(88, folderId);

  ASSERT_OK(engine_->DeleteFile("/d/f", nullptr));
  ASSERT_OK(engine_->DeleteFile("/d/f", nullptr));
  EXPECT_EQ(1u, Logged("Successfully Deleted File [/d/f]"));
}

TEST_P(PathDatabaseTest, RowIdsKeepAll64Bits) {
  ASSERT_OK(engine_->Execute("INSERT INTO Folders(FolderId, ParentFolderId) VALUES (" + std::to_string(kBig) +
                             ", 1); INSERT INTO Files(FileId, FolderId, FileName) VALUES (" +
                             std::to_string(kBig * 2) + ", 1, 'placeholder');"));
  ASSERT_OK(engine_->AddFolder("/big/sub", Item(1, true)));
  ASSERT_OK(engine_->AddFile("/big/f", Item(2, true)));
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(engine_->AddFile("/big/g", Item(3)));
  ASSERT_OK(engine_->FlushQueue());
  EXPECT_EQ(kBig + 1, Query("/big")->GetId());
  EXPECT_EQ(kBig * 2 + 1, Query("/big/f")->GetId());
  int64_t fileId = 0, folderId = 0;
  ASSERT_OK(engine_->QueryFileId("/big/g", fileId, folderId));
  EXPECT_EQ(kBig * 2 + 2, fileId);
  EXPECT_EQ(kBig + 1, folderId);

  std::list<CDatabaseItemPtr> items;
  ASSERT_OK(engine_->QueryFolderItems("/", 0, items));  // caches /big/ as a listed subfolder
  ASSERT_OK(engine_->QueryFolderItems("/big", 0, items));
  CDatabaseItemIteratorPtr folders, files;
  ASSERT_OK(engine_->QuerySelectedFolders(folders));
  ASSERT_OK(engine_->QuerySelectedFiles("/big", files));
  for (const CDatabaseItemIteratorPtr& walk : {folders, files})
    for (const CDatabaseItemPtr& item : fsdbtest::Walk(walk))
      items.push_back(item);
  std::multiset<int64_t> ids;
  for (const CDatabaseItemPtr& item : items)
    ids.insert(item->GetId());
  EXPECT_EQ((std::multiset<int64_t>{kBig + 1, kBig + 2, kBig + 2, kBig * 2 + 1, kBig * 2 + 1, kBig * 2 + 2}),
            ids);

  ASSERT_OK(engine_->RenameFile("/big/f", "/big/h", nullptr, nullptr));
  EXPECT_EQ(kBig * 2 + 1, Query("/big/h")->GetId());
  ASSERT_OK(engine_->DeleteFile("/big/h", nullptr));
  EXPECT_EQ(Rows{"1"}, Select("SELECT COUNT(*) FROM Files WHERE FolderId=" + std::to_string(kBig + 1)));
}

// Close wakes the thread (no wait for its pause); only the Close that stops it writes the final report.
TEST_P(PathDatabaseTest, LoggingThreadReportsAtOnceAndStopsWhenClosed) {
  ASSERT_OK(engine_->AddFile("/p/f", Item(1)));
  ASSERT_OK(engine_->AddFile("/p/g", Item(2)));
  ASSERT_OK(engine_->DeleteFile("/p/g", nullptr));
  ASSERT_TRUE(Query("/p/f"));
  log_->Clear();
  log_->SetLevel(0);
  ASSERT_OK(engine_->Open(true));
  ASSERT_OK(fsdbtest::CloseWithoutWaiting(*engine_));
  ASSERT_OK(engine_->Close());
  engine_.reset();
  Rows reports;
  size_t statistics = 0, fromThread = 0;
  for (const fsdbtest::LogLine& line : log_->Lines()) {
    const bool report = line.text.find("Cache Statistics : ") != 0 && line.text != kStopped;
    statistics += line.text.find("Cache Statistics : ") == 0;
    fromThread += !report && line.function.find("PerformanceLoggingThread") != std::string::npos;
    if (report)
      reports.push_back(line.text.substr(0, line.text.find(" : ")));
  }
  const Rows once = {
      kBanner,        "--------------------- Database [scan.db] ------------------------",
      "ADD_FILE",     "ADD_FOLDER",
      "DELETE_FILE",  "QUERY_FILE",
      "QUERY_FOLDER", "-----------------------------------------------------------------------------------"};
  Rows twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(twice, reports);
  EXPECT_EQ(2u, statistics);
  EXPECT_EQ(2u, fromThread);  // its report's statistics, and its end
  EXPECT_EQ(1u, Logged(kStopped));
}

// One thread per open engine; a Close that cannot flush leaves it running, destroying the engine stops it.
TEST_P(PathDatabaseTest, LoggingThreadNeverOutlivesTheEngine) {
  engine_.reset();
  std::ofstream(dir_.File("settings.ini"))
      << "[~FileSystemAgent]\nnScanDatabasePerformanceLoggingInterval=0\n";
  setenv("FSDB_SETTINGS", dir_.File("settings.ini").c_str(), 1);  // the suites run without it
  engine_ = MakeEngine(GetParam(), dir_.File("scan.db"));
  const CYaError opened = engine_->Open(true);
  unsetenv("FSDB_SETTINGS");
  ASSERT_OK(opened);
  EXPECT_EQ(1u, Logged("The Logging Interval of the Database Performance Counters : 0 seconds"));
  ASSERT_OK(engine_->Open(true));
  ASSERT_OK(fsdbtest::CloseWithoutWaiting(*engine_));
  EXPECT_EQ(1u, Logged(kStopped));
  ASSERT_OK(engine_->Open(true));
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(engine_->Execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON Files BEGIN SELECT RAISE(ABORT,'full'); END;"));
  ASSERT_OK(engine_->AddFile("/q/f", Item(1)));
  EXPECT_TRUE(fsdbtest::CloseWithoutWaiting(*engine_).IsError());
  EXPECT_EQ(1u, Logged(kStopped));
  engine_.reset();
  EXPECT_EQ(1u, log_->Count("Error closing the database due to"));
  EXPECT_EQ(2u, Logged(kStopped));
  EXPECT_EQ(1u, Logged(kBanner));  // the report of the Close that succeeded
}

// A failed change leaves the database as it was: the parents an AddFile added go with its file, a folder
// move is both of its UPDATEs or neither, and no cached id names a row that was rolled back.
TEST_P(PathDatabaseTest, FailedChangeRollsBackEverythingItWrote) {
  ASSERT_OK(engine_->AddFile("/a/b/c/f", Item(1)));
  const Rows before = Select(kAllRows);
  ASSERT_OK(
      engine_->Execute("CREATE TRIGGER refuse BEFORE INSERT ON Files WHEN NEW.FileName='bad' "
                       "BEGIN SELECT RAISE(ABORT,'injected'); END;"));
  EXPECT_TRUE(FXErrorUtil::IsSQLite(engine_->AddFile("/new/deep/bad", Item(2))));
  EXPECT_EQ(before, Select(kAllRows));
  ASSERT_OK(engine_->AddFile("/new/deep/good", Item(3)));  // the foreign key would refuse a stale id
  EXPECT_EQ(Values(Item(3)), Values(Query("/new/deep/good")));
  ASSERT_OK(engine_->DeleteFolder("/new", nullptr));

  // The last row the move rewrites refuses: in the full-path layout that is a descendant's path.
  const std::string refused = std::to_string(Query(GetParam() == 1 ? "/a/b" : "/a/b/c")->GetId());
  ASSERT_OK(engine_->Execute("CREATE TRIGGER refuseMove BEFORE UPDATE ON Folders WHEN OLD.FolderId=" +
                             refused + " BEGIN SELECT RAISE(ABORT,'injected'); END;"));
  EXPECT_TRUE(FXErrorUtil::IsSQLite(engine_->RenameFolder("/a/b", "/m", nullptr, nullptr)));
  EXPECT_EQ(before, Select(kAllRows));
  EXPECT_EQ(Values(Item(1)), Values(Query("/a/b/c/f")));
  ASSERT_OK(engine_->Execute("DROP TRIGGER refuseMove;"));
  ASSERT_OK(engine_->RenameFolder("/a/b", "/m", nullptr, nullptr));
  EXPECT_EQ(Values(Item(1)), Values(Query("/m/c/f")));
}

// The walk of a folder's selected files without an iterator reads, by the folder's id or by its path,
// what the iterator reads; a folder that is not recorded has none. Its clock runs only while the counter
// can be reported (a writer at level 0 or above).
TEST_P(PathDatabaseTest, SelectedFilesReadByIdOrByPathAsTheIteratorReadsThem) {
  ASSERT_OK(engine_->AddFolder("/d", Item(1, true)));
  ASSERT_OK(engine_->AddFile("/d/b", Item(2, true)));
  ASSERT_OK(engine_->AddFile("/d/a", Item(3, true)));
  ASSERT_OK(engine_->AddFile("/d/c", Item(4)));  // not selected
  auto describe = [](const CDatabaseItem& item, const std::string& path) {
    return std::to_string(item.GetId()) + " " + path + " " + item.AsString();
  };
  CDatabaseItemIteratorPtr walk;
  ASSERT_OK(engine_->QuerySelectedFiles("/d", walk));
  Rows expected;
  for (const CDatabaseItemPtr& item : fsdbtest::Walk(walk))
    expected.push_back(describe(*item, item->GetFullyQualifiedPath()));
  ASSERT_EQ(2u, expected.size());
  const CTimeCounter& counter =
      *engine_->GetPerformanceCounters()->GetCounter(CDatabasePerformanceCounters::SELECTED_FILE);
  for (int level : {3, -1}) {
    log_->SetLevel(level);
    for (int64_t id : {Query("/d")->GetId(), int64_t{0}}) {
      SCOPED_TRACE("level " + std::to_string(level) + ", id " + std::to_string(id));
      const uint64_t samples = counter.GetTotalSamples();
      ASSERT_OK(engine_->StartSelectedFiles("/d", id));
      Rows read;
      CDatabaseItem item;
      for (std::string path; engine_->ReadSelectedFile(item, path);) {
        read.push_back(describe(item, path));
        EXPECT_EQ(path, item.GetFullyQualifiedPath());
        item = CDatabaseItem();
      }
      EXPECT_EQ(expected, read);
      EXPECT_EQ(level >= 0 ? samples + 3 : samples, counter.GetTotalSamples());  // two rows and the end
    }
  }
  ASSERT_OK(engine_->StartSelectedFiles("/missing", 0));
  CDatabaseItem item;
  std::string path;
  EXPECT_FALSE(engine_->ReadSelectedFile(item, path));
}

// An added file is timed while the counters' report can be written, and costs no clock read otherwise.
TEST_P(PathDatabaseTest, AddedFilesAreTimedOnlyWhileTheReportCanBeWritten) {
  const CTimeCounter& counter =
      *engine_->GetPerformanceCounters()->GetCounter(CDatabasePerformanceCounters::ADD_FILE);
  for (int level : {3, -1, 0}) {
    log_->SetLevel(level);
    const uint64_t samples = counter.GetTotalSamples();
    ASSERT_OK(engine_->AddFile("/e/f" + std::to_string(level), Item(1)));
    EXPECT_EQ(level >= 0 ? samples + 1 : samples, counter.GetTotalSamples()) << level;
  }
}

// One path, one spelling: runs of separators and a trailing one name the same row in every query, as in
// every change. A NUL byte would cut the name short in SQLite: such a path is refused everywhere.
TEST_P(PathDatabaseTest, EverySpellingFindsTheSameRowAndNulBytesAreRefused) {
  ASSERT_OK(engine_->AddFolder("//a//b", Item(1, true)));
  ASSERT_OK(engine_->AddFile("/a/b//f", Item(2, true)));
  const int64_t folder = Query("/a/b")->GetId(), file = Query("/a/b/f")->GetId();
  for (const std::string spelling : {"/a/b/", "//a//b", "//a//b//", "/a//b/"}) {
    SCOPED_TRACE(spelling);
    EXPECT_EQ(folder, Query(spelling)->GetId());
    std::list<CDatabaseItemPtr> items;
    ASSERT_OK(engine_->QueryFolderItems(spelling, 0, items));
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ("/a/b/f", items.front()->GetFullyQualifiedPath());
    CDatabaseItemIteratorPtr walk;
    ASSERT_OK(engine_->QuerySelectedFiles(spelling, walk));
    ASSERT_TRUE(walk->GetItem());
    EXPECT_EQ(file, walk->GetItem()->GetId());
    EXPECT_EQ(file, Query(spelling + "/f")->GetId());
  }

  const Rows before = Select(kAllRows);
  const std::string nulA("/a/b/n\0a", 8), nulB("/a/b/n\0b", 8);
  CDatabaseItemPtr item;
  std::list<CDatabaseItemPtr> items;
  CDatabaseItemIteratorPtr walk;
  for (const CYaError& error :
       {engine_->AddFile(nulA, Item(3)), engine_->AddFile(nulB, Item(4)), engine_->AddFolder(nulA, Item(5)),
        engine_->RenameFile("/a/b/f", nulA, nullptr, nullptr),
        engine_->RenameFolder("/a/b", nulB, nullptr, nullptr), engine_->DeleteFile(nulA, nullptr),
        engine_->DeleteFolder(std::string("/a\0", 3), nullptr), engine_->QueryItem(nulA, item),
        engine_->QueryFolderItems(nulA, 0, items), engine_->QuerySelectedFiles(nulA, walk)}) {
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87)) << error.AsString();
  }
  EXPECT_EQ(before, Select(kAllRows));
}

// Deep paths: the missing parents of a file 2,047 levels down are added without recursion and found by
// one walk, and the tree can be deleted (deeper than SQLite's 1000 levels of cascade); a path longer
// than 4096 bytes is refused before anything is written, also when it is only looked up (100 KB).
TEST_P(PathDatabaseTest, DeepPathsUpToTheLimitWorkAndLongerOnesAreRefused) {
  std::string deep;
  while (deep.size() + 2 <= kMaxPathLength - 2)
    deep += "/d";
  const std::string file = deep + "/f";  // exactly the limit
  ASSERT_EQ(kMaxPathLength, file.size());
  for (bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk" : "one by one");
    if (bulk) {
      ASSERT_OK(engine_->DeleteFolder("/d", nullptr));
      ASSERT_OK(engine_->SetBulkInsertMode(true));
    }
    ASSERT_OK(engine_->AddFile(file, Item(7)));
    ASSERT_OK(engine_->AddFile(deep.substr(0, 2000) + "/g", Item(8)));
    ASSERT_OK(engine_->FlushQueue());
    EXPECT_EQ(Rows{std::to_string(deep.size() / 2 + 2)}, Select("SELECT COUNT(*) FROM Folders"));
    EXPECT_EQ(Rows{}, Select("PRAGMA foreign_key_check"));  // a deep delete left no orphan
    EXPECT_EQ(Values(Item(7)), Values(Query(file)));
    CDatabaseItemPtr item;
    EXPECT_WIN32(engine_->QueryItem(deep + "/x", item), 1168);
    EXPECT_WIN32(engine_->QueryItem(deep.substr(0, 3000) + "/x/y", item), 1168);
  }
  const Rows before = Select("SELECT COUNT(*) FROM Folders UNION ALL SELECT COUNT(*) FROM Files");
  std::string tooDeep;
  for (int level = 0; level < 16000; ++level)
    tooDeep += "/e";
  CDatabaseItemPtr item;
  std::list<CDatabaseItemPtr> items;
  for (const std::string& path : {file + "x", tooDeep + "/f", std::string(100 * 1024, '/') + "x" + tooDeep}) {
    SCOPED_TRACE(path.size());
    EXPECT_WIN32(engine_->AddFile(path, Item(9)), 87);
    EXPECT_WIN32(engine_->AddFolder(path, Item(9)), 87);
    EXPECT_WIN32(engine_->QueryItem(path, item), 87);
    EXPECT_WIN32(engine_->QueryFolderItems(path, 0, items), 87);
  }
  EXPECT_WIN32(engine_->QueryItem(std::string(100 * 1024, 'q').insert(0, "/"), item), 87);
  EXPECT_EQ(before, Select("SELECT COUNT(*) FROM Folders UNION ALL SELECT COUNT(*) FROM Files"));
}

// A bulk scan still running, or cut short, leaves the file without its unique file index: a read-only
// open (the comparison's open of the previous scan) reads it as it is, writing nothing.
TEST_P(PathDatabaseTest, ReadOnlyOpenReadsAFileLeftWithoutItsFileIndex) {
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  for (int i = 1; i <= 3; ++i)
    ASSERT_OK(engine_->AddFile("/d/f" + std::to_string(i), Item(i)));
  ASSERT_OK(engine_->FlushQueue());
  ASSERT_FALSE(HasFileIndex());
  const std::string before = fsdbtest::ReadFileBytes(dir_.File("scan.db"));
  std::shared_ptr<CPathDatabase> reader = MakeEngine(GetParam(), dir_.File("scan.db"), true);
  ASSERT_OK(reader->Open(false));
  CDatabaseItemPtr item;
  ASSERT_OK(reader->QueryItem("/d/f2", item));
  EXPECT_EQ(Values(Item(2)), Values(item));
  EXPECT_TRUE(FXErrorUtil::IsSQLite(reader->AddFile("/d/f9", Item(9))));
  ASSERT_OK(reader->Close());
  reader.reset();
  EXPECT_FALSE(HasFileIndex());
  EXPECT_EQ(before, fsdbtest::ReadFileBytes(dir_.File("scan.db")));
}

// A read-only open needs no write access and keeps the journal mode the file has.
TEST_P(PathDatabaseTest, ReadOnlyOpenWritesNothingAndKeepsTheJournalMode) {
  ASSERT_OK(engine_->AddFile("/d/f", Item(4)));
  ASSERT_OK(engine_->Execute("PRAGMA journal_mode=DELETE;"));
  engine_.reset();
  const std::string file = dir_.File("scan.db");
  const std::string before = fsdbtest::ReadFileBytes(file);
  fsdbtest::ScopedImmutable immutable(file);
  if (!immutable.IsSet())
    GTEST_SKIP() << "chattr +i is not allowed here: cannot take write access away from root";
  Reopen(true);
  EXPECT_EQ(Values(Item(4)), Values(Query("/d/f")));
  EXPECT_EQ(Rows{"delete"}, Select("PRAGMA journal_mode"));
  EXPECT_TRUE(FXErrorUtil::IsSQLite(engine_->SetBulkInsertMode(true)));  // the index cannot be dropped
  EXPECT_FALSE(engine_->IsBulkInsertModeActive());
  ASSERT_OK(engine_->Close());
  engine_.reset();
  EXPECT_EQ(before, fsdbtest::ReadFileBytes(file));
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, PathDatabaseTest,
                         ::testing::Values(DATABASE_TYPE_FULL_PATH, DATABASE_TYPE_OPTIMIZED),
                         fsdbtest::LayoutName);

// An engine whose open step `failAt` fails; records which steps ran.
class StepFailingEngine : public CFullPathDatabase {
 public:
  StepFailingEngine(const std::string& path, const std::string& failAt)
      : CFullPathDatabase(path, false), failAt_(failAt) {}
#define FSDB_FAILING_STEP(Step)                                  \
  CYaError Step() override {                                     \
    return Fails(#Step) ? kInjected : CFullPathDatabase::Step(); \
  }
  FSDB_FAILING_STEP(CreateTables)
  FSDB_FAILING_STEP(CreateStatements)
  FSDB_FAILING_STEP(CreateLoggingThread)
#undef FSDB_FAILING_STEP
  Rows steps;

 private:
  bool Fails(const std::string& step) {
    steps.push_back(step);
    return step == failAt_;
  }
  const CYaError kInjected = FXErrorUtil::ErrorWin32(FX_LOCATION, 1234, "injected failure");
  std::string failAt_;
};

TEST(OpenSequenceTest, FailingStepEndsTheOpenWithItsMessage) {
  fsdbtest::TempDir dir;
  fsdbtest::ScopedCaptureLog log(0);
  const Rows kSteps = {"CreateTables", "CreateStatements", "CreateLoggingThread"};
  const char* const kMessages[] = {"CreateTables failed, error=", "CreateStatements failed, error=",
                                   "Create Logging thread failed, error="};
  for (size_t step = 0; step < kSteps.size(); ++step) {
    SCOPED_TRACE(kSteps[step]);
    StepFailingEngine engine(dir.File(kSteps[step] + ".db"), kSteps[step]);
    const CYaError error = engine.Open(true);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1234)) << error.AsString();
    EXPECT_NE(std::string::npos, error.AsString().find(std::string(kMessages[step]) + "Error"))
        << error.AsString();
    EXPECT_EQ(Rows(kSteps.begin(), kSteps.begin() + step + 1), engine.steps);
  }
  StepFailingEngine engine(dir.File("scan.db"), "CreateLoggingThread");
  ASSERT_OK(engine.Open(false));
  EXPECT_EQ(Rows(kSteps.begin(), kSteps.begin() + 2), engine.steps);

  CFullPathDatabase unopenable(dir.File("no/such/folder/scan.db"), false);
  const CYaError error = unopenable.Open(false);
  int code = 0;
  EXPECT_TRUE(FXErrorUtil::IsSQLite(error, &code) && (code & 0xFF) == 14) << error.AsString();  // CANTOPEN
  EXPECT_NE(std::string::npos, error.AsString().find("OpenDatabase failed, error=")) << error.AsString();
}

}  // namespace
}  // namespace FSDB
