// Files that are not a scan database of the layout asked for (another program's, another layout's,
// truncated, damaged, immutable): opening them fails with a clear error and leaves them byte for byte.

#include <sqlite3.h>

#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "fsdb/ScanDatabase.h"

namespace {

using FSDB::CScanDatabase;
using FSDB::DatabaseType;

struct ForeignCase {
  const char* name;
  // Writes the file; gets the path of a healthy scan database of the layout to derive it from.
  std::function<void(const std::string& file, const std::string& scan)> make;
  // Whether a writable open of the file must fail too (a file without tables becomes a new database).
  bool writableRefused;
};

void WriteBytes(const std::string& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

void RunSql(const std::string& file, const std::string& sql) {
  FX::CDatabaseBase database;
  database.SetDatabaseName(file);
  ASSERT_OK(database.OpenDatabase());
  ASSERT_OK(database.Execute(sql));
}

const char kScanColumns[] =
    "(Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime BIGINT,LastChangeTime "
    "BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR)";

const ForeignCase kCases[] = {
    {"empty", [](const std::string& f, const std::string&) { WriteBytes(f, ""); }, false},
    {"text", [](const std::string& f, const std::string&) { WriteBytes(f, "name,size\nа,1\n"); }, true},
    {"random",
     [](const std::string& f, const std::string&) {
       std::mt19937 random(7);
       std::string bytes(8192, '\0');
       for (char& byte : bytes)
         byte = static_cast<char>(random());
       WriteBytes(f, bytes);
     },
     true},
    {"another program's tables",
     [](const std::string& f, const std::string&) {
       RunSql(f, "CREATE TABLE Files(path TEXT, size INTEGER); INSERT INTO Files VALUES('/a', 1);");
     },
     true},
    {"Folders without Files",
     [](const std::string& f, const std::string&) {
       RunSql(f,
              "CREATE TABLE Folders(FolderId INTEGER PRIMARY KEY, ParentFolderId INTEGER, "
              "FullyQualifiedPath VARCHAR, FolderName VARCHAR)");
     },
     true},
    {"the other layout",
     [](const std::string& f, const std::string& scan) {
       // Only the name column tells the layouts apart; swap it.
       const std::string bytes = fsdbtest::ReadFileBytes(scan);
       const bool full = bytes.find("FullyQualifiedPath VARCHAR") != std::string::npos;
       RunSql(f, std::string("CREATE TABLE Folders(FolderId INTEGER NOT NULL PRIMARY KEY, ParentFolderId "
                             "INTEGER, ") +
                     (full ? "FolderName" : "FullyQualifiedPath") + " VARCHAR," + (kScanColumns + 1) +
                     "; CREATE TABLE Files(FileId INTEGER NOT NULL PRIMARY KEY, FolderId INTEGER, FileName "
                     "VARCHAR," +
                     (kScanColumns + 1) + ";");
     },
     true},
    {"truncated header",
     [](const std::string& f, const std::string& scan) {
       WriteBytes(f, fsdbtest::ReadFileBytes(scan).substr(0, 60));
     },
     true},
    {"zeroed first page",
     [](const std::string& f, const std::string& scan) {
       std::string bytes = fsdbtest::ReadFileBytes(scan);
       std::fill(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 4096), '\0');
       WriteBytes(f, bytes);
     },
     true},
};

class ForeignFileTest : public ::testing::TestWithParam<DatabaseType> {
 protected:
  // A healthy scan database of the layout, closed, by default in rollback-journal mode so it is one file.
  std::string MakeScan(const std::string& journalMode = "DELETE") {
    const std::string file = dir_.File("scan.db");
    {
      CScanDatabase database(file, GetParam());
      EXPECT_OK(database.Open(false));
      auto item = boost::make_shared<FSDB::CDatabaseItem>();
      EXPECT_OK(item->FormMetadata());
      EXPECT_OK(database.AddFile("/d/f", item));
      EXPECT_OK(database.Close());
    }
    RunSql(file, "PRAGMA journal_mode=" + journalMode + ";");
    return file;
  }

  fsdbtest::ScopedCaptureLog log_{0};
  fsdbtest::TempDir dir_;
};

TEST_P(ForeignFileTest, OpenRefusesWhatIsNoScanDatabaseAndLeavesItByteForByte) {
  const std::string scan = MakeScan();
  int index = 0;
  for (const ForeignCase& kase : kCases) {
    SCOPED_TRACE(kase.name);
    const std::string file = dir_.File("foreign" + std::to_string(index++) + ".db");
    kase.make(file, scan);
    const std::string before = fsdbtest::ReadFileBytes(file);
    for (bool readOnly : {true, false}) {
      if (!readOnly && !kase.writableRefused)
        continue;
      SCOPED_TRACE(readOnly ? "read-only" : "writable");
      CScanDatabase database(file, GetParam(), readOnly);
      const CYaError error = database.Open(false);
      EXPECT_TRUE(error.IsError());
      EXPECT_FALSE(error.GetMessage().empty()) << error.AsString();
      EXPECT_EQ(before, fsdbtest::ReadFileBytes(file));
    }
  }
}

TEST_P(ForeignFileTest, AnotherProgramsTablesAreNamedInTheError) {
  const std::string file = dir_.File("foreign.db");
  RunSql(file, "CREATE TABLE Folders(a); CREATE TABLE Files(b);");
  CScanDatabase database(file, GetParam());
  const CYaError error = database.Open(false);
  EXPECT_WIN32(error, 13);
  EXPECT_NE(std::string::npos,
            error.AsString().find("is not a scan database of this layout: table Folders has "
                                  "the columns (a)"))
      << error.AsString();
}

// Without write access (chattr +i holds also for root): a writable open of a rollback-journal file
// fails, a read-only open reads, in either journal mode, and the file stays byte for byte.
TEST_P(ForeignFileTest, ImmutableScanDatabaseIsReadAndNeverWritten) {
  for (const std::string journalMode : {"DELETE", "WAL"}) {
    SCOPED_TRACE(journalMode);
    const std::string file = MakeScan(journalMode);
    const std::string before = fsdbtest::ReadFileBytes(file);
    fsdbtest::ScopedImmutable immutable(file);
    if (!immutable.IsSet())
      GTEST_SKIP() << "chattr +i is not allowed here: cannot take write access away from root";
    if (journalMode == "DELETE") {  // in WAL mode writes would go to the log, which stays writable
      CScanDatabase writable(file, GetParam());
      const CYaError error = writable.Open(false);
      int code = 0;
      EXPECT_TRUE(FXErrorUtil::IsSQLite(error, &code) && (code & 0xFF) == SQLITE_READONLY)
          << error.AsString();
    }
    CScanDatabase readOnly(file, GetParam(), true);
    ASSERT_OK(readOnly.Open(false));
    FSDB::CDatabaseItemPtr item;
    EXPECT_OK(readOnly.QueryItem("/d/f", item));
    EXPECT_TRUE(readOnly.AddFile("/d/g", item).IsError());
    EXPECT_OK(readOnly.Close());
    EXPECT_EQ(before, fsdbtest::ReadFileBytes(file));
  }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, ForeignFileTest,
                         ::testing::Values(FSDB::DATABASE_TYPE_FULL_PATH, FSDB::DATABASE_TYPE_OPTIMIZED),
                         fsdbtest::LayoutName);

}  // namespace
