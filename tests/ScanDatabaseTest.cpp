#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <list>
#include <map>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "core/PathOrdering.h"
#include "fsdb/ScanDatabase.h"
#include "platform/SQLiteDatabase.h"

namespace FSDB {
namespace {

// A connection of the test's own to a database file, with the path collation, to read what a facade
// wrote without running any of the engine's open steps (which would repair what they find).
class Reader {
 public:
  Reader(const std::string& folder, const std::string& name) {
    database_.SetDatabasePath(folder);
    database_.SetDatabaseName(name);
    EXPECT_OK(database_.OpenDatabase());
    EXPECT_OK(database_.RegisterCollationHandler(1, "PATH_COMPONENTS", sqlite_collation_bypath));
  }

  // The column `column` of every row of `sql`, as text.
  std::vector<std::string> Column(const std::string& sql, int column = 0) {
    std::vector<std::string> values;
    boost::shared_ptr<FX::CSQLite3Statement> statement;
    CYaError error = database_.CompileStatement(sql, statement);
    EXPECT_OK(error);
    if (error.IsError())
      return values;
    for (auto row = statement->ExecQuery(); !row->Eof(); row->NextRow()) {
      values.push_back(row->GetStringField(column, "NULL"));
    }
    return values;
  }

  bool HasFileIndex() {
    return Column("SELECT name FROM sqlite_master WHERE type='index' AND name='index_files_folderidfilename'")
               .size() == 1;
  }

 private:
  FX::CDatabaseBase database_;
};

// ---------------------------------------------------------------------------------------------------
// The exported factory, reached the way a loading program reaches it

typedef CScanDatabaseBase* (*GetDatabaseObjectFunction)(const std::string&, DatabaseType, bool);
typedef void (*DestroyDatabaseObjectFunction)(CScanDatabaseBase*);

class FactoryTest : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() {
    // The library stays loaded for the rest of the process: objects it made may still be reachable
    // from a failed test.
    library_ = dlopen(FSDB_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    get_ = reinterpret_cast<GetDatabaseObjectFunction>(dlsym(library_, "GetDatabaseObject"));
    destroy_ = reinterpret_cast<DestroyDatabaseObjectFunction>(dlsym(library_, "DestroyDatabaseObject"));
    ASSERT_NE(get_, nullptr) << dlerror();
    ASSERT_NE(destroy_, nullptr) << dlerror();
  }

  void SetUp() override {
    ASSERT_NE(get_, nullptr);
    // The library has a log writer of its own; capture its lines instead of printing them.
    writer_ = static_cast<boost::shared_ptr<CLogWriterInterface>*>(dlsym(library_, "g_ptrLogWriter"));
    ASSERT_NE(writer_, nullptr) << dlerror();
    previous_ = *writer_;
    *writer_ = log_;
  }
  void TearDown() override {
    if (writer_ != nullptr)
      *writer_ = previous_;
  }

  // The columns of the Folders table of the test's database.
  std::vector<std::string> FolderColumns() {
    return Reader(dir_.path(), "scan.db").Column("PRAGMA table_info(Folders)", 1);
  }

  static void* library_;
  static GetDatabaseObjectFunction get_;
  static DestroyDatabaseObjectFunction destroy_;

  fsdbtest::TempDir dir_;
  boost::shared_ptr<fsdbtest::CaptureLogWriter> log_ = boost::make_shared<fsdbtest::CaptureLogWriter>(2);
  boost::shared_ptr<CLogWriterInterface>* writer_ = nullptr;
  boost::shared_ptr<CLogWriterInterface> previous_;
};

void* FactoryTest::library_ = nullptr;
GetDatabaseObjectFunction FactoryTest::get_ = nullptr;
DestroyDatabaseObjectFunction FactoryTest::destroy_ = nullptr;

TEST_P(FactoryTest, TypeOneMakesTheOptimizedLayoutEveryOtherTheFullPathOne) {
  const int type = GetParam();
  CScanDatabaseBase* database = get_(dir_.File("scan.db"), static_cast<DatabaseType>(type), false);
  ASSERT_NE(database, nullptr);
  EXPECT_OK(database->Open(false));
  EXPECT_OK(database->Close());
  destroy_(database);
  destroy_(nullptr);
  // Making and destroying a database opens nothing.
  destroy_(get_(dir_.File("never.db"), static_cast<DatabaseType>(type), false));
  EXPECT_NE(access(dir_.File("never.db").c_str(), F_OK), 0);

  const std::vector<std::string> columns = FolderColumns();
  ASSERT_GE(columns.size(), 3u);
  EXPECT_EQ(columns[2], type == 1 ? "FolderName" : "FullyQualifiedPath");
}

INSTANTIATE_TEST_SUITE_P(Types, FactoryTest, ::testing::Values(0, 1, 2, -1, 77));

class FactoryLayoutTest : public FactoryTest {};

// The engine's destructor closes: the queued files reach the table and the unique index is back.
TEST_P(FactoryLayoutTest, DestroyingAnOpenDatabaseClosesIt) {
  CScanDatabaseBase* database = get_(dir_.File("scan.db"), static_cast<DatabaseType>(GetParam()), false);
  ASSERT_NE(database, nullptr);
  ASSERT_OK(database->Open(false));
  ASSERT_OK(database->SetBulkInsertMode(true));
  for (const char* path : {"/a/f", "/a/g", "/b/h"}) {
    ASSERT_OK(database->AddFile(path, boost::make_shared<CDatabaseItem>()));
  }
  destroy_(database);

  Reader reader(dir_.path(), "scan.db");
  EXPECT_EQ(reader.Column("SELECT FileName FROM Files ORDER BY FileName"),
            (std::vector<std::string>{"f", "g", "h"}));
  EXPECT_TRUE(reader.HasFileIndex());
  EXPECT_EQ(log_->Count("Closing the database."), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, FactoryLayoutTest, ::testing::Values(0, 1));

// ---------------------------------------------------------------------------------------------------
// The facade

class ScanDatabaseTest : public ::testing::TestWithParam<int> {
 protected:
  std::string File() const { return dir_.File("scan.db"); }
  DatabaseType Type() const { return static_cast<DatabaseType>(GetParam()); }

  fsdbtest::TempDir dir_;
  fsdbtest::ScopedCaptureLog log_{0};
};

TEST_P(ScanDatabaseTest, FlushWritesQueuedFilesAndIsHarmlessOutsideBulkMode) {
  CScanDatabase database(File(), Type());
  ASSERT_OK(database.Open(false));
  ASSERT_OK(database.AddFile("/a/f", boost::make_shared<CDatabaseItem>()));
  EXPECT_FALSE(database.IsBulkInsertModeActive());
  ASSERT_OK(database.Flush());

  ASSERT_OK(database.SetBulkInsertMode(true));
  EXPECT_TRUE(database.IsBulkInsertModeActive());
  ASSERT_OK(database.AddFile("/a/g", boost::make_shared<CDatabaseItem>()));
  CDatabaseItemPtr item;
  EXPECT_WIN32(database.QueryItem("/a/g", item), 1168);
  ASSERT_OK(database.Flush());
  ASSERT_OK(database.QueryItem("/a/g", item));
  ASSERT_OK(database.QueryItem("/a/f", item));
  ASSERT_OK(database.Close());
  EXPECT_EQ(Reader(dir_.path(), "scan.db").Column("SELECT COUNT(*) FROM Files"),
            (std::vector<std::string>{"2"}));
}

// ---------------------------------------------------------------------------------------------------
// A whole scan recorded in bulk-insert mode and read back

const int kFolders = 1000;
const int kFilesPerFolder = 20;

// Names that exercise the path order (blanks, '-', '.', letter case, bytes above 127).
std::string FolderName(int i) {
  if (i % 7 == 0)
    return "dir " + std::to_string(i);
  if (i % 11 == 0)
    return "d-" + std::to_string(i);
  if (i % 13 == 0)
    return "d.e" + std::to_string(i);
  if (i % 17 == 0)
    return "D\xC3\xA9" + std::to_string(i);
  return "d" + std::to_string(i);
}

std::string FileName(int j) {
  switch (j) {
    case 5:
      return "a b";
    case 6:
      return "a-b";
    case 7:
      return "a.b";
    case 8:
      return "A";
    case 9:
      return "\xC3\xBC";
    default:
      return "f" + std::to_string(j) + ".txt";
  }
}

// Item number n, with values spread over the whole signed 64-bit range.
CDatabaseItemPtr ScenarioItem(int64_t n) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetFileId(n % 97 == 0 ? std::numeric_limits<int64_t>::max() - n : (int64_t{1} << 40) + n * 7919);
  item->SetFileSize(n * 4099 + (n % 3 == 0 ? int64_t{1} << 33 : 0));
  item->SetFileSizeOnDisk((n * 4099 / 4096 + 1) * 4096 + (n % 5 == 0 ? int64_t{1} << 35 : 0));
  item->SetAccessTime(int64_t{1600000000000000000} + n);
  item->SetCreationTime(-n * 1000);
  item->SetModificationTime(n % 50 == 0 ? std::numeric_limits<int64_t>::min() + n : 1500000000 + n);
  item->SetChangeTime(n ^ 0x5555);
  item->SetAttributes(static_cast<int>(n % 65536));
  item->SetLinks(static_cast<int>(n % 5) + 1);
  item->SetAsSelected(n % 2 == 0);
  item->SetAsCollect(n % 3 == 0);
  EXPECT_OK(item->FormMetadata());
  return item;
}

void ExpectSameItem(const CDatabaseItem& expected, const CDatabaseItem& actual, const std::string& path) {
  SCOPED_TRACE(path);
  EXPECT_EQ(actual.GetFileId(), expected.GetFileId());
  EXPECT_EQ(actual.GetFileSize(), expected.GetFileSize());
  EXPECT_EQ(actual.GetFileSizeOnDisk(), expected.GetFileSizeOnDisk());
  EXPECT_EQ(actual.GetAccessTime(), expected.GetAccessTime());
  EXPECT_EQ(actual.GetCreationTime(), expected.GetCreationTime());
  EXPECT_EQ(actual.GetModificationTime(), expected.GetModificationTime());
  EXPECT_EQ(actual.GetChangeTime(), expected.GetChangeTime());
  EXPECT_EQ(actual.GetAttributes(), expected.GetAttributes());
  EXPECT_EQ(actual.GetLinks(), expected.GetLinks());
  EXPECT_EQ(actual.IsSelected(), expected.IsSelected());
  EXPECT_EQ(actual.IsCollect(), expected.IsCollect());
  EXPECT_EQ(actual.GetMetadata(), expected.GetMetadata());
}

struct Recorded {
  std::string name;
  CDatabaseItemPtr item;
  bool directory;
};

TEST_P(ScanDatabaseTest, ScanRecordedInBulkModeReadsBackValueForValue) {
  // Folder i hangs below folder (i - 1) / 10, so the tree is four levels deep under /scan.
  std::vector<std::string> folders(kFolders);
  std::map<std::string, Recorded> recorded;  // by path, without trailing separator
  std::map<std::string, std::vector<std::string>> children;
  int64_t n = 0;
  {
    CScanDatabase database(File(), Type());
    ASSERT_OK(database.Open(false));
    ASSERT_OK(database.SetBulkInsertMode(true));
    for (int i = 0; i < kFolders; ++i) {
      const std::string name = i == 0 ? "scan" : FolderName(i);
      const std::string parent = i == 0 ? "" : folders[(i - 1) / 10];
      folders[i] = parent + "/" + name;
      if (i > 0)
        children[parent].push_back(folders[i]);
      const CDatabaseItemPtr item = ScenarioItem(++n);
      item->SetAsDirectory(true);
      ASSERT_OK(database.AddFolder(folders[i], item));
      recorded[folders[i]] = Recorded{name, item, true};
      for (int j = 0; j < kFilesPerFolder; ++j) {
        const std::string path = folders[i] + "/" + FileName(j);
        const CDatabaseItemPtr file = ScenarioItem(++n);
        ASSERT_OK(database.AddFile(path, file));
        recorded[path] = Recorded{FileName(j), file, false};
        children[folders[i]].push_back(path);
      }
    }
    ASSERT_OK(database.Close());
  }

  CScanDatabase database(File(), Type());
  ASSERT_OK(database.Open(false));
  std::map<std::string, int64_t> ids;  // as the listings report them
  size_t listed = 0;
  for (const std::string& folder : folders) {
    std::list<CDatabaseItemPtr> items;
    ASSERT_OK(database.QueryFolderItems(folder, 0, items));
    std::vector<std::string> paths;
    for (const CDatabaseItemPtr& item : items) {
      const std::string path = item->GetFullyQualifiedPath();
      auto found = recorded.find(path);
      ASSERT_NE(found, recorded.end()) << path;
      EXPECT_EQ(item->GetFileName(), found->second.name);
      EXPECT_EQ(item->IsDirectory(), found->second.directory) << path;
      ExpectSameItem(*found->second.item, *item, path);
      ids[path] = item->GetId();
      paths.push_back(path);
    }
    std::vector<std::string> expected = children[folder];
    std::sort(paths.begin(), paths.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(paths, expected) << folder;
    listed += items.size();
  }
  EXPECT_EQ(listed, recorded.size() - 1);  // everything but /scan itself

  for (const auto& entry : recorded) {
    CDatabaseItemPtr item;
    ASSERT_OK(database.QueryItem(entry.first, item));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->IsDirectory(), entry.second.directory) << entry.first;
    EXPECT_EQ(item->GetFileName(), entry.second.name);
    EXPECT_EQ(item->GetFullyQualifiedPath(), entry.second.directory ? entry.first + "/" : entry.first);
    if (entry.first != "/scan") {
      EXPECT_EQ(item->GetId(), ids[entry.first]) << entry.first;
    }
    ExpectSameItem(*entry.second.item, *item, entry.first);
  }
  ASSERT_OK(database.Close());
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, ScanDatabaseTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 1 ? "Optimized" : "FullPath";
                         });

}  // namespace
}  // namespace FSDB
