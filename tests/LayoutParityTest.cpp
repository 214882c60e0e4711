// What both folder layouts must do alike. LayoutTest runs each behaviour over both engines;
// LayoutParityTest applies one long generated sequence of changes to a database of each layout and
// to an in-memory model of the tree, and requires the same answers from all three (row ids aside).

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "core/FullPathDatabase.h"
#include "core/OptimizedPathDatabase.h"
#include "fsdb/ScanDatabase.h"

namespace {

using FSDB::CDatabaseItem;
using FSDB::CDatabaseItemIteratorPtr;
using FSDB::CDatabaseItemPtr;
using FSDB::CPathDatabase;
using FSDB::DatabaseType;
using Lines = std::vector<std::string>;

std::unique_ptr<CPathDatabase> MakeEngine(DatabaseType type, const std::string& file) {
  if (type == FSDB::DATABASE_TYPE_OPTIMIZED)
    return std::make_unique<FSDB::COptimizedPathDatabase>(file, false);
  return std::make_unique<FSDB::CFullPathDatabase>(file, false);
}

// An item whose every value derives from `n`, with its metadata document formed; 0 gives the empty
// item that missing ancestors are recorded with.
CDatabaseItemPtr Item(int64_t n, bool selected = false) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  if (n == 0)
    return item;
  item->SetFileId(n + (int64_t{1} << 33));
  item->SetFileSize(n * 3);
  item->SetAccessTime(n + 1);
  item->SetModificationTime(n + 2);
  item->SetChangeTime(n + 3);
  item->SetAsSelected(selected);
  item->SetAsCollect(n % 3 == 0);
  item->SetAttributes(static_cast<int>(n % 64) + 1);
  item->SetLinks(static_cast<int>(n % 5) + 1);
  item->SetFileSizeOnDisk(n * 4);
  item->SetCreationTime(n + 4);
  EXPECT_OK(item->FormMetadata());
  return item;
}

// Every property of an item but its row id, on one line.
std::string Describe(const CDatabaseItem& item) {
  std::ostringstream out;
  out << (item.IsDirectory() ? "folder " : "file ") << item.GetFullyQualifiedPath() << " ["
      << item.GetFileName() << "] inode " << item.GetFileId() << " size " << item.GetFileSize() << " times "
      << item.GetAccessTime() << ',' << item.GetModificationTime() << ',' << item.GetChangeTime()
      << (item.IsSelected() ? " selected" : "") << (item.IsCollect() ? " collect" : "") << " attributes "
      << item.GetAttributes() << " links " << item.GetLinks() << " on disk " << item.GetFileSizeOnDisk()
      << " created " << item.GetCreationTime() << " metadata " << item.GetMetadata();
  return out.str();
}

// How a query should describe an item recorded from `source`: the values of its metadata document
// only when the query reads the document (`populated`); the walks leave them 0.
std::string Expected(const CDatabaseItem& source, bool directory, const std::string& path,
                     const std::string& name, bool populated) {
  CDatabaseItem item(source);
  item.SetAsDirectory(directory);
  item.SetFullyQualifiedPath(path);
  item.SetFileName(name);
  if (!populated) {
    item.SetAttributes(0);
    item.SetLinks(0);
    item.SetFileSizeOnDisk(0);
    item.SetCreationTime(0);
  }
  return Describe(item);
}

std::vector<CDatabaseItemPtr> Walk(const CDatabaseItemIteratorPtr& iterator) {
  std::vector<CDatabaseItemPtr> items;
  for (; iterator && !iterator->Eof(); iterator->NextItem())
    items.push_back(iterator->GetItem());
  return items;
}

// Each row of `sql` on the engine's connection, its columns joined by '|' (NULL as "NULL").
Lines Rows(CPathDatabase& db, const std::string& sql) {
  Lines rows;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db.GetHandle(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db.GetHandle());
    return rows;
  }
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
  int result;
  while ((result = sqlite3_step(statement.get())) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(statement.get()); ++i) {
      const unsigned char* text = sqlite3_column_text(statement.get(), i);
      row += (i > 0 ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    rows.push_back(row);
  }
  if (result != SQLITE_DONE)
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db.GetHandle());
  return rows;
}

// ---------------------------------------------------------------------------------------------------
// Behaviour over both layouts

class LayoutTest : public ::testing::TestWithParam<DatabaseType> {
 protected:
  void SetUp() override { Reopen(); }

  void Reopen() {
    db_.reset();
    db_ = MakeEngine(GetParam(), dir_.File("scan.db"));
    ASSERT_OK(db_->Open(false));
  }

  CDatabaseItemPtr Query(const std::string& path) {
    CDatabaseItemPtr item;
    const CYaError error = db_->QueryItem(path, item);
    EXPECT_FALSE(error.IsError()) << path << ": " << error.AsString();
    return item ? item : Item(0);
  }

  std::string Described(const std::string& path) { return Describe(*Query(path)); }
  Lines Rows(const std::string& sql) { return ::Rows(*db_, sql); }
  Lines AllRows() {
    Lines rows = Rows("SELECT * FROM Folders ORDER BY FolderId");
    const Lines files = Rows("SELECT * FROM Files ORDER BY FileId");
    rows.insert(rows.end(), files.begin(), files.end());
    return rows;
  }

  fsdbtest::TempDir dir_;
  std::unique_ptr<CPathDatabase> db_;
};

TEST_P(LayoutTest, AddingCreatesMissingAncestorsWithEmptyItemsAndUpsertsKeepIds) {
  fsdbtest::ScopedCaptureLog log(2);
  const CDatabaseItemPtr c = Item(7, true);
  ASSERT_OK(db_->AddFolder("/a/b/c", c));
  EXPECT_EQ(2u, log->Count("so we are adding the parent folder to the database with empty item information"));
  EXPECT_EQ(1u, log->Count("Could not find /a/b/ in the database"));
  EXPECT_EQ(1u, log->Count("Could not find /a/ in the database"));
  EXPECT_EQ(Lines({"1|1", "2|1", "3|2", "4|3", "5|4"}),
            Rows("SELECT FolderId, ParentFolderId FROM Folders ORDER BY FolderId"));
  EXPECT_EQ(Expected(*Item(0), true, "/a/", "a", true), Described("/a"));
  EXPECT_EQ(Expected(*Item(0), true, "/a/b/", "b", true), Described("/a/b"));
  EXPECT_EQ(Expected(*c, true, "/a/b/c/", "c", true), Described("/a/b/c"));

  // A file's missing folders are added the same way.
  log->Clear();
  ASSERT_OK(db_->AddFile("/p/q/f", Item(8)));
  EXPECT_EQ(2u, log->Count("so we are adding the parent folder to the database with empty item information"));
  EXPECT_EQ(Expected(*Item(8), false, "/p/q/f", "f", true), Described("/p/q/f"));

  // Recording a folder again changes its attributes only.
  ASSERT_OK(db_->AddFolder("/a/b/", Item(9)));
  EXPECT_EQ(Lines({"1|1", "2|1", "3|2", "4|3", "5|4", "6|2", "7|6"}),
            Rows("SELECT FolderId, ParentFolderId FROM Folders ORDER BY FolderId"));
  EXPECT_EQ(4, Query("/a/b")->GetId());
  EXPECT_EQ(Expected(*Item(9), true, "/a/b/", "b", true), Described("/a/b"));
}

TEST_P(LayoutTest, RenameMovesTheSubtreeWithItsIdsAndAFailedRenameChangesNothing) {
  ASSERT_OK(db_->AddFolder("/a/b/d/e", Item(1)));
  ASSERT_OK(db_->AddFile("/a/b/d/f", Item(2)));
  ASSERT_OK(db_->AddFolder("/x", Item(3)));
  const int64_t idOfD = Query("/a/b/d")->GetId();
  const int64_t idOfF = Query("/a/b/d/f")->GetId();
  ASSERT_OK(db_->RenameFolder("/a/b", "/x/c", nullptr, nullptr));
  EXPECT_EQ(idOfD, Query("/x/c/d")->GetId());
  EXPECT_EQ(idOfF, Query("/x/c/d/f")->GetId());
  EXPECT_EQ(Expected(*Item(1), true, "/x/c/d/e/", "e", true), Described("/x/c/d/e"));
  CDatabaseItemPtr item;
  EXPECT_WIN32(db_->QueryItem("/a/b", item), 1168);
  EXPECT_WIN32(db_->QueryItem("/a/b/d/f", item), 1168);

  const Lines before = AllRows();
  EXPECT_WIN32(db_->RenameFolder("/x/c", "/nope/c", nullptr, Item(4)), 1168);
  EXPECT_WIN32(db_->RenameFolder("/missing", "/y", nullptr, Item(4)), 1168);
  EXPECT_WIN32(db_->RenameFolder("/x", "/x/c/d/x", nullptr, Item(4)), 87);
  EXPECT_WIN32(db_->RenameFolder("/", "/y", nullptr, Item(4)), 87);
  EXPECT_WIN32(db_->RenameFolder("/x", "/", nullptr, Item(4)), 87);
  const CYaError clash = db_->RenameFolder("/x/c", "/a", nullptr, Item(4));
  EXPECT_TRUE(FXErrorUtil::IsSQLite(clash)) << clash.AsString();
  EXPECT_EQ(before, AllRows());

  ASSERT_OK(db_->DeleteFolder("/x", nullptr));
  EXPECT_EQ(Lines({"3"}), Rows("SELECT COUNT(*) FROM Folders"));
  EXPECT_EQ(Lines({"0"}), Rows("SELECT COUNT(*) FROM Files"));
  EXPECT_WIN32(db_->DeleteFolder("/x", nullptr), 1168);
}

TEST_P(LayoutTest, RenameWithoutANewItemKeepsTheRowsAttributes) {
  ASSERT_OK(db_->AddFolder("/p", Item(11, true)));
  ASSERT_OK(db_->AddFolder("/q", Item(22)));
  ASSERT_OK(db_->AddFile("/q/f", Item(33)));
  ASSERT_OK(db_->AddFile("/q/g", Item(44, true)));
  // The first renames leave other values bound to the statements.
  ASSERT_OK(db_->RenameFolder("/p", "/p2", nullptr, Item(99)));
  ASSERT_OK(db_->RenameFile("/q/f", "/q/f2", nullptr, Item(88)));
  ASSERT_OK(db_->RenameFolder("/q", "/q2", nullptr, nullptr));
  ASSERT_OK(db_->RenameFile("/q2/g", "/p2/g", nullptr, nullptr));
  EXPECT_EQ(Expected(*Item(99), true, "/p2/", "p2", true), Described("/p2"));
  EXPECT_EQ(Expected(*Item(22), true, "/q2/", "q2", true), Described("/q2"));
  EXPECT_EQ(Expected(*Item(88), false, "/q2/f2", "f2", true), Described("/q2/f2"));
  EXPECT_EQ(Expected(*Item(44, true), false, "/p2/g", "g", true), Described("/p2/g"));
  EXPECT_EQ(Lines({"0"}),
            Rows("SELECT COUNT(*) FROM Folders WHERE FolderId > 2 AND (Inode IS NULL OR Dirchange IS "
                 "NULL OR Metadata IS NULL)"));
}

TEST_P(LayoutTest, CacheNeverAnswersWithAStaleId) {
  // Adding a file looks its folder up, and listing caches subfolders: /a/b is cached in both layouts.
  ASSERT_OK(db_->AddFile("/a/b/f", Item(1)));
  std::list<CDatabaseItemPtr> items;
  ASSERT_OK(db_->QueryFolderItems("/a", 0, items));
  ASSERT_OK(db_->DeleteFolder("/a", nullptr));
  ASSERT_OK(db_->AddFile("/a/b/g", Item(2)));  // would fail on the foreign key with the old id
  EXPECT_EQ(Expected(*Item(2), false, "/a/b/g", "g", true), Described("/a/b/g"));
  CDatabaseItemPtr item;
  EXPECT_WIN32(db_->QueryItem("/a/b/f", item), 1168);

  // After a rename the old paths name new folders, not the moved ones.
  items.clear();
  ASSERT_OK(db_->QueryFolderItems("/a", 0, items));
  ASSERT_OK(db_->RenameFolder("/a", "/m", nullptr, nullptr));
  ASSERT_OK(db_->AddFile("/a/b/h", Item(3)));
  ASSERT_OK(db_->AddFolder("/a/b/k", Item(4)));
  EXPECT_NE(Query("/a/b")->GetId(), Query("/m/b")->GetId());
  items.clear();
  ASSERT_OK(db_->QueryFolderItems("/m/b", 0, items));
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ("/m/b/g", items.front()->GetFullyQualifiedPath());
  EXPECT_EQ(Expected(*Item(3), false, "/a/b/h", "h", true), Described("/a/b/h"));
  EXPECT_EQ(Expected(*Item(4), true, "/a/b/k/", "k", true), Described("/a/b/k"));
}

TEST_P(LayoutTest, NoSpellingOfAnOldPathFindsTheMovedFolder) {
  ASSERT_OK(db_->AddFolder("/a/b", Item(1)));
  ASSERT_OK(db_->AddFolder("/c", Item(2)));
  // Whether a lookup folds repeated separators differs between the layouts; what it learnt must not
  // outlive the folder's move.
  CDatabaseItemPtr item;
  (void)db_->QueryItem("//a//b", item);
  std::list<CDatabaseItemPtr> items;
  (void)db_->QueryFolderItems("//a//b//", 0, items);
  ASSERT_OK(db_->RenameFolder("/a/b", "/c/b", nullptr, nullptr));
  EXPECT_WIN32(db_->QueryItem("//a//b", item), 1168);
  EXPECT_WIN32(db_->QueryFolderItems("//a//b//", 0, items), 1168);
}

TEST_P(LayoutTest, PathsThatCannotBeRecordedAreRefused) {
  ASSERT_OK(db_->AddFolder("/a", Item(1)));
  ASSERT_OK(db_->AddFile("/a/x", Item(2)));
  const Lines before = AllRows();
  for (const std::string path : {"", "a/b"}) {
    const CYaError errors[] = {db_->AddFolder(path, Item(3)),
                               db_->AddFile(path, Item(3)),
                               db_->DeleteFolder(path, nullptr),
                               db_->DeleteFile(path, nullptr),
                               db_->RenameFolder(path, "/b", nullptr, nullptr),
                               db_->RenameFolder("/a", path, nullptr, nullptr),
                               db_->RenameFile(path, "/b", nullptr, nullptr),
                               db_->RenameFile("/a/x", path, nullptr, nullptr)};
    for (const CYaError& error : errors) {
      EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87)) << error.AsString();
      EXPECT_NE(std::string::npos, error.GetMessage().find("[" + path + "]")) << error.AsString();
    }
  }
  // The root can be neither deleted nor renamed, and "/" names no file.
  EXPECT_WIN32(db_->DeleteFolder("/", nullptr), 87);
  EXPECT_WIN32(db_->DeleteFolder("//", nullptr), 87);
  EXPECT_WIN32(db_->AddFile("/", Item(3)), 87);
  EXPECT_WIN32(db_->DeleteFile("/", nullptr), 87);
  EXPECT_WIN32(db_->RenameFile("/a/x", "/", nullptr, nullptr), 87);
  EXPECT_EQ(before, AllRows());

  // "/" is the root row; repeated separators count as one.
  ASSERT_OK(db_->AddFolder("/", Item(5, true)));
  EXPECT_EQ(Expected(*Item(5, true), true, "/", "", true), Described("/"));
  EXPECT_EQ(2, Query("/")->GetId());
  ASSERT_OK(db_->AddFolder("//r//s//", Item(6)));
  ASSERT_OK(db_->AddFile("/r//s///f", Item(7)));
  EXPECT_EQ(Lines({"5"}), Rows("SELECT COUNT(*) FROM Folders"));
  EXPECT_EQ(Expected(*Item(6), true, "/r/s/", "s", true), Described("/r/s"));
  ASSERT_OK(db_->RenameFolder("//r//s", "/r//t/", nullptr, nullptr));
  EXPECT_EQ(Expected(*Item(7), false, "/r/t/f", "f", true), Described("/r/t/f"));
  ASSERT_OK(db_->DeleteFile("/r//t//f", nullptr));
  ASSERT_OK(db_->DeleteFolder("/r//", nullptr));
  EXPECT_EQ(Lines({"3"}), Rows("SELECT COUNT(*) FROM Folders"));
  EXPECT_EQ(Lines({"1"}), Rows("SELECT COUNT(*) FROM Files"));
}

TEST_P(LayoutTest, IdsAreSixtyFourBits) {
  const int64_t kFolderBase = 5000000000;
  const int64_t kFileBase = 6000000000;
  const std::string nameColumn =
      GetParam() == FSDB::DATABASE_TYPE_OPTIMIZED ? "FolderName" : "FullyQualifiedPath";
  Rows("INSERT INTO Folders (FolderId, ParentFolderId, " + nameColumn + ") VALUES (" +
       std::to_string(kFolderBase) + ", 1, 'far')");
  Rows("INSERT INTO Files (FileId, FolderId, FileName) VALUES (" + std::to_string(kFileBase) + ", 1, 'far')");
  ASSERT_OK(db_->AddFolder("/big", Item(1, true)));
  ASSERT_OK(db_->AddFile("/big/f", Item(2, true)));

  EXPECT_EQ(kFolderBase + 1, Query("/big")->GetId());
  EXPECT_EQ(kFileBase + 1, Query("/big/f")->GetId());
  int64_t id = 0;
  ASSERT_OK(db_->QueryFolderId("/big/", id));
  EXPECT_EQ(kFolderBase + 1, id);
  std::list<CDatabaseItemPtr> items;
  ASSERT_OK(db_->QueryFolderItems("/", 0, items));
  ASSERT_OK(db_->QueryFolderItems("/big", 0, items));
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(kFolderBase + 1, items.front()->GetId());
  EXPECT_EQ(kFileBase + 1, items.back()->GetId());
  CDatabaseItemIteratorPtr iterator;
  ASSERT_OK(db_->QuerySelectedFolders(iterator));
  const std::vector<CDatabaseItemPtr> folders = Walk(iterator);
  ASSERT_EQ(1u, folders.size());
  EXPECT_EQ(kFolderBase + 1, folders[0]->GetId());
  ASSERT_OK(db_->QuerySelectedFiles("/big", iterator));
  const std::vector<CDatabaseItemPtr> files = Walk(iterator);
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(kFileBase + 1, files[0]->GetId());
}

TEST_P(LayoutTest, SelectedWalksComeInPathOrderWithoutTheMetadataValues) {
  int n = 1;
  for (const char* path : {"/a.txt", "/a-b", "/a b", "/ab", "/a/b", "/a"})
    ASSERT_OK(db_->AddFolder(path, Item(n++, true)));
  ASSERT_OK(db_->AddFolder("/a/c", Item(n++)));
  for (const char* name : {"z", "b.txt", "B"})
    ASSERT_OK(db_->AddFile(std::string("/a/") + name, Item(n++, true)));
  ASSERT_OK(db_->AddFile("/a/m", Item(n++)));

  CDatabaseItemIteratorPtr iterator;
  ASSERT_OK(db_->QuerySelectedFolders(iterator));
  Lines walked;
  for (const CDatabaseItemPtr& item : Walk(iterator))
    walked.push_back(Describe(*item));
  EXPECT_EQ(Lines({Expected(*Item(6, true), true, "/a", "a", false),
                   Expected(*Item(5, true), true, "/a/b", "b", false),
                   Expected(*Item(3, true), true, "/a b", "a b", false),
                   Expected(*Item(2, true), true, "/a-b", "a-b", false),
                   Expected(*Item(1, true), true, "/a.txt", "a.txt", false),
                   Expected(*Item(4, true), true, "/ab", "ab", false)}),
            walked);

  ASSERT_OK(db_->QuerySelectedFiles("/a", iterator));
  walked.clear();
  for (const CDatabaseItemPtr& item : Walk(iterator))
    walked.push_back(Describe(*item));
  EXPECT_EQ(Lines({Expected(*Item(10, true), false, "/a/B", "B", false),
                   Expected(*Item(9, true), false, "/a/b.txt", "b.txt", false),
                   Expected(*Item(8, true), false, "/a/z", "z", false)}),
            walked);
  // The same items read one by one carry the values of their metadata documents.
  EXPECT_EQ(Expected(*Item(10, true), false, "/a/B", "B", true), Described("/a/B"));
  EXPECT_NE(0, Query("/a")->GetAttributes());

  ASSERT_OK(db_->QuerySelectedFiles("/a/c", iterator));
  EXPECT_TRUE(iterator->Eof());
  ASSERT_OK(db_->QuerySelectedFiles("/nowhere", iterator));
  EXPECT_TRUE(iterator->Eof());
}

TEST_P(LayoutTest, ListingAppendsSubfoldersThenFiles) {
  ASSERT_OK(db_->AddFolder("/a/x/deep", Item(1)));
  ASSERT_OK(db_->AddFolder("/a/y", Item(2)));
  for (const char* name : {"f", "g", "h"})
    ASSERT_OK(db_->AddFile(std::string("/a/") + name, Item(3)));
  std::list<CDatabaseItemPtr> items = {Item(4)};
  ASSERT_OK(db_->QueryFolderItems("/a", 0, items));
  ASSERT_EQ(6u, items.size());
  Lines listed;
  for (const CDatabaseItemPtr& item : items)
    listed.push_back(Describe(*item));
  EXPECT_EQ(Describe(*Item(4)), listed[0]);
  std::sort(listed.begin() + 1, listed.begin() + 3);
  std::sort(listed.begin() + 3, listed.end());
  EXPECT_EQ(
      Lines({Describe(*Item(4)), Expected(*Item(0), true, "/a/x", "x", true),
             Expected(*Item(2), true, "/a/y", "y", true), Expected(*Item(3), false, "/a/f", "f", true),
             Expected(*Item(3), false, "/a/g", "g", true), Expected(*Item(3), false, "/a/h", "h", true)}),
      listed);
  ASSERT_OK(db_->QueryFolderItems("/a/y", 0, items));
  EXPECT_EQ(6u, items.size());
  EXPECT_WIN32(db_->QueryFolderItems("/nowhere", 0, items), 1168);
  EXPECT_EQ(6u, items.size());
  // The root, which the walks call "", lists its children below "/".
  std::list<CDatabaseItemPtr> root;
  ASSERT_OK(db_->QueryFolderItems("", 0, root));
  ASSERT_EQ(1u, root.size());
  EXPECT_EQ("/a", root.front()->GetFullyQualifiedPath());
}

TEST_P(LayoutTest, BaseRowsAreWrittenOnlyWhenMissing) {
  ASSERT_OK(db_->AddFolder("/", Item(5, true)));
  Reopen();
  EXPECT_EQ(Expected(*Item(5, true), true, "/", "", true), Described("/"));
  ASSERT_OK(db_->SetBulkInsertMode(true));  // compiles the statements again
  EXPECT_EQ(Expected(*Item(5, true), true, "/", "", true), Described("/"));
  EXPECT_EQ(Lines({"1|1", "2|1"}), Rows("SELECT FolderId, ParentFolderId FROM Folders ORDER BY FolderId"));
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, LayoutTest,
                         ::testing::Values(FSDB::DATABASE_TYPE_FULL_PATH, FSDB::DATABASE_TYPE_OPTIMIZED),
                         [](const ::testing::TestParamInfo<DatabaseType>& info) {
                           return info.param == FSDB::DATABASE_TYPE_OPTIMIZED ? "Optimized" : "FullPath";
                         });

// ---------------------------------------------------------------------------------------------------
// One generated sequence, two layouts, one model

// The same sequence on every platform (the standard distributions may differ between libraries).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint32_t Below(uint32_t n) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(state_ >> 33) % n;
  }
  bool OneIn(uint32_t n) { return Below(n) == 0; }

 private:
  uint64_t state_;
};

// The outcome of a change: 0, a Win32-style code, or kSQLiteFailure (a unique index refused it).
const int kSQLiteFailure = -1;

int Outcome(const CYaError& error) {
  if (!error.IsError())
    return 0;
  for (unsigned code : {87u, 1168u}) {
    if (FXErrorUtil::IsWin32(error, code))
      return static_cast<int>(code);
  }
  if (FXErrorUtil::IsSQLite(error))
    return kSQLiteFailure;
  ADD_FAILURE() << "unexpected error " << error.AsString();
  return -2;
}

// Normalised paths: "/" or "/a/b".
std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}
std::string NameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}
std::string Join(const std::string& folder, const std::string& name) {
  return (folder == "/" ? "/" : folder + "/") + name;
}
bool IsBeneath(const std::string& path, const std::string& folder) {
  return folder == "/" ? path != "/" : path.compare(0, folder.size() + 1, folder + "/") == 0;
}
// The path collation's order: component by component, so a folder's subtree follows it directly.
bool InPathOrder(const std::string& a, const std::string& b) {
  auto components = [](const std::string& path) {
    Lines parts;
    for (size_t begin = 1; begin < path.size();) {
      const size_t end = std::min(path.find('/', begin), path.size());
      parts.push_back(path.substr(begin, end - begin));
      begin = end + 1;
    }
    return parts;
  };
  return components(a) < components(b);
}

enum Kind {
  ADD_FOLDER,
  ADD_FILE,
  DELETE_FILE,
  DELETE_FOLDER,
  RENAME_FILE,
  RENAME_FOLDER,
  QUERY_ITEM,
  LIST_FOLDER
};
const char* const kKindNames[] = {"AddFolder",  "AddFile",      "DeleteFile", "DeleteFolder",
                                  "RenameFile", "RenameFolder", "QueryItem",  "QueryFolderItems"};

struct Operation {
  Kind kind;
  std::string path;    // normalised
  std::string target;  // normalised; renames only
  std::string spelledPath;
  std::string spelledTarget;
  CDatabaseItemPtr item;  // may be empty for renames
};

// The tree as the changes should leave it, each folder and file with the item it was last recorded
// from. Each change answers with the outcome that the databases must give.
class TreeModel {
 public:
  TreeModel() { folders_["/"] = Item(0); }

  int Apply(const Operation& op) {
    switch (op.kind) {
      case ADD_FOLDER:
        if (op.path != "/")
          AddMissing(ParentOf(op.path));
        folders_[op.path] = op.item;
        return 0;
      case ADD_FILE:
        AddMissing(ParentOf(op.path));
        files_[op.path] = op.item;
        return 0;
      case DELETE_FILE:
        if (!folders_.count(ParentOf(op.path)))
          return 1168;
        files_.erase(op.path);
        return 0;
      case DELETE_FOLDER:
        if (op.path == "/")
          return 87;
        if (!folders_.count(op.path))
          return 1168;
        Move(folders_, op.path, "", true);
        Move(files_, op.path, "", false);
        return 0;
      case RENAME_FILE: {
        if (!files_.count(op.path) || !folders_.count(ParentOf(op.target)))
          return 1168;
        if (op.target != op.path && files_.count(op.target))
          return kSQLiteFailure;
        const CDatabaseItemPtr item = op.item ? op.item : files_[op.path];
        files_.erase(op.path);
        files_[op.target] = item;
        return 0;
      }
      case RENAME_FOLDER:
        if (op.path == "/" || op.target == "/" || IsBeneath(op.target, op.path))
          return 87;
        if (!folders_.count(op.path) || !folders_.count(ParentOf(op.target)))
          return 1168;
        if (op.target != op.path && folders_.count(op.target))
          return kSQLiteFailure;
        if (op.item)
          folders_[op.path] = op.item;
        Move(folders_, op.path, op.target, true);
        Move(files_, op.path, op.target, false);
        return 0;
      default:
        return 0;
    }
  }

  std::string ItemLine(const std::string& path) const {
    if (folders_.count(path)) {
      return "item " + path + ": " +
             Expected(*folders_.at(path), true, path == "/" ? "/" : path + "/", NameOf(path), true);
    }
    if (files_.count(path))
      return "item " + path + ": " + Expected(*files_.at(path), false, path, NameOf(path), true);
    return "item " + path + ": error 1168";
  }

  Lines ListLines(const std::string& folder) const {
    if (!folders_.count(folder))
      return {"list " + folder + ": error 1168"};
    Lines lines;
    for (const auto& entry : folders_) {
      if (entry.first != "/" && ParentOf(entry.first) == folder) {
        lines.push_back("list " + folder + ": " +
                        Expected(*entry.second, true, entry.first, NameOf(entry.first), true));
      }
    }
    for (const auto& entry : files_) {
      if (ParentOf(entry.first) == folder) {
        lines.push_back("list " + folder + ": " +
                        Expected(*entry.second, false, entry.first, NameOf(entry.first), true));
      }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  Lines SelectedLines() const {
    Lines selected;
    for (const auto& entry : folders_) {
      if (entry.second->IsSelected())
        selected.push_back(entry.first);
    }
    std::sort(selected.begin(), selected.end(), InPathOrder);
    Lines lines;
    for (const std::string& folder : selected) {
      lines.push_back("selected " + Expected(*folders_.at(folder), true, folder == "/" ? "" : folder,
                                             NameOf(folder), false));
      Lines names;
      for (const auto& entry : files_) {
        if (ParentOf(entry.first) == folder && entry.second->IsSelected())
          names.push_back(NameOf(entry.first));
      }
      std::sort(names.begin(), names.end());
      for (const std::string& name : names) {
        lines.push_back("  selected " +
                        Expected(*files_.at(Join(folder, name)), false, Join(folder, name), name, false));
      }
      for (const std::string& line : ListLines(folder))
        lines.push_back("  " + line);
    }
    return lines;
  }

  Lines Everything(const std::set<std::string>& paths) const {
    Lines lines;
    for (const std::string& path : paths)
      lines.push_back(ItemLine(path));
    for (const auto& entry : folders_) {
      const Lines listed = ListLines(entry.first);
      lines.insert(lines.end(), listed.begin(), listed.end());
    }
    const Lines walked = SelectedLines();
    lines.insert(lines.end(), walked.begin(), walked.end());
    return lines;
  }

  const std::map<std::string, CDatabaseItemPtr>& folders() const { return folders_; }
  const std::map<std::string, CDatabaseItemPtr>& files() const { return files_; }

 private:
  void AddMissing(const std::string& folder) {
    if (folders_.count(folder))
      return;
    AddMissing(ParentOf(folder));
    folders_[folder] = Item(0);
  }

  // Moves `from` (when `withItself`) and everything beneath it to `to`; an empty `to` deletes them.
  static void Move(std::map<std::string, CDatabaseItemPtr>& entries, const std::string& from,
                   const std::string& to, bool withItself) {
    std::map<std::string, CDatabaseItemPtr> moved;
    for (auto entry = entries.begin(); entry != entries.end();) {
      if ((withItself && entry->first == from) || IsBeneath(entry->first, from)) {
        moved[to + entry->first.substr(from.size())] = entry->second;
        entry = entries.erase(entry);
      } else {
        ++entry;
      }
    }
    if (!to.empty())
      entries.insert(moved.begin(), moved.end());
  }

  std::map<std::string, CDatabaseItemPtr> folders_;
  std::map<std::string, CDatabaseItemPtr> files_;
};

// A database's answers in the model's form. Row ids differ between the layouts; each is checked
// against the database's own lookups instead.
class Answers {
 public:
  explicit Answers(CPathDatabase& db) : db_(db) {}

  std::string ItemLine(const std::string& path) {
    CDatabaseItemPtr item;
    const CYaError error = db_.QueryItem(path, item);
    if (error.IsError())
      return "item " + path + ": error " + std::to_string(Outcome(error));
    ExpectLookupId(*item);
    return "item " + path + ": " + Describe(*item);
  }

  Lines ListLines(const std::string& folder) { return ListLines(folder, folder, 0); }

  // The listing of `folder` asked for as `path` with the id `folderId` (0: looked up from `path`).
  Lines ListLines(const std::string& folder, const std::string& path, int64_t folderId) {
    std::list<CDatabaseItemPtr> items;
    const CYaError error = db_.QueryFolderItems(path, folderId, items);
    if (error.IsError())
      return {"list " + folder + ": error " + std::to_string(Outcome(error))};
    Lines lines;
    for (const CDatabaseItemPtr& item : items) {
      ExpectLookupId(*item);
      lines.push_back("list " + folder + ": " + Describe(*item));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  Lines SelectedLines() {
    CDatabaseItemIteratorPtr iterator;
    const CYaError error = db_.QuerySelectedFolders(iterator);
    if (error.IsError())
      return {"selected folders: " + error.AsString()};
    Lines lines;
    for (const CDatabaseItemPtr& folder : Walk(iterator)) {
      ExpectLookupId(*folder);
      lines.push_back("selected " + Describe(*folder));
      EXPECT_OK(db_.QuerySelectedFiles(folder->GetFullyQualifiedPath(), iterator));
      for (const CDatabaseItemPtr& file : Walk(iterator)) {
        ExpectLookupId(*file);
        lines.push_back("  selected " + Describe(*file));
      }
      // A walk's folder listed by its path and id, as a consumer of the walk would list it.
      const std::string path = folder->GetFullyQualifiedPath();
      for (const std::string& line : ListLines(path.empty() ? "/" : path, path, folder->GetId())) {
        lines.push_back("  " + line);
      }
    }
    return lines;
  }

  // As TreeModel::Everything, for the folders the model holds.
  Lines Everything(const std::set<std::string>& paths, const TreeModel& model) {
    Lines lines;
    for (const std::string& path : paths)
      lines.push_back(ItemLine(path));
    for (const auto& entry : model.folders()) {
      const Lines listed = ListLines(entry.first);
      lines.insert(lines.end(), listed.begin(), listed.end());
    }
    const Lines walked = SelectedLines();
    lines.insert(lines.end(), walked.begin(), walked.end());
    return lines;
  }

 private:
  // The row id an item carries is the one the lookups give for its path.
  void ExpectLookupId(const CDatabaseItem& item) {
    int64_t id = -1;
    int64_t folderId = -1;
    std::string path = item.GetFullyQualifiedPath();
    if (item.IsDirectory() && (path.empty() || path.back() != '/'))
      path += '/';
    const CYaError error =
        item.IsDirectory() ? db_.QueryFolderId(path, id) : db_.QueryFileId(path, id, folderId);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(id, item.GetId()) << Describe(item);
  }

  CPathDatabase& db_;
};

// The first line where two answers differ.
::testing::AssertionResult SameLines(const Lines& expected, const Lines& actual) {
  for (size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
    const std::string e = i < expected.size() ? expected[i] : "(nothing)";
    const std::string a = i < actual.size() ? actual[i] : "(nothing)";
    if (e != a)
      return ::testing::AssertionFailure() << "line " << i << "\n  expected: " << e << "\n  actual:   " << a;
  }
  return ::testing::AssertionSuccess();
}

const char* const kNames[] = {"a", "A", "b", "ab", "a b", "a-b", "a.txt", "x_y", "xzy", "%", "p%q", "B c"};

std::string RandomName(Random& random) {
  return kNames[random.Below(sizeof(kNames) / sizeof(kNames[0]))];
}

std::string AnyOf(const std::map<std::string, CDatabaseItemPtr>& entries, Random& random) {
  auto entry = entries.begin();
  std::advance(entry, random.Below(static_cast<uint32_t>(entries.size())));
  return entry->first;
}

// Mostly a new name in a recorded folder (so that siblings meet), otherwise a path of up to three
// components that may have no recorded ancestor.
std::string NewPath(const TreeModel& model, Random& random) {
  if (!random.OneIn(3))
    return Join(AnyOf(model.folders(), random), RandomName(random));
  std::string path;
  for (uint32_t depth = random.Below(3) + 1; depth > 0; --depth)
    path += "/" + RandomName(random);
  return path;
}

// How a caller may spell the path: repeated separators, and a trailing one for folders.
std::string Spell(const std::string& path, bool folder, Random& random) {
  std::string spelled = path;
  if (random.OneIn(8))
    spelled.insert(spelled.rfind('/'), "/");
  if (folder && random.OneIn(5))
    spelled += "/";
  return spelled;
}

Operation NextOperation(const TreeModel& model, Random& random) {
  static const Kind kMix[] = {ADD_FILE,    ADD_FILE,    ADD_FILE,      ADD_FILE,      ADD_FILE,
                              ADD_FILE,    ADD_FILE,    ADD_FOLDER,    ADD_FOLDER,    ADD_FOLDER,
                              ADD_FOLDER,  DELETE_FILE, DELETE_FILE,   DELETE_FOLDER, RENAME_FILE,
                              RENAME_FILE, RENAME_FILE, RENAME_FOLDER, RENAME_FOLDER, RENAME_FOLDER,
                              QUERY_ITEM,  QUERY_ITEM,  LIST_FOLDER};
  Operation op;
  op.kind = kMix[random.Below(sizeof(kMix) / sizeof(kMix[0]))];
  const bool existingFile = !model.files().empty() && !random.OneIn(6);
  switch (op.kind) {
    case ADD_FOLDER:
      op.path = random.OneIn(40) ? "/" : NewPath(model, random);
      break;
    case ADD_FILE:
    case QUERY_ITEM:
      op.path = existingFile && random.OneIn(3) ? AnyOf(model.files(), random) : NewPath(model, random);
      break;
    case DELETE_FILE:
    case RENAME_FILE:
      op.path = existingFile ? AnyOf(model.files(), random) : NewPath(model, random);
      break;
    case DELETE_FOLDER:
    case RENAME_FOLDER:
    case LIST_FOLDER:
      op.path = random.OneIn(6) ? NewPath(model, random) : AnyOf(model.folders(), random);
      break;
  }
  if (op.kind == RENAME_FILE || op.kind == RENAME_FOLDER) {
    const auto& sameKind = op.kind == RENAME_FILE ? model.files() : model.folders();
    op.target = random.OneIn(6) ? AnyOf(sameKind, random) : NewPath(model, random);
  }
  const bool folder = op.kind != ADD_FILE && op.kind != DELETE_FILE && op.kind != RENAME_FILE;
  op.spelledPath = Spell(op.path, folder, random);
  op.spelledTarget = op.target.empty() ? "" : Spell(op.target, folder, random);
  const bool rename = op.kind == RENAME_FILE || op.kind == RENAME_FOLDER;
  if (!rename || !random.OneIn(2))
    op.item = Item(random.Below(1000000) + 1, random.OneIn(2));
  return op;
}

CYaError Change(CPathDatabase& db, const Operation& op) {
  switch (op.kind) {
    case ADD_FOLDER:
      return db.AddFolder(op.spelledPath, op.item);
    case ADD_FILE:
      return db.AddFile(op.spelledPath, op.item);
    case DELETE_FILE:
      return db.DeleteFile(op.spelledPath, op.item);
    case DELETE_FOLDER:
      return db.DeleteFolder(op.spelledPath, op.item);
    case RENAME_FILE:
      return db.RenameFile(op.spelledPath, op.spelledTarget, nullptr, op.item);
    case RENAME_FOLDER:
      return db.RenameFolder(op.spelledPath, op.spelledTarget, nullptr, op.item);
    default:
      return CYaError::Success();
  }
}

TEST(LayoutParityTest, GeneratedSequenceGivesTheModelsAnswersInBothLayouts) {
  const int kOperations = 4000;
  const int kCheckEvery = 250;
  fsdbtest::TempDir dir;
  std::unique_ptr<CPathDatabase> full = MakeEngine(FSDB::DATABASE_TYPE_FULL_PATH, dir.File("full.db"));
  std::unique_ptr<CPathDatabase> optimized =
      MakeEngine(FSDB::DATABASE_TYPE_OPTIMIZED, dir.File("optimized.db"));
  ASSERT_OK(full->Open(false));
  ASSERT_OK(optimized->Open(false));
  const std::pair<const char*, CPathDatabase*> layouts[] = {{"full-path", full.get()},
                                                            {"optimized", optimized.get()}};

  TreeModel model;
  Random random(20240611);
  std::set<std::string> used = {"/"};
  std::map<Kind, std::set<int>> outcomes;
  for (int step = 1; step <= kOperations; ++step) {
    const Operation op = NextOperation(model, random);
    const std::string what = "step " + std::to_string(step) + ": " + kKindNames[op.kind] + "(" +
                             op.spelledPath + (op.target.empty() ? "" : ", " + op.spelledTarget) +
                             (op.item ? ", item" : "") + ")";
    const int expected = model.Apply(op);
    outcomes[op.kind].insert(expected);
    used.insert(op.path);
    if (!op.target.empty())
      used.insert(op.target);
    // Every few steps, everything: each path ever used, each folder's listing, both walks.
    const bool everything = step % kCheckEvery == 0 || step == kOperations;
    if (everything) {
      for (const auto& entry : model.folders())
        used.insert(entry.first);
      for (const auto& entry : model.files())
        used.insert(entry.first);
    }
    Lines expectedLines;
    if (op.kind == QUERY_ITEM)
      expectedLines = {model.ItemLine(op.path)};
    if (op.kind == LIST_FOLDER)
      expectedLines = model.ListLines(op.path);
    if (everything)
      expectedLines = model.Everything(used);

    for (const auto& layout : layouts) {
      CPathDatabase& db = *layout.second;
      ASSERT_EQ(expected, Outcome(Change(db, op))) << what << " in the " << layout.first << " layout";
      Answers answers(db);
      Lines lines;
      if (op.kind == QUERY_ITEM)
        lines = {answers.ItemLine(op.path)};
      if (op.kind == LIST_FOLDER)
        lines = answers.ListLines(op.path);
      if (everything) {
        lines = answers.Everything(used, model);
        EXPECT_EQ(Lines({std::to_string(model.folders().size() + 1)}),
                  Rows(db, "SELECT COUNT(*) FROM Folders"));
        EXPECT_EQ(Lines({std::to_string(model.files().size())}), Rows(db, "SELECT COUNT(*) FROM Files"));
      }
      ASSERT_TRUE(SameLines(expectedLines, lines)) << what << " in the " << layout.first << " layout";
    }
  }
  // The sequence met every kind of refusal, so the agreement above covers them.
  auto met = [&outcomes](Kind kind, std::set<int> wanted) {
    return std::includes(outcomes[kind].begin(), outcomes[kind].end(), wanted.begin(), wanted.end());
  };
  EXPECT_TRUE(met(RENAME_FOLDER, {0, 87, 1168, kSQLiteFailure}));
  EXPECT_TRUE(met(RENAME_FILE, {0, 1168, kSQLiteFailure}));
  EXPECT_TRUE(met(DELETE_FOLDER, {0, 87, 1168}));
  EXPECT_TRUE(met(DELETE_FILE, {0, 1168}));
}

}  // namespace
