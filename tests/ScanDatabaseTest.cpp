// The facade: the exported factory as a loading program reaches it, and a whole scan recorded in bulk-insert
// mode and read back.

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <list>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "core/PathOrdering.h"
#include "fsdb/ScanDatabase.h"
#include "platform/SQLiteDatabase.h"

namespace FSDB {
namespace {

using Lines = std::vector<std::string>;

// The first column of every row of `sql` on `folder`/scan.db, read over a connection of the test's own
// with the path collation, without the engine's open steps (which would repair what they find).
Lines Column(const std::string& folder, const std::string& sql) {
  FX::CDatabaseBase database;
  database.SetDatabasePath(folder);
  database.SetDatabaseName("scan.db");
  EXPECT_OK(database.OpenDatabase());
  EXPECT_OK(database.RegisterCollationHandler(1, "PATH_COMPONENTS", sqlite_collation_bypath));
  return fsdbtest::SelectRows(database, sql);
}

class FactoryTest : public ::testing::TestWithParam<int> {};

// Type 1 makes the optimized layout, every other type the full-path one. Destroying an open database closes
// it: the queued files reach the table and the unique file index is back.
TEST_P(FactoryTest, TypeOneMakesTheOptimizedLayoutAndDestroyingAnOpenDatabaseClosesIt) {
  // Reached the way a loading program reaches it; the library stays loaded (objects it made may outlive a
  // failed test) and its own log writer is captured.
  void* library = dlopen(FSDB_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto get = reinterpret_cast<decltype(&GetDatabaseObject)>(dlsym(library, "GetDatabaseObject"));
  auto destroy = reinterpret_cast<decltype(&DestroyDatabaseObject)>(dlsym(library, "DestroyDatabaseObject"));
  auto writer = static_cast<boost::shared_ptr<CLogWriterInterface>*>(dlsym(library, "g_ptrLogWriter"));
  ASSERT_TRUE(get && destroy && writer);
  auto log = boost::make_shared<fsdbtest::CaptureLogWriter>(2);
  *writer = log;
  const fsdbtest::TempDir dir;
  const DatabaseType type = static_cast<DatabaseType>(GetParam());
  CScanDatabaseBase* database = get(dir.File("scan.db"), type, false);
  ASSERT_NE(database, nullptr);
  ASSERT_OK(database->Open(false));
  ASSERT_OK(database->SetBulkInsertMode(true));
  for (const char* path : {"/a/f", "/a/g", "/b/h"})
    ASSERT_OK(database->AddFile(path, boost::make_shared<CDatabaseItem>()));
  destroy(database);
  EXPECT_EQ(log->Count("Closing the database."), 1u);
  EXPECT_EQ(Column(dir.path(), "SELECT FileName FROM Files ORDER BY FileName"), (Lines{"f", "g", "h"}));
  EXPECT_EQ(Column(dir.path(), "SELECT name FROM sqlite_master WHERE name='index_files_folderidfilename'"),
            Lines{"index_files_folderidfilename"});
  EXPECT_EQ(Column(dir.path(), "SELECT name FROM pragma_table_info('Folders') WHERE cid = 2"),
            Lines{type == 1 ? "FolderName" : "FullyQualifiedPath"});
  destroy(get(dir.File("never.db"), type, false));  // making and destroying opens nothing
  EXPECT_NE(access(dir.File("never.db").c_str(), F_OK), 0);
  destroy(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Types, FactoryTest, ::testing::Values(0, 1, 2, -1, 77));

// Names that exercise the path order (blanks, '-', '.', letter case, bytes above 127).
std::string FolderName(int i) {
  const char* const prefixes[] = {"dir ", "d-", "d.e", "D\xC3\xA9", "d", "d", "d"};
  return prefixes[i % 7] + std::to_string(i);
}
std::string FileName(int j) {
  const char* const special[] = {"a b", "a-b", "a.b", "A", "\xC3\xBC"};
  return j >= 5 && j < 10 ? special[j - 5] : "f" + std::to_string(j) + ".txt";
}

// Item number n, selected when n is even.
CDatabaseItemPtr ScenarioItem(int64_t n, bool folder) {
  return fsdbtest::Item(n, n % 2 == 0, folder);
}
using fsdbtest::Values;

// 1,000 folders, each below folder (i - 1) / 10 so that the tree is four levels deep under /scan, with 20
// files each. Files are queued in batches of 3000: the last 2000 wait for Flush (harmless outside bulk mode).
// Every folder, the root included, is listed, and every item listed is also looked up.
class ScanDatabaseTest : public ::testing::TestWithParam<DatabaseType> {};

// Records the scenario into `dir`/scan.db in bulk mode (from a second thread, without the connection's mutex,
// as a scanning tool does) and checks that every folder lists exactly what was recorded, value for
// value. The journal stays beside the file while it is written unless it is kept in memory; either way
// the file is finished in rollback-journal mode only when the journal was in memory.
void RecordScenarioAndReadItBack(const fsdbtest::TempDir& dir, DatabaseType type, bool journalInMemory) {
  const std::string file = dir.File("scan.db");
  Lines folders;
  std::map<std::string, CDatabaseItemPtr> recorded;
  std::map<std::string, std::set<std::string>> children;  // folder -> paths listed in it
  {
    // Written as a scanning tool writes: opened here, filled by another thread, without the
    // connection's mutex.
    CScanDatabase database(file, type);
    database.SetSingleThreaded(true);
    database.SetJournalInMemory(journalInMemory);
    ASSERT_OK(database.Open(false));
    ASSERT_OK(database.SetBulkInsertMode(true));
    std::thread writer([&] {
      for (int i = 0; i < 1000; ++i) {
        const std::string parent = i == 0 ? "" : folders[(i - 1) / 10];
        folders.push_back(parent + "/" + (i == 0 ? "scan" : FolderName(i)));
        children[i == 0 ? "/" : parent].insert(folders[i]);
        recorded[folders[i]] = ScenarioItem(i * 21 + 1, true);
        ASSERT_OK(database.AddFolder(folders[i], recorded[folders[i]]));
        for (int j = 0; j < 20; ++j) {
          const std::string path = folders[i] + "/" + FileName(j);
          children[folders[i]].insert(path);
          recorded[path] = ScenarioItem(i * 21 + j + 2, false);
          ASSERT_OK(database.AddFile(path, recorded[path]));
        }
      }
    });
    writer.join();
    struct stat log {};
    EXPECT_EQ(journalInMemory ? -1 : 0, stat((file + "-wal").c_str(), &log)) << "the log beside the file";
    EXPECT_TRUE(database.IsBulkInsertModeActive());
    CDatabaseItemPtr item;
    EXPECT_WIN32(database.QueryItem(folders.back() + "/" + FileName(19), item), 1168);
    ASSERT_OK(database.Flush());
    EXPECT_OK(database.QueryItem(folders.back() + "/" + FileName(19), item));
    ASSERT_OK(database.Close());
  }
  EXPECT_EQ(Lines{journalInMemory ? "delete" : "wal"}, Column(dir.path(), "PRAGMA journal_mode"));

  CScanDatabase database(file, type);
  ASSERT_OK(database.Open(false));
  EXPECT_FALSE(database.IsBulkInsertModeActive());
  EXPECT_OK(database.Flush());
  size_t listed = 0;
  for (const auto& [folder, expected] : children) {
    std::list<CDatabaseItemPtr> items;
    ASSERT_OK(database.QueryFolderItems(folder, 0, items));
    std::set<std::string> paths;
    for (const CDatabaseItemPtr& item : items) {
      const std::string path = item->GetFullyQualifiedPath();
      SCOPED_TRACE(path);
      ASSERT_EQ(recorded.count(path), 1u);
      CDatabaseItemPtr queried;
      ASSERT_OK(database.QueryItem(path, queried));
      EXPECT_EQ(queried->GetFullyQualifiedPath(), path + (recorded[path]->IsDirectory() ? "/" : ""));
      EXPECT_EQ(queried->GetId(), item->GetId());
      for (const CDatabaseItemPtr& read : {item, queried}) {
        EXPECT_EQ(read->GetFileName(), path.substr(path.rfind('/') + 1));
        EXPECT_EQ(Values(*read), Values(*recorded[path]));
      }
      paths.insert(path);
    }
    EXPECT_EQ(paths, expected) << folder;
    listed += items.size();
  }
  EXPECT_EQ(listed, recorded.size());
  ASSERT_OK(database.Close());
}

TEST_P(ScanDatabaseTest, ScanRecordedInBulkModeReadsBackValueForValue) {
  const fsdbtest::ScopedCaptureLog log(0);
  const fsdbtest::TempDir dir;
  RecordScenarioAndReadItBack(dir, GetParam(), false);
}

// A scan into a file that its caller throws away unless finished: the same rows, no log beside it.
TEST_P(ScanDatabaseTest, ScanWithItsJournalInMemoryReadsBackTheSame) {
  const fsdbtest::ScopedCaptureLog log(0);
  const fsdbtest::TempDir dir;
  RecordScenarioAndReadItBack(dir, GetParam(), true);
}

// A file recorded more than once in a bulk scan (within one batch, and again in a later one) keeps its last
// recording: when Close builds the unique file index, and when the next Open builds it for a scan that
// ended without a Close (a copy of the files as they were before the Close).
TEST_P(ScanDatabaseTest, FileRecordedAgainInABulkScanKeepsItsLastRecording) {
  const fsdbtest::ScopedCaptureLog log(0);
  const fsdbtest::TempDir closed, cut;
  const DatabaseType type = GetParam();
  const Lines paths = {"/s/\xC3\xA4", "/s/a", "/s/z"};
  std::map<std::string, int64_t> last;
  {
    CScanDatabase database(closed.File("scan.db"), type);
    ASSERT_OK(database.Open(false));
    ASSERT_OK(database.SetBulkInsertMode(true));
    int64_t n = 0;
    for (int round = 0; round < 4; ++round) {
      for (const std::string& path : paths) {
        last[path] = ++n;
        ASSERT_OK(database.AddFile(path, ScenarioItem(n, false)));
      }
      if (round == 1)
        ASSERT_OK(database.Flush());
    }
    ASSERT_OK(database.Flush());
    for (const std::string suffix : {"", "-wal"}) {
      const std::string command =
          "cp '" + closed.File("scan.db" + suffix) + "' '" + cut.File("scan.db" + suffix) + "'";
      ASSERT_EQ(0, std::system(command.c_str())) << command;
    }
    ASSERT_OK(database.Close());
  }
  const std::string kIndex = "SELECT name FROM sqlite_master WHERE name='index_files_folderidfilename'";
  EXPECT_EQ(Lines{}, Column(cut.path(), kIndex));
  for (const fsdbtest::TempDir* folder : {&closed, &cut}) {
    SCOPED_TRACE(folder == &closed ? "closed" : "cut short");
    CScanDatabase database(folder->File("scan.db"), type);
    ASSERT_OK(database.Open(false));
    for (const std::string& path : paths) {
      CDatabaseItemPtr item;
      ASSERT_OK(database.QueryItem(path, item));
      EXPECT_EQ(Values(*ScenarioItem(last[path], false)), Values(*item)) << path;
    }
    ASSERT_OK(database.Close());
    EXPECT_EQ(Lines{"index_files_folderidfilename"}, Column(folder->path(), kIndex));
    EXPECT_EQ(Lines{"3"}, Column(folder->path(), "SELECT COUNT(*) FROM Files"));
  }
}

// Every operation of the facade, each failing with `code` on a facade that cannot work.
void ExpectEveryOperationFails(CScanDatabase& database, int code) {
  const CDatabaseItemPtr item = ScenarioItem(1, false);
  std::list<CDatabaseItemPtr> items;
  CDatabaseItemPtr found;
  CDatabaseItemIteratorPtr walk;
  const CYaError results[] = {database.SetBulkInsertMode(true),
                              database.AddFile("/d/f", item),
                              database.AddFolder("/d", item),
                              database.DeleteFile("/d/f", item),
                              database.DeleteFolder("/d", item),
                              database.RenameFile("/d/f", "/d/g", item, item),
                              database.RenameFolder("/d", "/e", item, item),
                              database.QueryFolderItems("/", 0, items),
                              database.QueryItem("/d/f", found),
                              database.Flush(),
                              database.QuerySelectedFolders(walk),
                              database.QuerySelectedFiles("/d", walk)};
  int index = 0;
  for (const CYaError& error : results)
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, code)) << "operation " << index++ << ": " << error.AsString();
  EXPECT_FALSE(database.IsBulkInsertModeActive());
}

// Misuse fails instead of crashing, and writes nothing: a facade without an engine, an engine before Open
// and after Close, an empty database path (SQLite would open a temporary database and lose the data).
TEST_P(ScanDatabaseTest, MisuseFailsWithoutCrashingOrWriting) {
  const fsdbtest::ScopedCaptureLog log(0);
  const fsdbtest::TempDir dir;
  CScanDatabase none;
  ExpectEveryOperationFails(none, 6);
  EXPECT_WIN32(none.Open(false), 6);
  EXPECT_WIN32(none.Close(), 6);

  const std::string file = dir.File("scan.db");
  const DatabaseType type = GetParam();
  {
    CScanDatabase unopened(file, type);
    ExpectEveryOperationFails(unopened, 6);
    EXPECT_OK(unopened.Close());
  }
  EXPECT_NE(0, access(file.c_str(), F_OK));
  {
    CScanDatabase closed(file, type);
    ASSERT_OK(closed.Open(false));
    ASSERT_OK(closed.AddFile("/d/f", ScenarioItem(1, false)));
    ASSERT_OK(closed.Close());
    const Lines before = Column(dir.path(), "SELECT FileName || FileSize FROM Files");
    ExpectEveryOperationFails(closed, 6);
    EXPECT_EQ(before, Column(dir.path(), "SELECT FileName || FileSize FROM Files"));
    ASSERT_OK(closed.Open(false));  // a closed database opens again
    CDatabaseItemPtr found;
    EXPECT_OK(closed.QueryItem("/d/f", found));
  }
  for (const std::string& path : {std::string(), dir.path() + "/"}) {
    CScanDatabase unnamed(path, type);
    const CYaError error = unnamed.Open(false);
    EXPECT_TRUE(path.empty() ? FXErrorUtil::IsWin32(error, 87) : error.IsError()) << error.AsString();
    ExpectEveryOperationFails(unnamed, 6);
  }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, ScanDatabaseTest,
                         ::testing::Values(DATABASE_TYPE_FULL_PATH, DATABASE_TYPE_OPTIMIZED),
                         fsdbtest::LayoutName);

}  // namespace
}  // namespace FSDB
