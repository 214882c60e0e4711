// A full disk, on a small tmpfs the test mounts: the failing call returns SQLITE_FULL, no call reports
// success for data that is not stored, and once space is freed the database opens and holds every row
// whose call succeeded. Skipped where mounting is not allowed.

#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "core/PathOrdering.h"
#include "fsdb/ScanDatabase.h"

namespace {

using FSDB::CDatabaseItemPtr;
using FSDB::CScanDatabase;
using FSDB::DatabaseType;

CDatabaseItemPtr MakeItem(int64_t n) {
  CDatabaseItemPtr item = boost::make_shared<FSDB::CDatabaseItem>();
  item->SetFileId(n);
  item->SetFileSize(n * 10);
  item->SetChangeTime(n + 3);
  EXPECT_OK(item->FormMetadata());
  // A longer row fills the disk sooner.
  item->SetMetadata(item->GetMetadata() + std::string(300, static_cast<char>('a' + n % 26)));
  return item;
}

bool IsFull(const CYaError& error) {
  int code = 0;
  return FXErrorUtil::IsSQLite(error, &code) && (code & 0xFF) == SQLITE_FULL;
}

class DiskFullTest : public ::testing::TestWithParam<DatabaseType> {
 protected:
  void SetUp() override {
    mountPoint_ = dir_.File("disk");
    ASSERT_EQ(0, mkdir(mountPoint_.c_str(), 0755));
    if (mount("tmpfs", mountPoint_.c_str(), "tmpfs", 0, "size=4m") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here (needs root with CAP_SYS_ADMIN): disk-full tests skipped";
    mounted_ = true;
    file_ = mountPoint_ + "/scan.db";
  }
  void TearDown() override {
    database_.reset();
    if (mounted_ && umount(mountPoint_.c_str()) != 0)
      ADD_FAILURE() << "cannot unmount " << mountPoint_;
  }

  void Open() {
    database_ = std::make_unique<CScanDatabase>(file_, GetParam());
    database_->SetJournalInMemory(journalInMemory_);
    ASSERT_OK(database_->Open(false));
  }
  // Fills the disk with a filler file, then frees `reserve` bytes of it.
  void FillDisk(long reserve) {
    const std::string filler = mountPoint_ + "/filler";
    std::ofstream out(filler, std::ios::binary | std::ios::app);
    const std::string block(4096, 'x');
    while (out.write(block.data(), block.size()) && out.flush()) {
    }
    const long size = static_cast<long>(fsdbtest::ReadFileBytes(filler).size());
    ASSERT_EQ(0, truncate(filler.c_str(), size > reserve ? size - reserve : 0));
  }
  void FreeDisk() { ASSERT_EQ(0, unlink((mountPoint_ + "/filler").c_str())); }
  void BulkScanRecovers();

  // Closes, reopens writable and checks the file: integrity, foreign keys, the unique file index, and
  // every file in `stored` present with its values.
  void ExpectStored(const std::vector<std::pair<std::string, int>>& stored) {
    ASSERT_OK(database_->Close());
    database_.reset();
    Open();
    FX::CDatabaseBase check(FX::CDatabaseBase::OPEN_READ_ONLY);
    check.SetDatabaseName(file_);
    ASSERT_OK(check.OpenDatabase());
    ASSERT_OK(check.RegisterCollationHandler(SQLITE_UTF8, "PATH_COMPONENTS", sqlite_collation_bypath));
    EXPECT_EQ((std::vector<std::string>{"ok", "0", "1"}),
              fsdbtest::SelectRows(check,
                                   "SELECT * FROM pragma_integrity_check UNION ALL SELECT COUNT(*) FROM "
                                   "pragma_foreign_key_check UNION ALL SELECT COUNT(*) FROM sqlite_master "
                                   "WHERE name='index_files_folderidfilename'"));
    for (const auto& [path, n] : stored) {
      CDatabaseItemPtr item;
      ASSERT_OK(database_->QueryItem(path, item));
      EXPECT_EQ(n * 10, item->GetFileSize()) << path;
    }
  }

  fsdbtest::ScopedCaptureLog log_{-1};
  fsdbtest::TempDir dir_;
  std::string mountPoint_;
  std::string file_;
  bool mounted_ = false;
  bool journalInMemory_ = false;
  std::unique_ptr<CScanDatabase> database_;
};

// Outside bulk-insert mode each call commits on its own: it succeeds and is stored, or it fails with
// SQLITE_FULL and leaves nothing.
TEST_P(DiskFullTest, EveryAddThatSucceededIsStored) {
  Open();
  FillDisk(96 * 1024);
  std::vector<std::pair<std::string, int>> stored;
  int failures = 0;
  for (int i = 0; i < 4000 && failures < 20; ++i) {
    const std::string path = "/d" + std::to_string(i / 7) + "/f" + std::to_string(i);
    const CYaError error = database_->AddFile(path, MakeItem(i));
    if (!error.IsError()) {
      stored.emplace_back(path, i);
    } else {
      EXPECT_TRUE(IsFull(error)) << error.AsString();
      ++failures;
    }
  }
  ASSERT_EQ(20, failures) << "the disk never filled up";
  ASSERT_FALSE(stored.empty());
  FreeDisk();
  ExpectStored(stored);
  ASSERT_OK(database_->AddFile("/after/f", MakeItem(1)));
}

// A move of a large tree is one transaction: on a full disk it fails and nothing moved.
TEST_P(DiskFullTest, FolderMoveIsAllOrNothing) {
  Open();
  ASSERT_OK(database_->SetBulkInsertMode(true));
  for (int i = 0; i < 1500; ++i)
    ASSERT_OK(
        database_->AddFolder("/tree/s" + std::to_string(i % 30) + "/t" + std::to_string(i), MakeItem(i)));
  ASSERT_OK(database_->AddFile("/tree/s3/t3/f", MakeItem(5)));
  ASSERT_OK(database_->Close());
  database_.reset();
  Open();
  FillDisk(0);
  const CYaError error = database_->RenameFolder("/tree", "/moved", nullptr, nullptr);
  ASSERT_TRUE(error.IsError()) << "a move of 1500 folders fitted on a full disk";
  EXPECT_TRUE(IsFull(error)) << error.AsString();
  CDatabaseItemPtr item;
  EXPECT_OK(database_->QueryItem("/tree/s3/t3/f", item));
  EXPECT_WIN32(database_->QueryItem("/moved/s3/t3/f", item), 1168);
  FreeDisk();
  ExpectStored({{"/tree/s3/t3/f", 5}});
  EXPECT_WIN32(database_->QueryItem("/moved", item), 1168);
  ASSERT_OK(database_->RenameFolder("/tree", "/moved", nullptr, nullptr));
  EXPECT_OK(database_->QueryItem("/moved/s29/t1499", item));
}

// A batch that cannot be written is reported by the AddFile that triggered it; the object does not
// wedge: once space is freed, Flush and Close write every file accepted since the last good flush.
// With the journal in memory too: the failed batch still rolls back out of the file.
TEST_P(DiskFullTest, BulkScanRecoversOnceSpaceIsFreed) {
  BulkScanRecovers();
}
TEST_P(DiskFullTest, BulkScanWithItsJournalInMemoryRecoversOnceSpaceIsFreed) {
  journalInMemory_ = true;
  BulkScanRecovers();
}

void DiskFullTest::BulkScanRecovers() {
  Open();
  ASSERT_OK(database_->SetBulkInsertMode(true));
  std::vector<std::pair<std::string, int>> accepted;
  int n = 0;
  auto add = [&]() {
    const std::string path = "/b" + std::to_string(n / 40) + "/f" + std::to_string(n);
    const CYaError error = database_->AddFile(path, MakeItem(n));
    if (!error.IsError())
      accepted.emplace_back(path, n);
    ++n;
    return error;
  };
  for (int i = 0; i < 500; ++i)
    ASSERT_OK(add());
  ASSERT_OK(database_->Flush());
  FillDisk(64 * 1024);
  CYaError failure;
  while (n < 20000 && !failure.IsError())
    failure = add();
  ASSERT_TRUE(failure.IsError()) << "the disk never filled up";
  EXPECT_TRUE(IsFull(failure)) << failure.AsString();
  for (int i = 0; i < 100; ++i)  // new folders on top of the rolled-back batch
    (void)add();
  EXPECT_TRUE(database_->Flush().IsError());
  FreeDisk();
  ASSERT_OK(database_->Flush());
  ASSERT_OK(add());
  ExpectStored(accepted);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, DiskFullTest,
                         ::testing::Values(FSDB::DATABASE_TYPE_FULL_PATH, FSDB::DATABASE_TYPE_OPTIMIZED),
                         fsdbtest::LayoutName);

}  // namespace
