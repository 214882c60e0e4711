#include <sys/stat.h>

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "fsdb/CompareDatabases.h"

namespace {

using FSDB::CDatabaseItem;
using FSDB::CDatabaseItemPtr;
using FSDB::CScanDatabase;
using FSDB::DatabaseType;

const DatabaseType kFullPath = FSDB::DATABASE_TYPE_FULL_PATH;
const DatabaseType kOptimized = FSDB::DATABASE_TYPE_OPTIMIZED;

enum Kind { kFolder1, kFolder2, kFolderBoth, kFile1, kFile2, kFileBoth };
const char* const kKindNames[] = {"Folder1", "Folder2", "FolderBoth", "File1", "File2", "FileBoth"};

struct Call {
  Kind kind;
  std::string path;
  CDatabaseItemPtr previous;
  CDatabaseItemPtr current;
};

// Records every report as "<kind> <path>". processFolder can be forced per kind or, taking precedence,
// per path; one call (by its position) can be made to fail.
class RecordingCallback : public FSDB::CCompareDatabasesCallback {
 public:
  std::vector<Call> calls;
  std::map<Kind, bool> processByKind;
  std::map<std::string, bool> processByPath;
  size_t failingCall = std::numeric_limits<size_t>::max();

  std::vector<std::string> Sequence() const {
    std::vector<std::string> sequence;
    for (const Call& call : calls)
      sequence.push_back(std::string(kKindNames[call.kind]) + " " + call.path);
    return sequence;
  }

  CYaError OnFolderInIndex1(const std::string& path, CDatabaseItemPtr item, bool& processFolder) override {
    return Record(kFolder1, path, item, nullptr, &processFolder);
  }
  CYaError OnFolderInIndex2(const std::string& path, CDatabaseItemPtr item, bool& processFolder) override {
    return Record(kFolder2, path, nullptr, item, &processFolder);
  }
  CYaError OnFolderInBothIndexes(const std::string& path, CDatabaseItemPtr previousItem,
                                 CDatabaseItemPtr currentItem, bool& processFolder) override {
    return Record(kFolderBoth, path, previousItem, currentItem, &processFolder);
  }
  CYaError OnFileInIndex1(const std::string& path, CDatabaseItemPtr item) override {
    return Record(kFile1, path, item, nullptr, nullptr);
  }
  CYaError OnFileInIndex2(const std::string& path, CDatabaseItemPtr item) override {
    return Record(kFile2, path, nullptr, item, nullptr);
  }
  CYaError OnFileInBothIndexes(const std::string& path, CDatabaseItemPtr previousItem,
                               CDatabaseItemPtr currentItem) override {
    return Record(kFileBoth, path, previousItem, currentItem, nullptr);
  }

 private:
  CYaError Record(Kind kind, const std::string& path, CDatabaseItemPtr previous, CDatabaseItemPtr current,
                  bool* processFolder) {
    calls.push_back(Call{kind, path, previous, current});
    if (processFolder != nullptr) {
      auto byPath = processByPath.find(path);
      auto byKind = processByKind.find(kind);
      if (byPath != processByPath.end())
        *processFolder = byPath->second;
      else if (byKind != processByKind.end())
        *processFolder = byKind->second;
    }
    if (calls.size() - 1 == failingCall)
      return FXErrorUtil::ErrorWin32(FX_LOCATION, 5, "refused by the test");
    return CYaError::Success();
  }
};

struct Entry {
  std::string path;
  bool folder;
  bool selected;
  int64_t size;
};
Entry Dir(const std::string& path, bool selected = true) {
  return Entry{path, true, selected, 0};
}
Entry File(const std::string& path, bool selected = true, int64_t size = 0) {
  return Entry{path, false, selected, size};
}

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

class CompareDatabasesTestBase : public ::testing::Test {
 protected:
  // Writes a scan database holding `entries`; missing parent folders are added unselected.
  static void Build(const std::string& file, DatabaseType type, std::initializer_list<Entry> entries) {
    CScanDatabase database(file, type);
    ASSERT_OK(database.Open(false));
    for (const Entry& entry : entries) {
      auto item = boost::make_shared<CDatabaseItem>();
      item->SetAsDirectory(entry.folder);
      item->SetAsSelected(entry.selected);
      item->SetFileSize(entry.size);
      ASSERT_OK(item->FormMetadata());
      ASSERT_OK(entry.folder ? database.AddFolder(entry.path, item) : database.AddFile(entry.path, item));
    }
    ASSERT_OK(database.Close());
  }
  void BuildPrevious(DatabaseType type, std::initializer_list<Entry> entries) {
    Build(previousPath_, type, entries);
  }
  void BuildCurrent(DatabaseType type, std::initializer_list<Entry> entries) {
    Build(currentPath_, type, entries);
  }

  CYaError Compare(DatabaseType previousType, DatabaseType currentType) {
    FSDB::CCompareDatabases compare(currentPath_, previousPath_, callback_, currentType, previousType);
    return compare.CompareDatabases();
  }

  // Installed before any database runs its logging thread, released after all are closed.
  fsdbtest::ScopedCaptureLog log_{0};
  fsdbtest::TempDir dir_;
  std::string previousPath_ = dir_.File("previous.db");
  std::string currentPath_ = dir_.File("current.db");
  boost::shared_ptr<RecordingCallback> callback_ = boost::make_shared<RecordingCallback>();
};

typedef std::vector<std::string> Sequence;

// ---------------------------------------------------------------------------------------------------
// Behaviour of the walk, run over each layout (both databases of the same layout).

class CompareDatabasesTest : public CompareDatabasesTestBase,
                             public ::testing::WithParamInterface<DatabaseType> {
 protected:
  void BuildPrevious(std::initializer_list<Entry> entries) { Build(previousPath_, GetParam(), entries); }
  void BuildCurrent(std::initializer_list<Entry> entries) { Build(currentPath_, GetParam(), entries); }
  CYaError Compare() { return CompareDatabasesTestBase::Compare(GetParam(), GetParam()); }
};

TEST_P(CompareDatabasesTest, FilesOfACommonFolderAreMergedByName) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({Dir("/d"), File("/d/a"), File("/d/c", true, 1), File("/d/A.txt")}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({Dir("/d"), File("/d/b"), File("/d/c", true, 2), File("/d/a.txt")}));
  EXPECT_OK(Compare());
  // Names that differ only in case are different files.
  EXPECT_EQ(callback_->Sequence(), (Sequence{"FolderBoth /d", "File1 /d/A.txt", "File1 /d/a",
                                             "File2 /d/a.txt", "File2 /d/b", "FileBoth /d/c"}));
  ASSERT_EQ(callback_->calls.size(), 6u);
  const Call& common = callback_->calls[5];
  ASSERT_TRUE(common.previous && common.current);
  EXPECT_EQ(common.previous->GetFileSize(), 1);
  EXPECT_EQ(common.current->GetFileSize(), 2);
  EXPECT_EQ(callback_->calls[1].previous->GetFileName(), "A.txt");
  EXPECT_EQ(callback_->calls[4].current->GetFileName(), "b");
}

TEST_P(CompareDatabasesTest, UnselectedFoldersAndFilesAreNeverReported) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({Dir("/d"), File("/d/gone", false), File("/d/kept", false),
                                         File("/d/x"), Dir("/old", false), File("/old/f")}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({Dir("/d"), File("/d/new", false), File("/d/kept", false),
                                        File("/d/x"), Dir("/fresh", false), File("/fresh/f")}));
  EXPECT_OK(Compare());
  EXPECT_EQ(callback_->Sequence(), (Sequence{"FolderBoth /d", "FileBoth /d/x"}));
}

TEST_P(CompareDatabasesTest, FolderOnlyInPreviousIsReportedOnceAndItsSubtreeSkipped) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious(
      {Dir("/a"), File("/a/f"), Dir("/a/b"), File("/a/b/g"), Dir("/a/c"), Dir("/a-b"), File("/a-b/h")}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({}));
  log_->SetLevel(30);
  EXPECT_OK(Compare());
  // /a-b is no descendant of /a although its name starts so: the skip ends there.
  EXPECT_EQ(callback_->Sequence(), (Sequence{"Folder1 /a", "Folder1 /a-b"}));
  EXPECT_EQ(log_->Count("Previous [Yes] Current [No] Folder [/a/b] Skipping [Yes]"), 1u);
  EXPECT_EQ(log_->Count("Previous [Yes] Current [No] Folder [/a/c] Skipping [Yes]"), 1u);
  EXPECT_EQ(log_->Count("Skipping [Yes]"), 2u);
  EXPECT_EQ(log_->Count("Previous [Yes] Current [No] Folder [/a]"), 1u);
}

TEST_P(CompareDatabasesTest, FolderOnlyInCurrentIsWalkedCompletely) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({Dir("/a"), File("/a/f"), Dir("/a/b"), File("/a/b/g"),
                                        File("/a/b/unselected", false), Dir("/a/c"), File("/a/c/h")}));
  EXPECT_OK(Compare());
  EXPECT_EQ(callback_->Sequence(), (Sequence{"Folder2 /a", "File2 /a/f", "Folder2 /a/b", "File2 /a/b/g",
                                             "Folder2 /a/c", "File2 /a/c/h"}));
}

TEST_P(CompareDatabasesTest, CallbackSteersTheWalk) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({Dir("/both"), File("/both/f"), Dir("/both/sub"), File("/both/sub/g"),
                                         Dir("/old"), File("/old/f"), Dir("/old/sub"), File("/old/sub/g")}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({Dir("/both"), File("/both/f"), Dir("/both/sub"), File("/both/sub/g"),
                                        Dir("/new"), File("/new/f"), Dir("/new/sub"), File("/new/sub/g")}));
  callback_->processByKind[kFolder1] = true;  // walk the deleted folder: files reported as deleted
  callback_->processByPath["/new"] = false;   // skip the new subtree
  callback_->processByPath["/both"] = false;  // leave the common folder's files alone
  EXPECT_OK(Compare());
  EXPECT_EQ(callback_->Sequence(),
            (Sequence{"FolderBoth /both", "FolderBoth /both/sub", "FileBoth /both/sub/g", "Folder2 /new",
                      "Folder1 /old", "File1 /old/f", "Folder1 /old/sub", "File1 /old/sub/g"}));
}

TEST_P(CompareDatabasesTest, CallbackErrorEndsTheRunAtOnce) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({Dir("/a"), File("/a/f"), File("/a/g"), Dir("/b")}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({Dir("/a"), File("/a/f"), File("/a/g"), Dir("/b")}));
  for (size_t failing : {0u, 1u}) {  // the first folder report, then the first file report
    SCOPED_TRACE(failing);
    callback_ = boost::make_shared<RecordingCallback>();
    callback_->failingCall = failing;
    const CYaError error = Compare();
    EXPECT_WIN32(error, 5);
    EXPECT_EQ(error.GetMessage(), "refused by the test");
    EXPECT_EQ(callback_->calls.size(), failing + 1);
  }
}

TEST_P(CompareDatabasesTest, ProgressLineIsRepeatedWhileAnIndexStaysOnAMultipleOf10000) {
  // The previous database has no selected folder, so its index stays 0 through every iteration.
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({Dir("/x", false)}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({Dir("/a"), Dir("/b"), Dir("/c")}));
  EXPECT_OK(Compare());
  const std::vector<std::string> texts = log_->Texts();
  std::vector<std::string> progress;
  std::copy_if(texts.begin(), texts.end(), std::back_inserter(progress),
               [](const std::string& text) { return text.find("Current Item Index") != std::string::npos; });
  EXPECT_EQ(progress, (Sequence{"Current Item Index : [0] PreviousItemIndex : [0]",
                                "Current Item Index : [1] PreviousItemIndex : [0]",
                                "Current Item Index : [2] PreviousItemIndex : [0]",
                                "Current Item Index : [3] PreviousItemIndex : [0]"}));

  // With both indexes moving, only the iteration that starts at 0 writes it, then the final line.
  log_->Clear();
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({Dir("/a"), Dir("/b"), Dir("/c")}));
  EXPECT_OK(Compare());
  EXPECT_EQ(log_->Count("Current Item Index : [0] PreviousItemIndex : [0]"), 1u);
  EXPECT_EQ(log_->Count("Current Item Index : [3] PreviousItemIndex : [3]"), 1u);
  EXPECT_EQ(log_->Count("Current Item Index"), 2u);
}

TEST_P(CompareDatabasesTest, NothingSelectedReportsNothing) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({File("/a/f", false)}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({}));
  EXPECT_OK(Compare());
  EXPECT_TRUE(callback_->calls.empty());
  EXPECT_EQ(log_->Count("Current Item Index"), 1u);
  EXPECT_EQ(log_->Count("Current Item Index : [0] PreviousItemIndex : [0]"), 1u);
}

TEST_P(CompareDatabasesTest, DatabasesAreClosedBeforeTheCallReturns) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({Dir("/a"), File("/a/f")}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({Dir("/a"), File("/a/f")}));
  log_->SetLevel(2);
  FSDB::CCompareDatabases compare(currentPath_, previousPath_, callback_, GetParam(), GetParam());
  for (size_t failing :
       {std::numeric_limits<size_t>::max(), size_t{0}}) {  // a run that succeeds, one that fails
    SCOPED_TRACE(failing);
    log_->Clear();
    callback_->failingCall = failing;
    (void)compare.CompareDatabases();  // the result is not the point here
    // While `compare` still lives, both databases have been closed, inside the call's trace.
    const std::vector<fsdbtest::LogLine> lines = log_->Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().text, "Entering");
    EXPECT_NE(lines.front().function.find("CompareDatabases"), std::string::npos);
    EXPECT_EQ(lines.back().text, "Leaving");
    EXPECT_EQ(log_->Count("Closing the database."), 2u);
  }
}

TEST_P(CompareDatabasesTest, RunsWithoutALogWriter) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious({Dir("/a"), File("/a/f")}));
  ASSERT_NO_FATAL_FAILURE(BuildCurrent({Dir("/a"), File("/a/g")}));
  boost::shared_ptr<CLogWriterInterface> saved = g_ptrLogWriter;
  g_ptrLogWriter.reset();
  const CYaError error = Compare();
  g_ptrLogWriter = saved;
  EXPECT_OK(error);
  EXPECT_EQ(callback_->Sequence(), (Sequence{"FolderBoth /a", "File1 /a/f", "File2 /a/g"}));
}

INSTANTIATE_TEST_SUITE_P(Layouts, CompareDatabasesTest, ::testing::Values(kFullPath, kOptimized),
                         [](const ::testing::TestParamInfo<DatabaseType>& info) {
                           return info.param == kOptimized ? "Optimized" : "FullPath";
                         });

// ---------------------------------------------------------------------------------------------------
// Arguments that cannot be compared.

typedef CompareDatabasesTestBase CompareDatabasesArgumentTest;

TEST_F(CompareDatabasesArgumentTest, EmptyPathIsRejected) {
  const CYaError noPrevious =
      FSDB::CCompareDatabases(currentPath_, "", callback_, kFullPath, kFullPath).CompareDatabases();
  EXPECT_WIN32(noPrevious, 87);
  EXPECT_EQ(noPrevious.GetMessage(),
            "Previous database not specified, Previous Database Name = [], Current Database "
            "Name = [" +
                currentPath_ + "]");
  const CYaError noCurrent =
      FSDB::CCompareDatabases("", previousPath_, callback_, kFullPath, kFullPath).CompareDatabases();
  EXPECT_WIN32(noCurrent, 87);
  EXPECT_EQ(noCurrent.GetMessage(), "Current database not specified, Previous Database Name = [" +
                                        previousPath_ + "], Current Database Name = []");
  EXPECT_FALSE(Exists(previousPath_));
  EXPECT_FALSE(Exists(currentPath_));
}

TEST_F(CompareDatabasesArgumentTest, MissingDatabaseFileIsAnErrorAndIsNotCreated) {
  ASSERT_NO_FATAL_FAILURE(BuildPrevious(kFullPath, {Dir("/a")}));
  CYaError error = Compare(kFullPath, kFullPath);
  EXPECT_WIN32(error, 2);
  EXPECT_NE(error.GetMessage().find(currentPath_), std::string::npos) << error.GetMessage();
  EXPECT_FALSE(Exists(currentPath_));

  ASSERT_EQ(std::rename(previousPath_.c_str(), currentPath_.c_str()), 0);
  error = Compare(kFullPath, kFullPath);
  EXPECT_WIN32(error, 2);
  EXPECT_NE(error.GetMessage().find(previousPath_), std::string::npos) << error.GetMessage();
  EXPECT_FALSE(Exists(previousPath_));
  EXPECT_TRUE(callback_->calls.empty());
}

// ---------------------------------------------------------------------------------------------------
// The same two scans recorded in either layout give the same reports. The folder names are chosen so
// that byte order would interleave differently from path order: ' ', '-' and '.' all sort below '/'.

class CompareMixedLayoutsTest : public CompareDatabasesTestBase,
                                public ::testing::WithParamInterface<std::tuple<DatabaseType, DatabaseType>> {
};

TEST_P(CompareMixedLayoutsTest, ReportsDoNotDependOnTheLayouts) {
  const DatabaseType previousType = std::get<0>(GetParam());
  const DatabaseType currentType = std::get<1>(GetParam());
  // /a/b only in the previous scan meets /a-b only in the current one: byte order would report /a-b first.
  ASSERT_NO_FATAL_FAILURE(BuildPrevious(
      previousType, {Dir("/"), File("/r"), Dir("/a"), File("/a/f1"), Dir("/a/b"), File("/a/b/g"), Dir("/a b"),
                     File("/a b/k"), Dir("/a b/z"), Dir("/a.txt"), File("/a.txt/h")}));
  ASSERT_NO_FATAL_FAILURE(
      BuildCurrent(currentType, {Dir("/"), File("/r"), Dir("/a"), File("/a/f1"), File("/a/f2"), Dir("/a-b"),
                                 File("/a-b/m"), Dir("/a.txt"), File("/a.txt/h")}));
  EXPECT_OK(Compare(previousType, currentType));
  // The root is reported with the empty path.
  EXPECT_EQ(callback_->Sequence(), (Sequence{"FolderBoth ", "FileBoth /r", "FolderBoth /a", "FileBoth /a/f1",
                                             "File2 /a/f2", "Folder1 /a/b", "Folder1 /a b", "Folder2 /a-b",
                                             "File2 /a-b/m", "FolderBoth /a.txt", "FileBoth /a.txt/h"}));
}

INSTANTIATE_TEST_SUITE_P(
    Pairings, CompareMixedLayoutsTest,
    ::testing::Combine(::testing::Values(kFullPath, kOptimized), ::testing::Values(kFullPath, kOptimized)),
    [](const ::testing::TestParamInfo<std::tuple<DatabaseType, DatabaseType>>& info) {
      auto name = [](DatabaseType type) { return type == kOptimized ? "Optimized" : "FullPath"; };
      return std::string(name(std::get<0>(info.param))) + "To" + name(std::get<1>(info.param));
    });

}  // namespace
