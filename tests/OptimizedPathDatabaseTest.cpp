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
using Lines = std::vector<std::string>;

CDatabaseItemPtr Item(int64_t inode) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetFileId(inode);
  return item;
}

class OptimizedPathDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_OK(db_->Open(false)); }

  Lines Rows(const std::string& sql) { return fsdbtest::SelectRows(*db_, sql); }
  // The id of the folder row called `name` (names are unique in these tests).
  std::string RowId(const std::string& name) {
    const Lines rows = Rows("SELECT FolderId FROM Folders WHERE FolderName = '" + name + "'");
    return rows.size() == 1 ? rows[0] : "none";
  }

  // The searches for one component below a parent, logged so far; and such a line.
  Lines Searches() {
    Lines searches;
    for (const std::string& text : log_->Texts())
      if (text.rfind("Searching Folders ", 0) == 0)
        searches.push_back(text);
    log_->Clear();
    return searches;
  }
  static std::string Search(const std::string& parentId, const std::string& name) {
    return "Searching Folders with ParentFolderId [" + parentId + "] and Name [" + name + "]";
  }

  fsdbtest::ScopedCaptureLog log_{30};
  fsdbtest::TempDir dir_;
  std::unique_ptr<FSDB::COptimizedPathDatabase> db_ =
      std::make_unique<FSDB::COptimizedPathDatabase>(dir_.File("scan.db"), false);
};

// One walk from the root down, linear in the depth: the leading folders' ids come from the cache, each
// other folder costs one search, and the folders found are cached for the next lookup.
TEST_F(OptimizedPathDatabaseTest, LookupWalksDownOnceReusingAndCachingTheFoldersItPasses) {
  ASSERT_OK(db_->AddFolder("/a/b/c/d", Item(1)));
  std::shared_ptr<FSDB::CDatabaseCache> cache = db_->GetDatabaseCache();
  cache->ClearFolderIds();
  (void)Searches();

  int64_t id = 0, cached = 0;
  ASSERT_OK(db_->QueryFolderId("/a/b/", id));
  EXPECT_EQ(RowId("b"), std::to_string(id));
  EXPECT_EQ(Lines({Search("1", "/"), Search("2", "a"), Search(RowId("a"), "b")}), Searches());
  ASSERT_OK(cache->GetFolderId("/a/", cached));
  EXPECT_EQ(RowId("a"), std::to_string(cached));

  const int64_t hits = cache->GetHitCount(), misses = cache->GetMissCount();
  ASSERT_OK(db_->QueryFolderId("/a/b/", id));
  EXPECT_EQ(RowId("b"), std::to_string(id));
  EXPECT_EQ(1, cache->GetHitCount() - hits);
  EXPECT_EQ(misses, cache->GetMissCount());
  EXPECT_EQ(Lines(), Searches());

  // /, /a/ and /a/b/ come from the cache; the walk searches below them.
  ASSERT_OK(db_->QueryFolderId("/a//b/c/d", id));
  EXPECT_EQ(RowId("d"), std::to_string(id));
  EXPECT_EQ(Lines({Search(RowId("b"), "c"), Search(RowId("c"), "d")}), Searches());
  EXPECT_WIN32(cache->GetFolderId("/a//b/c/d", cached), 1168);  // an unusual spelling is not cached

  ASSERT_OK(db_->QueryFolderId("", id));
  EXPECT_EQ(2, id);
  const CYaError missing = db_->QueryFolderId("/a/x/b", id);
  EXPECT_TRUE(FXErrorUtil::IsWin32(missing, 1168)) << missing.AsString();
  EXPECT_EQ("Folder : [/a/x/b] not found", missing.GetMessage());
  EXPECT_EQ(Lines({Search(RowId("a"), "x")}), Searches());  // the walk stops at the first missing folder
}

// The upsert updates /p's row while the connection's last inserted id is still that of /r.
TEST_F(OptimizedPathDatabaseTest, AddingAnExistingFolderAgainCachesItsOwnId) {
  for (const char* path : {"/p", "/q", "/r"})
    ASSERT_OK(db_->AddFolder(path, Item(1)));
  ASSERT_OK(db_->AddFolder("/p/", Item(4)));
  int64_t cached = 0;
  ASSERT_OK(db_->GetDatabaseCache()->GetFolderId("/p/", cached));
  EXPECT_EQ(RowId("p"), std::to_string(cached));

  ASSERT_OK(db_->AddFile("/p/f", Item(5)));
  EXPECT_EQ(Lines{RowId("p") + "|f"}, Rows("SELECT FolderId, FileName FROM Files"));
  EXPECT_EQ(Lines{"4"}, Rows("SELECT Inode FROM Folders WHERE FolderName = 'p'"));
}

TEST_F(OptimizedPathDatabaseTest, RenameTouchesOneRowWhateverLiesBelow) {
  ASSERT_OK(db_->AddFolder("/a/b/c/d/e", Item(1)));
  ASSERT_OK(db_->AddFile("/a/b/c/d/e/f", Item(2)));
  ASSERT_OK(db_->AddFile("/a/g", Item(3)));
  const std::string others = "SELECT * FROM Folders WHERE FolderId <> " + RowId("a") + " ORDER BY FolderId";
  const Lines before = Rows(others), files = Rows("SELECT * FROM Files ORDER BY FileId");

  const int changesBefore = sqlite3_total_changes(db_->GetHandle());
  ASSERT_OK(db_->RenameFolder("/a", "/z", nullptr, nullptr));
  EXPECT_EQ(1, sqlite3_total_changes(db_->GetHandle()) - changesBefore);
  EXPECT_EQ(before, Rows(others));
  EXPECT_EQ(files, Rows("SELECT * FROM Files ORDER BY FileId"));

  CDatabaseItemPtr item;
  ASSERT_OK(db_->QueryItem("/z/b/c/d/e/f", item));
  EXPECT_EQ(2, item->GetFileId());
  EXPECT_WIN32(db_->QueryItem("/a", item), 1168);
}

TEST_F(OptimizedPathDatabaseTest, ViewsRebuildPathsFromTheRoot) {
  EXPECT_EQ(Lines({"1|1|-", "2|1|/"}),
            Rows("SELECT FolderId, ParentFolderId, FolderName FROM Folders ORDER BY FolderId"));
  EXPECT_EQ(Lines{"|2"}, Rows("SELECT FullyQualifiedPath, FolderId FROM FullyQualifiedFolders"));
  EXPECT_EQ(Lines{"|2"}, Rows("SELECT Path, FolderId FROM FilesystemView"));

  ASSERT_OK(db_->AddFolder("/a/b", Item(7)));
  ASSERT_OK(db_->AddFile("/f", Item(8)));
  ASSERT_OK(db_->AddFile("/a/b/g", Item(9)));
  ASSERT_OK(db_->AddFolder("/a b", Item(10)));
  EXPECT_EQ(Lines({"|NULL", "/a|0", "/a/b|7", "/a b|10"}),
            Rows("SELECT FullyQualifiedPath, Inode FROM FullyQualifiedFolders"));
  EXPECT_EQ(Lines({"|2", "/a|" + RowId("a"), "/a/b|" + RowId("b"), "/a/b/g|" + RowId("b"),
                   "/a b|" + RowId("a b"), "/f|2"}),
            Rows("SELECT Path, FolderId FROM FilesystemView"));
}

}  // namespace
