#include <algorithm>
#include <cstdint>
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
#include "core/OptimizedPathDatabase.h"
#include "core/PathDatabase.h"

namespace FSDB {
namespace {

const char kFileIndex[] = "index_files_folderidfilename";
const int64_t kBig = int64_t{1} << 33;  // beyond every 32-bit type

std::shared_ptr<CPathDatabase> MakeEngine(int type, const std::string& file, bool readOnly = false) {
  if (type == 1)
    return std::make_shared<COptimizedPathDatabase>(file, readOnly);
  return std::make_shared<CFullPathDatabase>(file, readOnly);
}

CDatabaseItemPtr MakeItem(int64_t inode, int64_t size, bool selected = false, bool collect = false) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetFileId(inode);
  item->SetFileSize(size);
  item->SetAccessTime(size + 1);
  item->SetModificationTime(size + 2);
  item->SetChangeTime(size + 3);
  item->SetAttributes(static_cast<int>(size % 1000));
  item->SetLinks(2);
  item->SetAsSelected(selected);
  item->SetAsCollect(collect);
  EXPECT_OK(item->FormMetadata());
  return item;
}

// The values a row keeps of an item; the Id is the database's.
void ExpectSameValues(const CDatabaseItem& expected, const CDatabaseItem& actual) {
  EXPECT_EQ(actual.GetFileId(), expected.GetFileId());
  EXPECT_EQ(actual.GetFileSize(), expected.GetFileSize());
  EXPECT_EQ(actual.GetAccessTime(), expected.GetAccessTime());
  EXPECT_EQ(actual.GetModificationTime(), expected.GetModificationTime());
  EXPECT_EQ(actual.GetChangeTime(), expected.GetChangeTime());
  EXPECT_EQ(actual.IsSelected(), expected.IsSelected());
  EXPECT_EQ(actual.IsCollect(), expected.IsCollect());
  EXPECT_EQ(actual.GetMetadata(), expected.GetMetadata());
}

// Every row of `sql`, its columns joined with '|' (NULL as "NULL"), read through the engine's own
// connection, which knows the path collations.
std::vector<std::string> QueryRows(CPathDatabase& engine, const std::string& sql) {
  std::vector<std::string> rows;
  boost::shared_ptr<FX::CSQLite3Statement> statement;
  CYaError error = engine.CompileStatement(sql, statement);
  EXPECT_OK(error);
  if (error.IsError())
    return rows;
  for (auto row = statement->ExecQuery(); !row->Eof(); row->NextRow()) {
    std::string text;
    for (int column = 0; column < row->NumFields(); ++column)
      text += (column > 0 ? "|" : "") +
              std::string(row->IsNull(column) ? "NULL" : row->GetStringField(column, ""));
    rows.push_back(text);
  }
  return rows;
}

// The first column of the first row as a number (-1 when there is none).
int64_t QueryInt(CPathDatabase& engine, const std::string& sql) {
  const std::vector<std::string> rows = QueryRows(engine, sql);
  return rows.empty() ? -1 : std::stoll(rows[0]);
}

bool HasIndex(CPathDatabase& engine, const std::string& name) {
  return QueryInt(engine, "SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND name='" + name + "'") ==
         1;
}

int64_t FileRows(CPathDatabase& engine) {
  return QueryInt(engine, "SELECT COUNT(*) FROM Files");
}

size_t CountLines(fsdbtest::CaptureLogWriter& log, const std::string& text) {
  const std::vector<std::string> texts = log.Texts();
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

// Each test works on its own new database file, in the layout given by the parameter (0 full-path,
// 1 optimized), opened without the logging thread unless the test opens it itself.
class PathDatabaseTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    file_ = dir_.File("scan.db");
    engine_ = MakeEngine(GetParam(), file_);
    ASSERT_OK(engine_->Open(false));
  }
  void TearDown() override { engine_.reset(); }

  // Closes and destroys the engine, then opens the file with a new one.
  void Reopen(bool readOnly = false) {
    ASSERT_OK(engine_->Close());
    engine_.reset();
    engine_ = MakeEngine(GetParam(), file_, readOnly);
    ASSERT_OK(engine_->Open(false));
  }

  CDatabaseItemPtr Query(const std::string& path) {
    CDatabaseItemPtr item;
    EXPECT_OK(engine_->QueryItem(path, item));
    return item;
  }

  size_t QueueSize() { return engine_->GetDatabaseCache()->GetFileQueueSize(); }

  fsdbtest::TempDir dir_;
  fsdbtest::ScopedCaptureLog log_{3};
  std::string file_;
  std::shared_ptr<CPathDatabase> engine_;
};

std::string LayoutName(const ::testing::TestParamInfo<int>& info) {
  return info.param == 1 ? "Optimized" : "FullPath";
}

// ---------------------------------------------------------------------------------------------------
// Schema, base rows and reopening

TEST_P(PathDatabaseTest, NewFileHasTheSharedSchemaInWalMode) {
  EXPECT_EQ(
      QueryRows(*engine_, "SELECT sql FROM sqlite_master WHERE name='Files'"),
      (std::vector<std::string>{
          "CREATE TABLE Files (FileId INTEGER NOT NULL PRIMARY KEY, FolderId INTEGER , FileName VARCHAR "
          "COLLATE PATH_COMPONENTS,Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime "
          "BIGINT,LastChangeTime BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR,CONSTRAINT "
          "parent_folder FOREIGN KEY (FolderId) REFERENCES Folders(FolderId) ON DELETE CASCADE)"}));
  EXPECT_EQ(QueryRows(*engine_, "SELECT sql FROM sqlite_master WHERE name='index_files_folderidfilename'"),
            (std::vector<std::string>{
                "CREATE UNIQUE INDEX index_files_folderidfilename ON Files(FolderId,FileName)"}));
  // The folder path or name is compared by path as well.
  const std::vector<std::string> folders =
      QueryRows(*engine_, "SELECT sql FROM sqlite_master WHERE name='Folders'");
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_NE(folders[0].find(GetParam() == 1 ? "FolderName VARCHAR COLLATE PATH_COMPONENTS,"
                                            : "FullyQualifiedPath VARCHAR COLLATE PATH_COMPONENTS,"),
            std::string::npos)
      << folders[0];
  EXPECT_EQ(
      QueryInt(*engine_, "SELECT COUNT(*) FROM sqlite_master WHERE type='view' AND name='FilesystemView'"),
      1);

  EXPECT_EQ(QueryRows(*engine_, "PRAGMA journal_mode"), (std::vector<std::string>{"wal"}));
  EXPECT_EQ(QueryInt(*engine_, "PRAGMA synchronous"), 0);
  EXPECT_EQ(QueryInt(*engine_, "PRAGMA foreign_keys"), 1);
  for (const char* line : {"Setting Database journal mode to WAL", "Setting Database synchronous mode to off",
                           "Setting Database Foreign keys mode to on"}) {
    EXPECT_EQ(CountLines(log_.writer(), line), 1u) << line;
  }
}

TEST_P(PathDatabaseTest, BaseRowsAreWrittenOnceAndReopeningChangesNothing) {
  const std::string kFolders = "SELECT * FROM Folders ORDER BY FolderId";
  const std::vector<std::string> base = QueryRows(*engine_, kFolders);
  ASSERT_EQ(base.size(), 2u);
  EXPECT_EQ(base[0].substr(0, 6), "1|1|-|");  // its own parent
  EXPECT_EQ(base[1].substr(0, 6), "2|1|/|");  // the root

  // The root's attributes are the caller's: reopening must not reset them.
  ASSERT_OK(engine_->AddFolder("/", MakeItem(77, 4096, true)));
  ASSERT_OK(engine_->AddFile("/d/f", MakeItem(5, 10)));
  const std::vector<std::string> schema = QueryRows(*engine_, "SELECT * FROM sqlite_master ORDER BY name");
  const std::vector<std::string> folders = QueryRows(*engine_, kFolders);

  Reopen();
  EXPECT_EQ(QueryRows(*engine_, "SELECT * FROM sqlite_master ORDER BY name"), schema);
  EXPECT_EQ(QueryRows(*engine_, kFolders), folders);
  CDatabaseItemPtr root = Query("/");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->GetId(), 2);
  EXPECT_TRUE(root->IsSelected());
  EXPECT_EQ(root->GetFileId(), 77);
}

TEST_P(PathDatabaseTest, ReadOnlyOpenWritesNoBaseRows) {
  ASSERT_OK(engine_->Execute("DELETE FROM Folders;"));
  Reopen(true);
  EXPECT_EQ(QueryInt(*engine_, "SELECT COUNT(*) FROM Folders"), 0);
  Reopen(false);
  EXPECT_EQ(QueryRows(*engine_, "SELECT FolderId, ParentFolderId FROM Folders ORDER BY FolderId"),
            (std::vector<std::string>{"1|1", "2|1"}));
}

// ---------------------------------------------------------------------------------------------------
// Bulk-insert mode

TEST_P(PathDatabaseTest, BulkInsertModeCanBeSwitchedOnButNotOff) {
  ASSERT_OK(engine_->SetBulkInsertMode(false));
  EXPECT_FALSE(engine_->IsBulkInsertModeActive());
  EXPECT_EQ(CountLines(log_.writer(), "The Bulk insert mode is set to False"), 1u);
  EXPECT_TRUE(HasIndex(*engine_, kFileIndex));

  ASSERT_OK(engine_->SetBulkInsertMode(true));
  EXPECT_TRUE(engine_->IsBulkInsertModeActive());
  EXPECT_EQ(CountLines(log_.writer(), "The Bulk insert mode is set to True"), 1u);
  EXPECT_FALSE(HasIndex(*engine_, kFileIndex));

  const size_t lines = log_->Lines().size();
  CYaError error = engine_->SetBulkInsertMode(false);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 774)) << error.AsString();
  EXPECT_EQ(error.GetMessage(),
            "Cannot change bulk insert mode once set from true to false. Please reopen the database and "
            "continue. ");
  EXPECT_TRUE(engine_->IsBulkInsertModeActive());
  EXPECT_EQ(log_->Lines().size(), lines);

  ASSERT_OK(engine_->Close());
  EXPECT_TRUE(HasIndex(*engine_, kFileIndex));
  ASSERT_OK(engine_->Close());  // a second close re-creates nothing and fails nothing
  EXPECT_TRUE(HasIndex(*engine_, kFileIndex));
}

TEST_P(PathDatabaseTest, BulkInsertQueuesFilesAndWritesThemInBatchesOf3000) {
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  log_->SetLevel(4);
  for (int i = 1; i < 3000; ++i) {
    ASSERT_OK(engine_->AddFile("/q/f" + std::to_string(i), MakeItem(i, i)));
  }
  EXPECT_EQ(QueueSize(), 2999u);
  EXPECT_EQ(FileRows(*engine_), 0);

  ASSERT_OK(engine_->AddFile("/q/f3000", MakeItem(3000, 3000)));
  EXPECT_EQ(QueueSize(), 0u);
  EXPECT_EQ(FileRows(*engine_), 3000);
  EXPECT_EQ(log_->Count("] Parent ID : ["), 3000u);
  CDatabaseItemPtr item = Query("/q/f1234");
  ASSERT_TRUE(item);
  ExpectSameValues(*MakeItem(1234, 1234), *item);
}

// A file reported twice during a bulk scan (the unique index is absent meanwhile) keeps the values
// reported last, and the database stays openable.
TEST_P(PathDatabaseTest, DuplicatesAddedInBulkModeKeepTheLastAtClose) {
  ASSERT_OK(engine_->AddFile("/d/f", MakeItem(1, 100)));
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(engine_->AddFile("/d/f", MakeItem(1, 200)));
  ASSERT_OK(engine_->AddFile("/d/g", MakeItem(2, 50)));
  ASSERT_OK(engine_->AddFile("/d/f", MakeItem(1, 300)));
  ASSERT_OK(engine_->Close());

  EXPECT_TRUE(HasIndex(*engine_, kFileIndex));
  EXPECT_EQ(QueryRows(*engine_, "SELECT FileName, FileSize FROM Files ORDER BY FileName"),
            (std::vector<std::string>{"f|300", "g|50"}));
  Reopen();
  ASSERT_OK(engine_->AddFile("/d/f", MakeItem(1, 400)));  // an upsert again
  EXPECT_EQ(QueryRows(*engine_, "SELECT FileName, FileSize FROM Files ORDER BY FileName"),
            (std::vector<std::string>{"f|400", "g|50"}));
}

TEST_P(PathDatabaseTest, DuplicatesFoundAtOpenAreResolved) {
  // As left by a bulk scan that ended without closing the database.
  ASSERT_OK(engine_->Execute(
      "DROP INDEX index_files_folderidfilename;"
      "INSERT INTO Files(FolderId, FileName, FileSize) VALUES (2,'f',1),(2,'g',7),(2,'f',2),(2,'f',3);"));
  Reopen();
  EXPECT_TRUE(HasIndex(*engine_, kFileIndex));
  EXPECT_EQ(QueryRows(*engine_, "SELECT FileName, FileSize FROM Files ORDER BY FileName"),
            (std::vector<std::string>{"f|3", "g|7"}));
}

// The flush writes a batch in one transaction; when entry k fails, the entries before it are written
// and leave the queue, so the retry neither loses nor duplicates a file.
TEST_P(PathDatabaseTest, FlushFailingMidBatchKeepsOnlyTheUnwrittenFilesQueued) {
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(
      engine_->Execute("CREATE TRIGGER refuse BEFORE INSERT ON Files WHEN NEW.FileName='bad' "
                       "BEGIN SELECT RAISE(ABORT,'injected'); END;"));
  for (int i = 1; i <= 20; ++i) {
    ASSERT_OK(engine_->AddFile(i == 10 ? "/q/bad" : "/q/f" + std::to_string(i), MakeItem(i, i)));
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    CYaError error = engine_->FlushQueue();
    ASSERT_TRUE(error.IsError());
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error)) << error.AsString();
    EXPECT_NE(error.AsString().find("injected"), std::string::npos) << error.AsString();
    EXPECT_EQ(FileRows(*engine_), 9);
    EXPECT_EQ(QueueSize(), 11u);
  }
  // Close reports the failure too, and leaves the queue for a later attempt.
  EXPECT_TRUE(engine_->Close().IsError());
  EXPECT_EQ(QueueSize(), 11u);

  ASSERT_OK(engine_->Execute("DROP TRIGGER refuse;"));
  ASSERT_OK(engine_->FlushQueue());
  EXPECT_EQ(QueueSize(), 0u);
  EXPECT_EQ(FileRows(*engine_), 20);
  EXPECT_EQ(QueryInt(*engine_, "SELECT COUNT(DISTINCT FileName) FROM Files"), 20);
  ASSERT_OK(engine_->Close());
}

// A queued file must not come back after it was deleted, must be found by a rename, and must not
// outlive its deleted folder in the queue (its insert would then fail for good).
TEST_P(PathDatabaseTest, FileAndFolderChangesInBulkModeSeeQueuedFiles) {
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  for (const char* path : {"/b/f1", "/b/f2", "/b/f3"})
    ASSERT_OK(engine_->AddFile(path, MakeItem(1, 1)));
  ASSERT_OK(engine_->DeleteFile("/b/f1", CDatabaseItemPtr()));
  EXPECT_EQ(QueueSize(), 0u);

  ASSERT_OK(engine_->AddFile("/b/f4", MakeItem(4, 4)));
  ASSERT_OK(engine_->RenameFile("/b/f4", "/b/g4", CDatabaseItemPtr(), CDatabaseItemPtr()));

  ASSERT_OK(engine_->AddFile("/c/h", MakeItem(5, 5)));
  ASSERT_OK(engine_->DeleteFolder("/c", CDatabaseItemPtr()));
  ASSERT_OK(engine_->Close());
  EXPECT_EQ(QueryRows(*engine_, "SELECT FileName FROM Files ORDER BY FileName"),
            (std::vector<std::string>{"f2", "f3", "g4"}));
}

// ---------------------------------------------------------------------------------------------------
// File operations

TEST_P(PathDatabaseTest, AddFileCreatesTheParentAndUpsertsKeepingTheFileId) {
  ASSERT_OK(engine_->AddFile("/u/v/f", MakeItem(1, 100, true, false)));
  EXPECT_EQ(
      log_->Count("Could not find /u/v/ in the database, so we are adding the parent folder to the database "
                  "with empty item information"),
      1u);
  CDatabaseItemPtr folder = Query("/u/v");
  ASSERT_TRUE(folder);
  EXPECT_TRUE(folder->IsDirectory());

  int64_t fileId = 0;
  int64_t folderId = 0;
  ASSERT_OK(engine_->QueryFileId("/u/v/f", fileId, folderId));
  EXPECT_EQ(folderId, folder->GetId());

  const CDatabaseItemPtr second = MakeItem(2, 200, false, true);
  ASSERT_OK(engine_->AddFile("/u/v/f", second));
  int64_t fileIdAgain = 0;
  ASSERT_OK(engine_->QueryFileId("/u/v/f", fileIdAgain, folderId));
  EXPECT_EQ(fileIdAgain, fileId);
  EXPECT_EQ(FileRows(*engine_), 1);
  CDatabaseItemPtr file = Query("/u/v/f");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->GetId(), fileId);
  ExpectSameValues(*second, *file);
  EXPECT_EQ(file->GetAttributes(), second->GetAttributes());  // read back from the metadata
}

TEST_P(PathDatabaseTest, MissingFileIsNoErrorToDeleteButNotFoundToQuery) {
  ASSERT_OK(engine_->AddFile("/d/f", MakeItem(1, 1)));
  ASSERT_OK(engine_->DeleteFile("/d/f", CDatabaseItemPtr()));
  EXPECT_EQ(CountLines(log_.writer(), "Successfully Deleted File [/d/f]"), 1u);
  EXPECT_EQ(FileRows(*engine_), 0);
  ASSERT_OK(engine_->DeleteFile("/d/f", CDatabaseItemPtr()));
  EXPECT_EQ(log_->Count("Successfully Deleted File"), 1u);

  int64_t fileId = 77;
  int64_t folderId = 88;
  CYaError error = engine_->QueryFileId("/d/f", fileId, folderId);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168)) << error.AsString();
  EXPECT_EQ(error.GetMessage(), "File : [/d/f] not found");
  EXPECT_EQ(fileId, 77);
  EXPECT_EQ(folderId, 88);

  // A missing folder is not created to delete from it.
  EXPECT_WIN32(engine_->DeleteFile("/none/f", CDatabaseItemPtr()), 1168);
  CDatabaseItemPtr item;
  EXPECT_WIN32(engine_->QueryItem("/none", item), 1168);
}

TEST_P(PathDatabaseTest, RenameFileMovesTheRowWithOrWithoutNewValues) {
  const CDatabaseItemPtr a = MakeItem(1, 100, true, true);
  const CDatabaseItemPtr b = MakeItem(2, 200, false, false);
  ASSERT_OK(engine_->AddFile("/src/a", a));
  ASSERT_OK(engine_->AddFile("/src/b", b));
  ASSERT_OK(engine_->AddFolder("/dst", MakeItem(3, 3)));
  CDatabaseItemPtr before = Query("/src/a");
  ASSERT_TRUE(before);
  const int64_t idA = before->GetId();
  before = Query("/src/b");
  ASSERT_TRUE(before);
  const int64_t idB = before->GetId();

  // Into a folder that is not recorded: refused, nothing moves.
  EXPECT_WIN32(engine_->RenameFile("/src/a", "/nowhere/a", a, CDatabaseItemPtr()), 1168);
  before = Query("/src/a");
  ASSERT_TRUE(before);
  ExpectSameValues(*a, *before);
  EXPECT_WIN32(engine_->RenameFile("/src/missing", "/dst/x", a, CDatabaseItemPtr()), 1168);

  const CDatabaseItemPtr replaced = MakeItem(9, 900, false, true);
  ASSERT_OK(engine_->RenameFile("/src/a", "/dst/a2", a, replaced));
  CDatabaseItemPtr moved = Query("/dst/a2");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->GetId(), idA);
  ExpectSameValues(*replaced, *moved);

  // Without a new item the row keeps its own values, not those bound by the rename before.
  ASSERT_OK(engine_->RenameFile("/src/b", "/dst/b2", b, CDatabaseItemPtr()));
  moved = Query("/dst/b2");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->GetId(), idB);
  ExpectSameValues(*b, *moved);
  EXPECT_EQ(QueryInt(*engine_, "SELECT COUNT(*) FROM Files WHERE FileName IN ('a','b')"), 0);
}

// ---------------------------------------------------------------------------------------------------
// Paths that cannot be recorded

TEST_P(PathDatabaseTest, UnrecordablePathsAreRefusedWithoutWriting) {
  ASSERT_OK(engine_->AddFile("/m/f", MakeItem(1, 1)));
  const std::vector<std::string> before =
      QueryRows(*engine_, "SELECT * FROM Folders UNION ALL SELECT * FROM Files");
  const CDatabaseItemPtr item = MakeItem(2, 2);
  const CDatabaseItemPtr none;
  for (const std::string& bad : {std::string(""), std::string("rel/f")}) {
    for (CYaError error :
         {engine_->AddFile(bad, item), engine_->AddFolder(bad, item), engine_->DeleteFile(bad, none),
          engine_->DeleteFolder(bad, none), engine_->RenameFile("/m/f", bad, none, none),
          engine_->RenameFile(bad, "/m/g", none, none), engine_->RenameFolder("/m", bad, none, none)}) {
      EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87)) << error.AsString();
      EXPECT_NE(error.AsString().find("[" + bad + "]"), std::string::npos) << error.AsString();
    }
  }
  EXPECT_WIN32(engine_->DeleteFolder("/", none), 87);
  EXPECT_WIN32(engine_->DeleteFolder("//", none), 87);
  EXPECT_WIN32(engine_->RenameFolder("/", "/x", none, none), 87);
  EXPECT_WIN32(engine_->RenameFolder("/m", "/m/sub", none, none), 87);
  EXPECT_WIN32(engine_->RenameFolder("/m/", "//m//sub/deeper", none, none), 87);
  EXPECT_EQ(QueryRows(*engine_, "SELECT * FROM Folders UNION ALL SELECT * FROM Files"), before);
}

TEST_P(PathDatabaseTest, RepeatedSeparatorsNameTheSameFolder) {
  ASSERT_OK(engine_->AddFile("//r///f", MakeItem(1, 1)));
  ASSERT_OK(engine_->AddFile("/r//g", MakeItem(2, 2)));
  ASSERT_OK(engine_->AddFolder("/r//", MakeItem(3, 3)));
  EXPECT_EQ(QueryInt(*engine_, "SELECT COUNT(*) FROM Folders"), 3);  // "-", "/" and /r
  CDatabaseItemPtr f = Query("/r/f");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->GetFileId(), 1);
  CDatabaseItemPtr r = Query("/r");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->GetFileId(), 3);
}

// ---------------------------------------------------------------------------------------------------
// Item queries

TEST_P(PathDatabaseTest, QueryItemReadsFoldersAndFiles) {
  const CDatabaseItemPtr folder = MakeItem(kBig + 1, 4096, true, false);
  const CDatabaseItemPtr file = MakeItem(kBig * 4, kBig * 2, true, false);
  ASSERT_OK(engine_->AddFolder("/qi/sub", folder));
  ASSERT_OK(engine_->AddFile("/qi/f", file));

  CDatabaseItemPtr item = Query("/qi/sub");
  ASSERT_TRUE(item);
  EXPECT_TRUE(item->IsDirectory());
  EXPECT_EQ(item->GetFileName(), "sub");
  EXPECT_EQ(item->GetFullyQualifiedPath(), "/qi/sub/");
  ExpectSameValues(*folder, *item);

  item = Query("/qi/f");
  ASSERT_TRUE(item);
  EXPECT_FALSE(item->IsDirectory());
  EXPECT_EQ(item->GetFileName(), "f");
  EXPECT_EQ(item->GetFullyQualifiedPath(), "/qi/f");
  EXPECT_TRUE(item->IsSelected());
  EXPECT_FALSE(item->IsCollect());
  ExpectSameValues(*file, *item);
  EXPECT_EQ(item->GetAttributes(), file->GetAttributes());
  EXPECT_EQ(item->GetLinks(), 2);

  CDatabaseItemPtr untouched = file;
  CYaError error = engine_->QueryItem("/qi/nope", untouched);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168)) << error.AsString();
  EXPECT_EQ(error.GetMessage(), "File : [/qi/nope] not found");
  EXPECT_EQ(untouched, file);
  // A missing parent: the folder lookup's error, passed on by the file query and by QueryItem.
  error = engine_->QueryItem("/missing/f", untouched);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168)) << error.AsString();
  EXPECT_EQ(error.GetLocationCount(), 3u) << error.AsString();
}

TEST_P(PathDatabaseTest, SelectedFilesComeInNameOrderWithTheirPaths) {
  ASSERT_OK(engine_->AddFile("/s/b", MakeItem(2, 2, true)));
  ASSERT_OK(engine_->AddFile("/s/c", MakeItem(3, 3, false)));
  ASSERT_OK(engine_->AddFile("/s/a", MakeItem(1, 1, true)));
  ASSERT_OK(engine_->AddFile("/t/x", MakeItem(4, 4, false)));

  for (const char* folder : {"/s", "/s/"}) {
    CDatabaseItemIteratorPtr iterator;
    ASSERT_OK(engine_->QuerySelectedFiles(folder, iterator));
    std::vector<std::string> paths;
    for (; iterator && !iterator->Eof(); iterator->NextItem()) {
      EXPECT_FALSE(iterator->GetItem()->IsDirectory());
      paths.push_back(iterator->GetItem()->GetFullyQualifiedPath());
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"/s/a", "/s/b"})) << folder;
  }
  for (const char* folder : {"/t", "/unrecorded"}) {
    CDatabaseItemIteratorPtr iterator;
    ASSERT_OK(engine_->QuerySelectedFiles(folder, iterator));
    ASSERT_TRUE(iterator);
    EXPECT_TRUE(iterator->Eof()) << folder;
  }
}

// Row ids above 2^31 (and 2^32) must survive every path they take: lookups, the cache, the queue,
// binding and decoding.
TEST_P(PathDatabaseTest, RowIdsKeepAll64Bits) {
  ASSERT_OK(engine_->Execute("INSERT INTO Folders(FolderId, ParentFolderId) VALUES (" + std::to_string(kBig) +
                             ", 1);"
                             "INSERT INTO Files(FileId, FolderId, FileName) VALUES (" +
                             std::to_string(kBig * 2) + ", 2, 'placeholder');"));
  ASSERT_OK(engine_->AddFolder("/big", MakeItem(1, 1)));
  ASSERT_OK(engine_->AddFile("/big/f", MakeItem(2, 2, true)));
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(engine_->AddFile("/big/g", MakeItem(3, 3, true)));
  ASSERT_OK(engine_->FlushQueue());

  CDatabaseItemPtr folder = Query("/big");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->GetId(), kBig + 1);
  CDatabaseItemPtr file = Query("/big/f");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->GetId(), kBig * 2 + 1);
  EXPECT_EQ(QueryInt(*engine_, "SELECT FolderId FROM Files WHERE FileName='g'"), kBig + 1);

  int64_t fileId = 0;
  int64_t folderId = 0;
  ASSERT_OK(engine_->QueryFileId("/big/g", fileId, folderId));
  EXPECT_EQ(fileId, kBig * 2 + 2);
  EXPECT_EQ(folderId, kBig + 1);

  std::list<CDatabaseItemPtr> items;
  ASSERT_OK(engine_->QueryFolderItems("/big", 0, items));
  std::set<int64_t> ids;
  for (const CDatabaseItemPtr& item : items)
    ids.insert(item->GetId());
  EXPECT_EQ(ids, (std::set<int64_t>{kBig * 2 + 1, kBig * 2 + 2}));

  CDatabaseItemIteratorPtr iterator;
  ASSERT_OK(engine_->QuerySelectedFiles("/big", iterator));
  ASSERT_TRUE(iterator && !iterator->Eof());
  EXPECT_EQ(iterator->GetItem()->GetId(), kBig * 2 + 1);

  ASSERT_OK(engine_->RenameFile("/big/f", "/big/h", CDatabaseItemPtr(), CDatabaseItemPtr()));
  file = Query("/big/h");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->GetId(), kBig * 2 + 1);
  ASSERT_OK(engine_->DeleteFile("/big/h", CDatabaseItemPtr()));
  EXPECT_EQ(QueryInt(*engine_, "SELECT COUNT(*) FROM Files WHERE FolderId=" + std::to_string(kBig + 1)), 1);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, PathDatabaseTest, ::testing::Values(0, 1), LayoutName);

// ---------------------------------------------------------------------------------------------------
// Performance report and logging thread

const char kBanner[] =
    "--------------------- Scan Database Performance Counters -------------------------------";
const char kDatabaseLine[] = "--------------------- Database [scan.db] ------------------------";
const char kClosingLine[] =
    "-----------------------------------------------------------------------------------";
const char kStopped[] = "Stopped Database Performance Logging Thread";

// Points FSDB_SETTINGS at a settings file of the test and restores the variable after.
class ScopedSettings {
 public:
  explicit ScopedSettings(const std::string& file) {
    const char* previous = std::getenv("FSDB_SETTINGS");
    hadPrevious_ = previous != nullptr;
    if (hadPrevious_)
      previous_ = previous;
    setenv("FSDB_SETTINGS", file.c_str(), 1);
  }
  ~ScopedSettings() {
    if (hadPrevious_)
      setenv("FSDB_SETTINGS", previous_.c_str(), 1);
    else
      unsetenv("FSDB_SETTINGS");
  }
  ScopedSettings(const ScopedSettings&) = delete;
  ScopedSettings& operator=(const ScopedSettings&) = delete;

 private:
  bool hadPrevious_ = false;
  std::string previous_;
};

class PerformanceReportTest : public PathDatabaseTest {
 protected:
  // The names of the counter lines of the log ("NAME : text"), in log order.
  std::vector<std::string> CounterLines() {
    std::vector<std::string> names;
    for (const std::string& text : log_->Texts()) {
      const size_t colon = text.find(" : ");
      if (colon == std::string::npos)
        continue;
      const std::string name = text.substr(0, colon);
      for (const char* known : CDatabasePerformanceCounters::DatabaseCounterStrings) {
        if (name == known)
          names.push_back(name);
      }
    }
    return names;
  }
  static int Index(const std::string& name) {
    const auto& names = CDatabasePerformanceCounters::DatabaseCounterStrings;
    return static_cast<int>(std::find(std::begin(names), std::end(names), name) - std::begin(names));
  }
};

TEST_P(PerformanceReportTest, ReportListsOnlyUsedCountersInTheirOrder) {
  ASSERT_OK(engine_->AddFile("/p/f", MakeItem(1, 1)));
  ASSERT_OK(engine_->AddFile("/p/g", MakeItem(2, 2)));
  ASSERT_OK(engine_->DeleteFile("/p/g", CDatabaseItemPtr()));
  ASSERT_TRUE(Query("/p/f"));
  log_->Clear();
  engine_->GetPerformanceCounters()->LogAllPerformanceCounters();

  const std::vector<std::string> texts = log_->Texts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts.front(), kBanner);
  EXPECT_EQ(texts[1], kDatabaseLine);
  EXPECT_EQ(texts.back(), kClosingLine);
  const std::vector<std::string> names = CounterLines();
  EXPECT_EQ(names.size(), texts.size() - 3);  // nothing else between the banner lines
  for (size_t i = 1; i < names.size(); ++i)
    EXPECT_LT(Index(names[i - 1]), Index(names[i]));
  for (const char* used : {"ADD_FILE", "DELETE_FILE", "QUERY_FILE", "QUERY_FOLDER"}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), used), 1) << used;
  }
  for (const char* unused : {"RENAME_FILE", "RENAME_FOLDER", "UPDATE_FILE", "UPDATE_FOLDER", "CREATE_INDEX",
                             "SELECTED_FOLDER", "SELECTED_FILE"}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), unused), 0) << unused;
  }

  // Re-creating the index at a bulk-mode close is timed as well.
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(engine_->Close());
  log_->Clear();
  engine_->GetPerformanceCounters()->LogAllPerformanceCounters();
  const std::vector<std::string> after = CounterLines();
  EXPECT_EQ(std::count(after.begin(), after.end(), "CREATE_INDEX"), 1);
}

// The thread reports once as soon as it starts; closing wakes it, so Close returns without waiting for
// its pause, and only the Close that stops it writes the final report.
TEST_P(PerformanceReportTest, LoggingThreadReportsAtOnceAndStopsWhenClosed) {
  ASSERT_OK(engine_->Close());
  log_->Clear();
  ASSERT_OK(engine_->Open(true));
  ASSERT_OK(engine_->Close());

  const std::string statistics = "Cache Statistics : Folder ID Cache Hit : [0] - Miss : [0]";
  EXPECT_EQ(CountLines(log_.writer(), kBanner), 2u);
  EXPECT_EQ(CountLines(log_.writer(), kDatabaseLine), 2u);
  EXPECT_EQ(CountLines(log_.writer(), kClosingLine), 2u);
  EXPECT_EQ(CountLines(log_.writer(), statistics), 2u);
  EXPECT_TRUE(CounterLines().empty());
  size_t fromThread = 0;
  for (const fsdbtest::LogLine& line : log_->Lines()) {
    if (line.function.find("PerformanceLoggingThread") == std::string::npos)
      continue;
    if (line.text == statistics || line.text == kStopped)
      ++fromThread;
  }
  EXPECT_EQ(fromThread, 2u);
  EXPECT_EQ(CountLines(log_.writer(), kStopped), 1u);

  const size_t lines = log_->Lines().size();
  ASSERT_OK(engine_->Close());
  engine_.reset();
  EXPECT_EQ(CountLines(log_.writer(), kBanner), 2u);
  EXPECT_EQ(CountLines(log_.writer(), kStopped), 1u);
  EXPECT_LE(log_->Lines().size(), lines + 2);  // at most the closing notices
}

// Opening twice, or again after a close, must leave exactly one thread that the next Close stops.
TEST_P(PerformanceReportTest, ReopeningKeepsOneStoppableLoggingThread) {
  ASSERT_OK(engine_->Open(true));
  ASSERT_OK(engine_->Open(true));
  ASSERT_OK(engine_->Close());
  EXPECT_EQ(CountLines(log_.writer(), kStopped), 1u);
  ASSERT_OK(engine_->Open(true));
  ASSERT_OK(engine_->Close());
  EXPECT_EQ(CountLines(log_.writer(), kStopped), 2u);
}

// A Close that cannot flush leaves the thread running (a later Close may still succeed); destroying
// the engine must stop it all the same instead of waiting for it.
TEST_P(PerformanceReportTest, DestroyingAfterAFailedCloseStopsTheLoggingThread) {
  ASSERT_OK(engine_->Open(true));
  ASSERT_OK(engine_->SetBulkInsertMode(true));
  ASSERT_OK(engine_->Execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON Files BEGIN SELECT RAISE(ABORT,'full'); END;"));
  ASSERT_OK(engine_->AddFile("/q/f", MakeItem(1, 1)));
  EXPECT_TRUE(engine_->Close().IsError());
  EXPECT_EQ(CountLines(log_.writer(), kStopped), 0u);
  engine_.reset();
  EXPECT_EQ(log_->Count("Error closing the database due to"), 1u);
  EXPECT_EQ(CountLines(log_.writer(), kStopped), 1u);
}

// Interval 0 from the settings file: the thread writes no report of its own, and still stops.
TEST_P(PerformanceReportTest, IntervalComesFromTheSettingsFile) {
  ASSERT_OK(engine_->Close());
  engine_.reset();
  const std::string settingsFile = dir_.File("settings.ini");
  std::ofstream(settingsFile) << "[~FileSystemAgent]\nnScanDatabasePerformanceLoggingInterval=0\n";
  ScopedSettings settings(settingsFile);
  log_->Clear();
  engine_ = MakeEngine(GetParam(), file_);
  ASSERT_OK(engine_->Open(true));
  EXPECT_EQ(
      CountLines(log_.writer(), "The Logging Interval of the Database Performance Counters : 0 seconds"), 1u);
  ASSERT_OK(engine_->Close());
  EXPECT_EQ(CountLines(log_.writer(), kBanner), 1u);  // the final report only
  EXPECT_EQ(CountLines(log_.writer(), kStopped), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, PerformanceReportTest, ::testing::Values(0, 1), LayoutName);

// ---------------------------------------------------------------------------------------------------
// Open sequence and unsupported operations

CYaError Injected() {
  return FXErrorUtil::ErrorWin32(FX_LOCATION, 1234, "injected failure");
}

// An engine whose open step `failAt` fails; records which steps ran.
class StepFailingEngine : public CFullPathDatabase {
 public:
  StepFailingEngine(const std::string& path, std::string failAt)
      : CFullPathDatabase(path, false), failAt_(failAt) {}

  CYaError CreateTables() override {
    return Step("CreateTables", [this] { return CFullPathDatabase::CreateTables(); });
  }
  CYaError CreateStatements() override {
    return Step("CreateStatements", [this] { return CFullPathDatabase::CreateStatements(); });
  }
  CYaError CreateLoggingThread() override {
    return Step("CreateLoggingThread", [this] { return CFullPathDatabase::CreateLoggingThread(); });
  }

  std::vector<std::string> steps;

 private:
  template <typename Base>
  CYaError Step(const std::string& name, Base base) {
    steps.push_back(name);
    return name == failAt_ ? Injected() : base();
  }
  std::string failAt_;
};

struct OpenFailure {
  std::string step;
  std::string message;
  std::vector<std::string> steps;
};

class OpenSequenceTest : public ::testing::TestWithParam<OpenFailure> {
 protected:
  fsdbtest::TempDir dir_;
  fsdbtest::ScopedCaptureLog log_{0};
};

TEST_P(OpenSequenceTest, FailingStepEndsTheOpenWithItsMessage) {
  StepFailingEngine engine(dir_.File("scan.db"), GetParam().step);
  CYaError error = engine.Open(true);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1234)) << error.AsString();
  EXPECT_NE(error.AsString().find(GetParam().message + "failed, error="), std::string::npos)
      << error.AsString();
  EXPECT_NE(error.AsString().find("injected failure"), std::string::npos);
  EXPECT_EQ(engine.steps, GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, OpenSequenceTest,
    ::testing::Values(OpenFailure{"CreateTables", "CreateTables ", {"CreateTables"}},
                      OpenFailure{
                          "CreateStatements", "CreateStatements ", {"CreateTables", "CreateStatements"}},
                      OpenFailure{"CreateLoggingThread",
                                  "Create Logging thread ",
                                  {"CreateTables", "CreateStatements", "CreateLoggingThread"}}),
    [](const ::testing::TestParamInfo<OpenFailure>& info) { return info.param.step; });

TEST(OpenTest, LoggingThreadIsStartedOnlyWhenAsked) {
  fsdbtest::TempDir dir;
  fsdbtest::ScopedCaptureLog log(0);
  StepFailingEngine engine(dir.File("scan.db"), "CreateLoggingThread");
  ASSERT_OK(engine.Open(false));
  EXPECT_EQ(engine.steps, (std::vector<std::string>{"CreateTables", "CreateStatements"}));
}

TEST(OpenTest, UnopenableFileReportsTheConnectionError) {
  fsdbtest::TempDir dir;
  fsdbtest::ScopedCaptureLog log(0);
  CFullPathDatabase engine(dir.File("no/such/folder/scan.db"), false);
  CYaError error = engine.Open(false);
  int code = 0;
  EXPECT_TRUE(FXErrorUtil::IsSQLite(error, &code)) << error.AsString();
  EXPECT_EQ(code & 0xFF, 14);  // SQLITE_CANTOPEN
  EXPECT_NE(error.AsString().find("OpenDatabase failed, error="), std::string::npos) << error.AsString();
}

void ExpectUnsupported(const CYaError& error, const char* message) {
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 50)) << error.AsString();
  EXPECT_EQ(error.GetMessage(), message);
}

TEST(UnsupportedOperationTest, EngineBaseRefusesEveryOperation) {
  const char kMessage[] = "Base class implementation. Unsupported operation.";
  CScanDatabasePrivate base;
  const CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  CDatabaseItemPtr result;
  CDatabaseItemIteratorPtr iterator;
  std::list<CDatabaseItemPtr> items;
  for (const CYaError& error :
       {base.SetBulkInsertMode(true), base.Close(), base.FlushQueue(), base.CreateTables(),
        base.CreateStatements(), base.DeleteStatements(), base.AddFile("/f", item),
        base.AddFolder("/d", item), base.DeleteFile("/f", item), base.DeleteFolder("/d", item),
        base.RenameFile("/f", "/g", item, item), base.RenameFolder("/d", "/e", item, item),
        base.QueryFolderItems("/d", 0, items), base.QueryItem("/f", result),
        base.QuerySelectedFolders(iterator), base.QuerySelectedFiles("/d", iterator),
        base.CreateLoggingThread()}) {
    ExpectUnsupported(error, kMessage);
  }
  EXPECT_FALSE(base.IsBulkInsertModeActive());
  EXPECT_TRUE(items.empty());
  EXPECT_FALSE(result);
  EXPECT_FALSE(iterator);
}

TEST(UnsupportedOperationTest, PathDatabaseWithoutLayoutCannotOpen) {
  fsdbtest::TempDir dir;
  fsdbtest::ScopedCaptureLog log(0);
  CPathDatabase engine(dir.File("scan.db"), false);
  CYaError error = engine.Open(false);
  ExpectUnsupported(error, "Base class. This type of database is not supported.");
  EXPECT_NE(error.AsString().find("CreateTables failed, error="), std::string::npos);
  int64_t folderId = 5;
  ExpectUnsupported(engine.QueryFolderId("/", folderId),
                    "Base class. This type of database is not supported.");
  EXPECT_EQ(folderId, 5);
  CDatabaseItemPtr item;
  ExpectUnsupported(engine.QueryFolderItem("/", item), "Base class. This type of database is not supported.");
  ExpectUnsupported(engine.AddFolder("/d", boost::make_shared<CDatabaseItem>()),
                    "Base class implementation. Unsupported operation.");
}

}  // namespace
}  // namespace FSDB
