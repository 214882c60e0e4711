// The full-path layout's own machinery: the folder-id lookup through cache and table, the forms of
// path that the cache and the table answer to, the rewrite of a subtree's paths on rename, and the
// FilesystemView. Behaviour both layouts share is tested over both in LayoutParityTest.

#include "core/FullPathDatabase.h"

#include <sqlite3.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "core/PathOrdering.h"

namespace {

using FSDB::CDatabaseItem;
using FSDB::CDatabaseItemPtr;
using FSDB::CFullPathDatabase;

CDatabaseItemPtr Item(int64_t inode) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetFileId(inode);
  return item;
}

class FullPathDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = std::make_unique<CFullPathDatabase>(dir_.File("scan.db"), false);
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

  int64_t TableId(const std::string& storedPath) {
    const std::vector<std::string> rows =
        Rows("SELECT FolderId FROM Folders WHERE FullyQualifiedPath = '" + storedPath + "'");
    return rows.size() == 1 ? std::stoll(rows[0]) : -1;
  }

  fsdbtest::TempDir dir_;
  std::unique_ptr<CFullPathDatabase> db_;
};

TEST_F(FullPathDatabaseTest, LookupReadsTheTableOnceThenTheCache) {
  ASSERT_OK(db_->AddFolder("/a", Item(1)));
  db_->GetDatabaseCache()->ClearFolderIds();
  fsdbtest::ScopedCaptureLog log(30);
  int64_t id = 0;
  ASSERT_OK(db_->QueryFolderId("/", id));
  EXPECT_EQ(2, id);
  EXPECT_EQ(1u, log->Count("Folder [/] Not Found in Cache"));
  id = 0;
  ASSERT_OK(db_->QueryFolderId("/", id));
  EXPECT_EQ(2, id);
  EXPECT_EQ(1u, log->Count("Folder [/] Found in Cache ID :  [2]"));
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

TEST_F(FullPathDatabaseTest, ListingCachesSubfoldersUnderTheirStoredForm) {
  ASSERT_OK(db_->AddFolder("/a/x", Item(1)));
  ASSERT_OK(db_->AddFile("/a/f", Item(5)));
  fsdbtest::ScopedCaptureLog log(30);
  int64_t id = 0;
  ASSERT_OK(db_->QueryFolderId("/a/x/", id));
  EXPECT_EQ(1u, log->Count("Folder [/a/x/] Not Found in Cache"));
  db_->GetDatabaseCache()->ClearFolderIds();

  std::list<CDatabaseItemPtr> items;
  ASSERT_OK(db_->QueryFolderItems("/a", 0, items));
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ("/a/x", items.front()->GetFullyQualifiedPath());
  EXPECT_EQ("x", items.front()->GetFileName());
  EXPECT_TRUE(items.front()->IsDirectory());
  EXPECT_EQ("/a/f", items.back()->GetFullyQualifiedPath());
  EXPECT_EQ("f", items.back()->GetFileName());
  EXPECT_FALSE(items.back()->IsDirectory());
  EXPECT_EQ(5, items.back()->GetFileId());

  // The listing filled the cache under the stored form: the cache and the table agree on both forms.
  log->Clear();
  ASSERT_OK(db_->QueryFolderId("/a/x/", id));
  EXPECT_EQ(TableId("/a/x/"), id);
  EXPECT_EQ(1u, log->Count("Folder [/a/x/] Found in Cache"));
  EXPECT_WIN32(db_->QueryFolderId("/a/x", id), 1168);

  // A given id is used as it is; the path only names the files.
  std::list<CDatabaseItemPtr> elsewhere;
  ASSERT_OK(db_->QueryFolderItems("/elsewhere", TableId("/a/"), elsewhere));
  ASSERT_EQ(2u, elsewhere.size());
  EXPECT_EQ("/elsewhere/f", elsewhere.back()->GetFullyQualifiedPath());
  EXPECT_WIN32(db_->QueryFolderItems("/missing", 0, elsewhere), 1168);
  EXPECT_EQ(2u, elsewhere.size());
}

TEST_F(FullPathDatabaseTest, RenameRewritesOnlyTheLeadingPartOfDescendantPaths) {
  for (const char* path :
       {"/a/b/d/e", "/A/B/d", "/x", "/data/x/data/y", "/a_b/k", "/axb/k", "/p%/q", "/pz/q"}) {
    ASSERT_OK(db_->AddFolder(path, Item(1)));
  }
  const int64_t idOfD = TableId("/a/b/d/");

  // Each rename changes the folder's own row and its descendants, nothing else: /A/B/d/ differs only
  // in letter case, /axb/ and /pz/ would match _ and % taken as wildcards.
  auto changedRows = [this](const char* from, const char* to) {
    const int before = sqlite3_total_changes(db_->GetHandle());
    EXPECT_OK(db_->RenameFolder(from, to, nullptr, nullptr));
    return sqlite3_total_changes(db_->GetHandle()) - before;
  };
  EXPECT_EQ(3, changedRows("/a/b", "/x/c"));
  int64_t id = 0;
  ASSERT_OK(db_->QueryFolderId("/x/c/d/", id));
  EXPECT_EQ(idOfD, id);
  EXPECT_EQ(4, changedRows("/data", "/new"));
  EXPECT_EQ(2, changedRows("/a_b", "/c_d"));
  EXPECT_EQ(2, changedRows("/p%", "/r"));

  EXPECT_EQ(std::vector<std::string>(
                {"/",      "/A/",     "/A/B/", "/A/B/d/", "/a/",          "/axb/",          "/axb/k/",
                 "/c_d/",  "/c_d/k/", "/new/", "/new/x/", "/new/x/data/", "/new/x/data/y/", "/pz/",
                 "/pz/q/", "/r/",     "/r/q/", "/x/",     "/x/c/",        "/x/c/d/",        "/x/c/d/e/",
                 "-"}),
            Rows("SELECT FullyQualifiedPath FROM Folders ORDER BY FullyQualifiedPath"));
  // Every folder still lies directly under its parent's path.
  for (const std::string& row : Rows("SELECT C.FullyQualifiedPath, P.FullyQualifiedPath FROM Folders C JOIN "
                                     "Folders P ON C.ParentFolderId = P.FolderId WHERE C.FolderId > 2")) {
    const std::string child = row.substr(0, row.find('|'));
    std::string parent;
    std::string name;
    ASSERT_OK(FSDB::SplitPath(child, parent, name));
    EXPECT_EQ(row.substr(row.find('|') + 1), parent) << child;
  }
}

TEST_F(FullPathDatabaseTest, FilesystemViewListsFoldersAndFilesInPathOrder) {
  ASSERT_OK(db_->AddFile("/a/b/c", Item(3)));
  ASSERT_OK(db_->AddFile("/a/b.txt", Item(4)));
  EXPECT_EQ(std::vector<std::string>({"/|NULL", "/a/|0", "/a/b/|0", "/a/b/c|3", "/a/b.txt|4", "-|NULL"}),
            Rows("SELECT FullyQualifiedPath, Inode FROM FilesystemView"));
}

}  // namespace
