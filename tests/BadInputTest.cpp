// Hostile and malformed input across every public operation of both layouts, one by one and in
// bulk-insert mode: no crash, a clear error or a sound result, and afterwards the file is intact and every
// row stored before is unchanged.

#include <sqlite3.h>

#include <list>
#include <string>
#include <tuple>
#include <vector>

#include "TestUtil.h"
#include "core/PathOrdering.h"
#include "fsdb/ScanDatabase.h"

namespace {

using FSDB::CDatabaseItemIteratorPtr;
using FSDB::CDatabaseItemPtr;
using FSDB::CScanDatabase;
using FSDB::DatabaseType;
using Rows = std::vector<std::string>;

struct BadPath {
  const char* name;
  std::string path;
  bool refused;  // whether a change must refuse it (87); otherwise it is recorded under some spelling
};

std::vector<BadPath> BadPaths() {
  std::string deep = "/bad";
  while (deep.size() + 2 <= FSDB::kMaxPathLength)
    deep += "/p";
  return {
      {"empty", "", true},
      {"relative", "bad/x", true},
      {"only separators", "//", false},  // the root: adding updates it, moving or deleting it is refused
      {"repeated separators", "//bad//x//", false},
      {"trailing separator", "/bad/x/", false},
      {"dot dot", "/bad/../keep", true},
      {"dot", "/bad/./x", true},
      {"percent", "/bad/%", false},
      {"underscore", "/bad/_", false},
      {"quotes", "/bad/'q\"; DROP TABLE Files; --", false},
      {"newline", "/bad/new\nline", false},
      {"NUL", std::string("/bad/n\0a", 8), true},
      {"bytes above 127", "/bad/\xc3\xa9t\xc3\xa9", false},
      {"invalid UTF-8", "/bad/\xff\xfe\xc3\x28", false},
      {"255-byte name", "/bad/" + std::string(255, 'n'), false},
      {"4096-byte path", deep, false},
      {"4097-byte path", deep + "x", true},
      {"100 KB path", "/bad/" + std::string(100 * 1024, 'k'), true},
  };
}

CDatabaseItemPtr MakeItem(int64_t n, const std::string& metadata = "") {
  CDatabaseItemPtr item = boost::make_shared<FSDB::CDatabaseItem>();
  item->SetFileId(n);
  item->SetFileSize(n * 10);
  item->SetAsSelected(true);
  EXPECT_OK(item->FormMetadata());
  if (!metadata.empty())
    item->SetMetadata(metadata);
  return item;
}

class BadInputTest : public ::testing::TestWithParam<std::tuple<DatabaseType, bool>> {
 protected:
  void SetUp() override {
    database_ = std::make_unique<CScanDatabase>(file_, std::get<0>(GetParam()));
    ASSERT_OK(database_->Open(false));
    ASSERT_OK(database_->AddFolder("/keep/sub", MakeItem(1)));
    ASSERT_OK(database_->AddFile("/keep/sub/f", MakeItem(2)));
    ASSERT_OK(database_->AddFile("/keep/g%_", MakeItem(3)));
    ASSERT_OK(database_->AddFile("/bad/f", MakeItem(4)));
    ASSERT_OK(database_->AddFolder("/bad/dir", MakeItem(5)));
    if (std::get<1>(GetParam()))
      ASSERT_OK(database_->SetBulkInsertMode(true));
  }
  // The rows below /keep, read over a connection of the test's own.
  Rows KeptRows() {
    FX::CDatabaseBase check(FX::CDatabaseBase::OPEN_READ_ONLY);
    check.SetDatabaseName(file_);
    EXPECT_OK(check.OpenDatabase());
    EXPECT_OK(check.RegisterCollationHandler(SQLITE_UTF8, "PATH_COMPONENTS", sqlite_collation_bypath));
    EXPECT_EQ(Rows{"ok"}, fsdbtest::SelectRows(check, "PRAGMA integrity_check"));
    EXPECT_EQ(Rows{}, fsdbtest::SelectRows(check, "PRAGMA foreign_key_check"));
    const std::string column =
        std::get<0>(GetParam()) == FSDB::DATABASE_TYPE_OPTIMIZED ? "PATH" : "FullyQualifiedPath";
    return fsdbtest::SelectRows(check, "SELECT * FROM FilesystemView WHERE " + column + " LIKE '/keep%'");
  }

  fsdbtest::ScopedCaptureLog log_{-1};
  fsdbtest::TempDir dir_;
  std::string file_ = dir_.File("scan.db");
  std::unique_ptr<CScanDatabase> database_;
};

TEST_P(BadInputTest, EveryOperationCopesWithEveryBadPath) {
  ASSERT_OK(database_->Flush());
  const Rows kept = KeptRows();
  ASSERT_EQ(4u, kept.size());
  int n = 10;
  for (const BadPath& bad : BadPaths()) {
    SCOPED_TRACE(bad.name);
    const std::string& p = bad.path;
    CDatabaseItemPtr item;
    std::list<CDatabaseItemPtr> items;
    CDatabaseItemIteratorPtr walk;
    const int fileNumber = ++n;
    // The folder operations first, then the same path as a file; the listings also name the root "".
    const std::vector<std::tuple<const char*, CYaError, bool>> results = {
        {"AddFile without item", database_->AddFile(p, nullptr), true},
        {"AddFolder without item", database_->AddFolder(p, nullptr), true},
        {"AddFolder", database_->AddFolder(p, MakeItem(++n)), true},
        {"QueryFolderItems", database_->QueryFolderItems(p, 0, items), !p.empty()},
        {"QuerySelectedFiles", database_->QuerySelectedFiles(p, walk), !p.empty()},
        {"RenameFolder from", database_->RenameFolder(p, "/bad/moved", nullptr, nullptr), true},
        {"RenameFolder to", database_->RenameFolder("/bad/dir", p, nullptr, MakeItem(++n)), true},
        {"DeleteFolder", database_->DeleteFolder(p, nullptr), true},
        {"DeleteFolder moved", database_->DeleteFolder("/bad/moved", nullptr), false},
        {"AddFile", database_->AddFile(p, MakeItem(fileNumber)), true},
        {"Flush", database_->Flush(), false},
        {"QueryItem", database_->QueryItem(p, item), true},
        {"RenameFile from", database_->RenameFile(p, "/bad/renamed", nullptr, nullptr), true},
        {"RenameFile to", database_->RenameFile("/bad/f", p, nullptr, nullptr), true},
        {"DeleteFile", database_->DeleteFile(p, nullptr), true},
    };
    for (const auto& [what, error, mustRefuse] : results) {
      // A failure must say what went wrong.
      EXPECT_FALSE(error.IsError() && error.GetMessage().empty()) << what << ": " << error.AsString();
      EXPECT_TRUE(!bad.refused || !mustRefuse || FXErrorUtil::IsWin32(error, 87))
          << what << ": " << error.AsString();
    }
    // A file the path was recorded as reads back as written.
    if (!std::get<1>(results[9]).IsError()) {
      EXPECT_FALSE(bad.refused);
      ASSERT_OK(std::get<1>(results[11]));
      EXPECT_EQ(fileNumber * 10, item->GetFileSize());
    }
    // Put /bad/dir and /bad/f back for the next path.
    ASSERT_OK(database_->AddFolder("/bad/dir", MakeItem(5)));
    ASSERT_OK(database_->AddFile("/bad/f", MakeItem(4)));
  }
  ASSERT_OK(database_->Flush());
  EXPECT_EQ(kept, KeptRows());
  ASSERT_OK(database_->Close());
  EXPECT_EQ(kept, KeptRows());
}

// Metadata is the caller's text: stored and returned as given, XML or not; the values it would carry read
// as 0 when it is not XML.
TEST_P(BadInputTest, MetadataThatIsNotXmlIsStoredAsGiven) {
  const std::string texts[] = {"<Metadata><unclosed", "plain text", "", std::string("a\0b", 3),
                               "<Metadata><Filesystem Links=\"x\"/></Metadata>"};
  int n = 20;
  for (const std::string& text : texts) {
    const std::string path = "/meta/f" + std::to_string(++n);
    CDatabaseItemPtr written = MakeItem(n);
    written->SetMetadata(text);
    ASSERT_OK(database_->AddFile(path, written));
    ASSERT_OK(database_->AddFolder(path + "d", written));
  }
  ASSERT_OK(database_->Flush());
  n = 20;
  for (const std::string& text : texts) {
    const std::string path = "/meta/f" + std::to_string(++n);
    for (const std::string& asked : {path, path + "d"}) {
      CDatabaseItemPtr item;
      ASSERT_OK(database_->QueryItem(asked, item));
      // SQLite text ends at a NUL, as the metadata column is read back.
      EXPECT_EQ(text.substr(0, text.find('\0')), item->GetMetadata()) << asked;
      EXPECT_EQ(n * 10, item->GetFileSize()) << asked;
    }
  }
  ASSERT_OK(database_->Close());
  KeptRows();
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, BadInputTest,
                         ::testing::Combine(::testing::Values(FSDB::DATABASE_TYPE_FULL_PATH,
                                                              FSDB::DATABASE_TYPE_OPTIMIZED),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<DatabaseType, bool>>& info) {
                           return fsdbtest::LayoutName({std::get<0>(info.param), info.index}) +
                                  (std::get<1>(info.param) ? "Bulk" : "OneByOne");
                         });

}  // namespace
