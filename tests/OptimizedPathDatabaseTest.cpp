// The optimized layout's own machinery: the component walk of the folder-id lookup and what it caches,
// the id cached when an existing folder is added again, renames that touch one row, and the recursive
// views. Behaviour both layouts share is tested over both in LayoutParityTest.

#include "core/OptimizedPathDatabase.h"

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace {

using FSDB::CDatabaseItem;
using FSDB::CDatabaseItemPtr;
using FSDB::COptimizedPathDatabase;

CDatabaseItemPtr Item(int64_t inode) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetFileId(inode);
  return item;
}

class OptimizedPathDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = std::make_unique<COptimizedPathDatabase>(dir_.File("scan.db"), false);
    ASSERT_OK(db_->Open(false));
  }

  // Each row of `sql`, its columns joined by '|' (NULL as "NULL").
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_->GetHandle(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_->GetHandle());
      return rows;
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(statement.get()); ++i) {
        const unsigned char* text = sqlite3_column_text(statement.get(), i);
        row += (i > 0 ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
      }
      rows.push_back(row);
    }
    return rows;
  }

  // The id of the folder row called `name` (names are unique in these tests).
  std::string RowId(const std::string& name) {
    const std::vector<std::string> rows =
        Rows("SELECT FolderId FROM Folders WHERE FolderName = '" + name + "'");
    return rows.size() == 1 ? rows[0] : "none";
  }

  // The "Searching Folders" lines logged so far, as "parent id|name".
  static std::vector<std::string> Searches(fsdbtest::CaptureLogWriter& log) {
    const std::string head = "Searching Folders with ParentFolderId [";
    std::vector<std::string> searches;
    for (const std::string& text : log.Texts()) {
      if (text.compare(0, head.size(), head) != 0)
        continue;
      const size_t idEnd = text.find(']', head.size());
      const size_t nameBegin = text.find("Name [", idEnd) + 6;
      searches.push_back(text.substr(head.size(), idEnd - head.size()) + "|" +
                         text.substr(nameBegin, text.size() - nameBegin - 1));
    }
    return searches;
  }

  fsdbtest::TempDir dir_;
  std::unique_ptr<COptimizedPathDatabase> db_;
};

TEST_F(OptimizedPathDatabaseTest, LookupWalksFromTheNearestCachedAncestorAndCachesOnlyThePathAsked) {
  ASSERT_OK(db_->AddFolder("/a/b/c/d", Item(1)));
  std::shared_ptr<FSDB::CDatabaseCache> cache = db_->GetDatabaseCache();
  cache->ClearFolderIds();
  fsdbtest::ScopedCaptureLog log(30);

  int64_t id = 0;
  ASSERT_OK(db_->QueryFolderId("/a/b/", id));
  EXPECT_EQ(RowId("b"), std::to_string(id));
  EXPECT_EQ(std::vector<std::string>({"1|/", "2|a", RowId("a") + "|b"}), Searches(log.writer()));
  int64_t cached = 0;
  EXPECT_WIN32(cache->GetFolderId("/a/", cached), 1168);
  EXPECT_WIN32(cache->GetFolderId("/", cached), 1168);

  log->Clear();
  ASSERT_OK(db_->QueryFolderId("/a/b/", id));
  EXPECT_TRUE(Searches(log.writer()).empty());
  EXPECT_EQ(1u, log->Count("Folder [/a/b/] Found in Cache ID :  [" + RowId("b") + "]"));

  // The climb stops at the cached /a/b/; the walk goes on below it.
  log->Clear();
  ASSERT_OK(db_->QueryFolderId("/a/b/c/d", id));
  EXPECT_EQ(RowId("d"), std::to_string(id));
  EXPECT_EQ(std::vector<std::string>({RowId("b") + "|c", RowId("c") + "|d"}), Searches(log.writer()));
  EXPECT_WIN32(cache->GetFolderId("/a/b/c/", cached), 1168);

  ASSERT_OK(db_->QueryFolderId("", id));
  EXPECT_EQ(2, id);
  const CYaError missing = db_->QueryFolderId("/a/x/b", id);
  EXPECT_TRUE(FXErrorUtil::IsWin32(missing, 1168)) << missing.AsString();
  EXPECT_EQ("Folder : [/a/x/b] not found", missing.GetMessage());
}

TEST_F(OptimizedPathDatabaseTest, AddingAnExistingFolderAgainCachesItsOwnId) {
  ASSERT_OK(db_->AddFolder("/p", Item(1)));
  ASSERT_OK(db_->AddFolder("/q", Item(2)));
  ASSERT_OK(db_->AddFolder("/r", Item(3)));
  // The upsert updates /p's row; the connection's last inserted id is still that of /r.
  ASSERT_OK(db_->AddFolder("/p/", Item(4)));
  int64_t cached = 0;
  ASSERT_OK(db_->GetDatabaseCache()->GetFolderId("/p/", cached));
  EXPECT_EQ(RowId("p"), std::to_string(cached));

  ASSERT_OK(db_->AddFile("/p/f", Item(5)));
  ASSERT_OK(db_->AddFolder("/p/sub", Item(6)));
  EXPECT_EQ(std::vector<std::string>({RowId("p") + "|f"}), Rows("SELECT FolderId, FileName FROM Files"));
  EXPECT_EQ(std::vector<std::string>({RowId("p")}),
            Rows("SELECT ParentFolderId FROM Folders WHERE FolderName='sub'"));
  EXPECT_EQ(std::vector<std::string>({"4"}), Rows("SELECT Inode FROM Folders WHERE FolderName = 'p'"));
}

TEST_F(OptimizedPathDatabaseTest, RenameTouchesOneRowWhateverLiesBelow) {
  ASSERT_OK(db_->AddFolder("/a/b/c/d/e", Item(1)));
  ASSERT_OK(db_->AddFile("/a/b/c/d/e/f", Item(2)));
  ASSERT_OK(db_->AddFile("/a/g", Item(3)));
  const std::string others = "SELECT * FROM Folders WHERE FolderId <> " + RowId("a") + " ORDER BY FolderId";
  const std::vector<std::string> before = Rows(others);
  const std::vector<std::string> files = Rows("SELECT * FROM Files ORDER BY FileId");

  const int changesBefore = sqlite3_total_changes(db_->GetHandle());
  ASSERT_OK(db_->RenameFolder("/a", "/z", nullptr, nullptr));
  EXPECT_EQ(1, sqlite3_total_changes(db_->GetHandle()) - changesBefore);
  EXPECT_EQ(before, Rows(others));
  EXPECT_EQ(files, Rows("SELECT * FROM Files ORDER BY FileId"));

  int64_t id = 0;
  ASSERT_OK(db_->QueryFolderId("/z/b/c/d/e", id));
  EXPECT_EQ(RowId("e"), std::to_string(id));
  CDatabaseItemPtr item;
  ASSERT_OK(db_->QueryItem("/z/b/c/d/e/f", item));
  EXPECT_EQ(2, item->GetFileId());
  EXPECT_WIN32(db_->QueryItem("/a", item), 1168);
}

TEST_F(OptimizedPathDatabaseTest, ViewsRebuildPathsFromTheRoot) {
  EXPECT_EQ(std::vector<std::string>({"1|1|-", "2|1|/"}),
            Rows("SELECT FolderId, ParentFolderId, FolderName FROM Folders ORDER BY FolderId"));
  EXPECT_EQ(std::vector<std::string>({"|2"}),
            Rows("SELECT FullyQualifiedPath, FolderId FROM FullyQualifiedFolders"));
  EXPECT_EQ(std::vector<std::string>({"|2"}), Rows("SELECT Path, FolderId FROM FilesystemView"));

  ASSERT_OK(db_->AddFolder("/a/b", Item(7)));
  ASSERT_OK(db_->AddFile("/f", Item(8)));
  ASSERT_OK(db_->AddFile("/a/b/g", Item(9)));
  ASSERT_OK(db_->AddFolder("/a b", Item(10)));
  EXPECT_EQ(std::vector<std::string>({"|NULL", "/a|0", "/a/b|7", "/a b|10"}),
            Rows("SELECT FullyQualifiedPath, Inode FROM FullyQualifiedFolders"));
  EXPECT_EQ(std::vector<std::string>({"|2", "/a|" + RowId("a"), "/a/b|" + RowId("b"), "/a/b/g|" + RowId("b"),
                                      "/a b|" + RowId("a b"), "/f|2"}),
            Rows("SELECT Path, FolderId FROM FilesystemView"));
}

}  // namespace
