// The full-path layout's own machinery: the folder-id lookup through cache and table, the forms of path
// that the cache and the table answer to, the rewrite of a subtree's paths on rename, and the
// FilesystemView. Behaviour both layouts share is tested over both in LayoutParityTest.

#include "core/FullPathDatabase.h"

#include <sqlite3.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "core/PathOrdering.h"
#include "platform/FXPath.h"

namespace {

using FSDB::CDatabaseItem;
using FSDB::CDatabaseItemPtr;
using Lines = std::vector<std::string>;

CDatabaseItemPtr Item(int64_t inode) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetFileId(inode);
  return item;
}

class FullPathDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_OK(db_->Open(false)); }

  Lines Rows(const std::string& sql) { return fsdbtest::SelectRows(*db_, sql); }
  int64_t TableId(const std::string& storedPath) {
    const Lines rows = Rows("SELECT FolderId FROM Folders WHERE FullyQualifiedPath = '" + storedPath + "'");
    return rows.size() == 1 ? std::stoll(rows[0]) : -1;
  }

  fsdbtest::TempDir dir_;
  std::unique_ptr<FSDB::CFullPathDatabase> db_ =
      std::make_unique<FSDB::CFullPathDatabase>(dir_.File("scan.db"), false);
};

TEST_F(FullPathDatabaseTest, LookupReadsTheTableOnceThenTheCache) {
  ASSERT_OK(db_->AddFolder("/a", Item(1)));
  std::shared_ptr<FSDB::CDatabaseCache> cache = db_->GetDatabaseCache();
  cache->ClearFolderIds();
  const int64_t hits = cache->GetHitCount(), misses = cache->GetMissCount();
  for (int lookup = 0; lookup < 2; ++lookup) {
    int64_t id = 0;
    ASSERT_OK(db_->QueryFolderId("/", id));
    EXPECT_EQ(2, id);
  }
  EXPECT_EQ(1, cache->GetMissCount() - misses);
  EXPECT_EQ(1, cache->GetHitCount() - hits);
  int64_t id = 0;
  ASSERT_OK(db_->QueryFolderId("-", id));
  EXPECT_EQ(1, id);

  // The stored form ends with the separator; without it the table has no such folder.
  ASSERT_OK(db_->QueryFolderId("/a/", id));
  EXPECT_EQ(TableId("/a/"), id);
  id = 77;
  const CYaError missing = db_->QueryFolderId("/a", id);
  EXPECT_TRUE(FXErrorUtil::IsWin32(missing, 1168)) << missing.AsString();
  EXPECT_EQ("Folder : [/a] not found", missing.GetMessage());
  EXPECT_EQ(77, id);
}

// Only the stored form, the one lookups use: a cached "/a/x" would answer where the table does not.
TEST_F(FullPathDatabaseTest, ListingCachesSubfoldersUnderTheirStoredForm) {
  ASSERT_OK(db_->AddFolder("/a/x", Item(1)));
  std::shared_ptr<FSDB::CDatabaseCache> cache = db_->GetDatabaseCache();
  cache->ClearFolderIds();
  int64_t id = 0;
  EXPECT_WIN32(cache->GetFolderId("/a/x/", id), 1168);
  std::list<CDatabaseItemPtr> items;
  ASSERT_OK(db_->QueryFolderItems("/a", 0, items));
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ("/a/x", items.front()->GetFullyQualifiedPath());
  ASSERT_OK(cache->GetFolderId("/a/x/", id));
  EXPECT_EQ(TableId("/a/x/"), id);
  EXPECT_WIN32(db_->QueryFolderId("/a/x", id), 1168);
}

// Each rename changes the folder's own row and its descendants, nothing else: /A/B/d/ differs only in
// letter case, /axb/ and /pz/ would match _ and % taken as wildcards, and /data/x/data/ holds the old
// path a second time.
TEST_F(FullPathDatabaseTest, RenameRewritesOnlyTheLeadingPartOfDescendantPaths) {
  for (const char* path :
       {"/a/b/d/e", "/A/B/d", "/x", "/data/x/data/y", "/a_b/k", "/axb/k", "/p%/q", "/pz/q"})
    ASSERT_OK(db_->AddFolder(path, Item(1)));
  auto changedRows = [this](const char* from, const char* to) {
    const int before = sqlite3_total_changes(db_->GetHandle());
    EXPECT_OK(db_->RenameFolder(from, to, nullptr, nullptr));
    return sqlite3_total_changes(db_->GetHandle()) - before;
  };
  EXPECT_EQ(3, changedRows("/a/b", "/x/c"));
  EXPECT_EQ(4, changedRows("/data", "/new"));
  EXPECT_EQ(2, changedRows("/a_b", "/c_d"));
  EXPECT_EQ(2, changedRows("/p%", "/r"));

  EXPECT_EQ(Lines({"/",      "/A/",     "/A/B/", "/A/B/d/", "/a/",          "/axb/",          "/axb/k/",
                   "/c_d/",  "/c_d/k/", "/new/", "/new/x/", "/new/x/data/", "/new/x/data/y/", "/pz/",
                   "/pz/q/", "/r/",     "/r/q/", "/x/",     "/x/c/",        "/x/c/d/",        "/x/c/d/e/",
                   "-"}),
            Rows("SELECT FullyQualifiedPath FROM Folders ORDER BY FullyQualifiedPath"));
  // Every folder still lies directly under its parent's path.
  for (const std::string& row : Rows("SELECT C.FullyQualifiedPath, P.FullyQualifiedPath FROM Folders C JOIN "
                                     "Folders P ON C.ParentFolderId = P.FolderId WHERE C.FolderId > 2")) {
    std::string parent, name;
    ASSERT_OK(FXPath::SplitParentPath(row.substr(0, row.find('|')), parent, name));
    EXPECT_EQ(row.substr(row.find('|') + 1), parent) << row;
  }
}

TEST_F(FullPathDatabaseTest, FilesystemViewListsFoldersAndFilesInPathOrder) {
  ASSERT_OK(db_->AddFile("/a/b/c", Item(3)));
  ASSERT_OK(db_->AddFile("/a/b.txt", Item(4)));
  EXPECT_EQ(Lines({"/|NULL", "/a/|0", "/a/b/|0", "/a/b/c|3", "/a/b.txt|4", "-|NULL"}),
            Rows("SELECT FullyQualifiedPath, Inode FROM FilesystemView"));
}

}  // namespace
