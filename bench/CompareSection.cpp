// 6. compare: CCompareDatabases over two scans of N files, against the same three lists computed by
// plain SQL, and the comparison's peak memory at N and at N/10.
//
// Each comparison runs in a child process of its own (this program run again with --compare-child),
// so that its peak resident size (VmHWM, read by the child at its end) is the comparison's alone and
// not that of the parent, which has just written the databases.

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "Baselines.h"
#include "BenchUtil.h"
#include "Sections.h"
#include "fsdb/CompareDatabases.h"

namespace bench {

namespace {

const uint64_t kCompareSeed = 77;

uint64_t Mix(uint64_t x) {  // splitmix64: a fixed, well-spread choice per file
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

struct ScanChanges {
  uint64_t files = 0;
  uint64_t added = 0;
  uint64_t deleted = 0;
  uint64_t changed = 0;
};

// Writes the previous scan of `fileCount` files, or the current one: 1% of the files another size,
// 0.5% gone, 0.5% new (in the same folders). Every folder and file is selected. Not timed.
ScanChanges BuildScan(const std::string& file, uint64_t fileCount, bool current) {
  RemoveDatabase(file);
  auto database = std::make_unique<FSDB::CScanDatabase>(file, FSDB::DATABASE_TYPE_FULL_PATH);
  ThrowIfError(database->Open(false), "Open " + file);
  ThrowIfError(database->SetBulkInsertMode(true), "SetBulkInsertMode");
  std::mt19937_64 folderRandom(kCompareSeed);
  std::mt19937_64 fileRandom(kCompareSeed + 1);  // both scans draw the same values for the same file
  std::mt19937_64 newRandom(kCompareSeed + 2);
  const uint64_t leafCount = (fileCount + kFilesPerFolder - 1) / kFilesPerFolder;
  int64_t folderInode = 100;
  ForEachFolder(leafCount, [&](const std::string& path, const std::string&, int32_t) {
    ThrowIfError(database->AddFolder(path, MakeFolderItem(folderRandom, folderInode++, path)),
                 "AddFolder " + path);
  });
  ScanChanges changes;
  for (uint64_t n = 0; n < fileCount; ++n) {
    const std::string folder = LeafFolderPath(n / kFilesPerFolder);
    const std::string name = FileName(n);
    FSDB::CDatabaseItemPtr item =
        MakeFileItem(fileRandom, static_cast<int64_t>(1000000 + n), name, folder + name);
    const uint64_t draw = Mix(n) % 1000;
    if (current && draw < 10) {
      item->SetFileSize(item->GetFileSize() + 1 + static_cast<int64_t>(draw));
      ++changes.changed;
    }
    if (current && draw >= 10 && draw < 15) {
      ++changes.deleted;
      continue;
    }
    ThrowIfError(database->AddFile(folder + name, item), "AddFile");
    ++changes.files;
    if (current && draw >= 15 && draw < 20) {
      const std::string added = "new_" + name;
      ThrowIfError(
          database->AddFile(folder + added, MakeFileItem(newRandom, static_cast<int64_t>(900000000 + n),
                                                         added, folder + added)),
          "AddFile");
      ++changes.added;
      ++changes.files;
    }
  }
  ThrowIfError(database->Close(), "Close");
  return changes;
}

typedef std::map<std::string, double> ChildResult;

// A file descriptor closed at the end of its scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  void Close() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Runs this program as "--compare-child mode current previous" and parses its key=value line.
ChildResult RunChild(const Context& context, const char* mode, const std::string& current,
                     const std::string& previous) {
  int fds[2];
  if (pipe(fds) != 0)
    throw BenchError("pipe failed");
  Descriptor readEnd(fds[0]);
  Descriptor writeEnd(fds[1]);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child < 0)
    throw BenchError("fork failed");
  if (child == 0) {
    dup2(writeEnd.Get(), STDOUT_FILENO);
    close(readEnd.Get());
    close(writeEnd.Get());
    execl(context.self.c_str(), context.self.c_str(), "--compare-child", mode, current.c_str(),
          previous.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  writeEnd.Close();
  std::string output;
  char buffer[4096];
  for (ssize_t got; (got = read(readEnd.Get(), buffer, sizeof(buffer))) != 0;) {
    if (got < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    output.append(buffer, static_cast<size_t>(got));
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw BenchError(std::string("the ") + mode + " comparison child failed (status " +
                     std::to_string(status) + ")");
  }
  ChildResult result;
  std::istringstream fields(output);
  for (std::string field; fields >> field;) {
    const size_t equals = field.find('=');
    if (equals != std::string::npos)
      result[field.substr(0, equals)] = std::stod(field.substr(equals + 1));
  }
  if (result.count("wall") == 0)
    throw BenchError(std::string("no result from the ") + mode + " child: " + output);
  return result;
}

// Counts what the comparison reports; a file in both counts as changed when its size differs.
class CountingCallback : public FSDB::CCompareDatabasesCallback {
 public:
  CYaError OnFolderInIndex1(const std::string&, FSDB::CDatabaseItemPtr, bool&) override {
    ++folders;
    return CYaError::Success();
  }
  CYaError OnFolderInIndex2(const std::string&, FSDB::CDatabaseItemPtr, bool&) override {
    ++folders;
    return CYaError::Success();
  }
  CYaError OnFolderInBothIndexes(const std::string&, FSDB::CDatabaseItemPtr, FSDB::CDatabaseItemPtr,
                                 bool&) override {
    ++folders;
    return CYaError::Success();
  }
  CYaError OnFileInIndex1(const std::string&, FSDB::CDatabaseItemPtr) override {
    ++deleted;
    return CYaError::Success();
  }
  CYaError OnFileInIndex2(const std::string&, FSDB::CDatabaseItemPtr) override {
    ++added;
    return CYaError::Success();
  }
  CYaError OnFileInBothIndexes(const std::string&, FSDB::CDatabaseItemPtr previousItem,
                               FSDB::CDatabaseItemPtr currentItem) override {
    ++common;
    if (previousItem->GetFileSize() != currentItem->GetFileSize())
      ++changed;
    return CYaError::Success();
  }

  uint64_t folders = 0;
  uint64_t added = 0;
  uint64_t deleted = 0;
  uint64_t common = 0;
  uint64_t changed = 0;
};

std::string Kb(double kb) {
  return Grouped(static_cast<uint64_t>(kb)) + " KiB";
}

}  // namespace

int RunCompareChild(const std::string& mode, const std::string& current, const std::string& previous) {
  try {
    if (mode == "library") {
      auto callback = boost::make_shared<CountingCallback>();
      FSDB::CCompareDatabases comparison(current, previous, callback, FSDB::DATABASE_TYPE_FULL_PATH,
                                         FSDB::DATABASE_TYPE_FULL_PATH);
      Stopwatch watch;
      ThrowIfError(comparison.CompareDatabases(), "CompareDatabases");
      const Timing timing = Elapsed(watch);
      const uint64_t callbacks = callback->folders + callback->added + callback->deleted + callback->common;
      std::printf(
          "added=%llu deleted=%llu changed=%llu common=%llu folders=%llu callbacks=%llu wall=%.6f "
          "cpu=%.6f hwm_kb=%llu\n",
          static_cast<unsigned long long>(callback->added),
          static_cast<unsigned long long>(callback->deleted),
          static_cast<unsigned long long>(callback->changed),
          static_cast<unsigned long long>(callback->common),
          static_cast<unsigned long long>(callback->folders), static_cast<unsigned long long>(callbacks),
          timing.wall, timing.cpu, static_cast<unsigned long long>(PeakResidentKb()));
    } else if (mode == "sql") {
      Timing timing;
      const ChangeCounts counts = SqlCompare(current, previous, timing);
      std::printf("added=%llu deleted=%llu changed=%llu wall=%.6f cpu=%.6f hwm_kb=%llu\n",
                  static_cast<unsigned long long>(counts.added),
                  static_cast<unsigned long long>(counts.deleted),
                  static_cast<unsigned long long>(counts.changed), timing.wall, timing.cpu,
                  static_cast<unsigned long long>(PeakResidentKb()));
    } else {
      std::fprintf(stderr, "unknown comparison mode %s\n", mode.c_str());
      return 2;
    }
  } catch (const std::exception& exception) {
    std::fprintf(stderr, "comparison child (%s): %s\n", mode.c_str(), exception.what());
    return 1;
  }
  return 0;
}

void RunCompare(Context& context) {
  const uint64_t large = context.files;
  const uint64_t small = context.files / 10;
  Heading("compare", "CCompareDatabases of two full-path scans of " + Grouped(large) +
                         " files (1% resized, 0.5% deleted, 0.5% added), vs plain SQL; memory at N and N/10");
  Stopwatch build;
  const std::string previousLarge = context.File("compare-previous.db");
  const std::string currentLarge = context.File("compare-current.db");
  const std::string previousSmall = context.File("compare-previous-small.db");
  const std::string currentSmall = context.File("compare-current-small.db");
  const ScanChanges before = BuildScan(previousLarge, large, false);
  const ScanChanges after = BuildScan(currentLarge, large, true);
  (void)BuildScan(previousSmall, small, false);
  (void)BuildScan(currentSmall, small, true);
  Figure("(wrote the four databases)", Seconds(build.WallSeconds()) + ", not timed");

  // The first run of each side gives the counts and the peak memory; every run gives a time.
  std::vector<ChildResult> libraryResults;
  std::vector<ChildResult> sqlResults;
  Runs libraryRuns;
  Runs sqlRuns;
  for (int run = 0; run < context.repeat; ++run) {
    libraryResults.push_back(RunChild(context, "library", currentLarge, previousLarge));
    libraryRuns.Add(Timing{libraryResults.back().at("wall"), libraryResults.back().at("cpu"), 0});
    sqlResults.push_back(RunChild(context, "sql", currentLarge, previousLarge));
    sqlRuns.Add(Timing{sqlResults.back().at("wall"), sqlResults.back().at("cpu"), 0});
  }
  const ChildResult& library = libraryResults.front();
  const ChildResult& sql = sqlResults.front();
  const ChildResult librarySmall = RunChild(context, "library", currentSmall, previousSmall);
  for (const std::string& file : {previousLarge, currentLarge, previousSmall, currentSmall})
    RemoveDatabase(file);

  // Files examined: every selected file of both scans (a file in both counts twice).
  const double rows = library.at("added") + library.at("deleted") + 2 * library.at("common");
  const double callbacks = library.at("callbacks");
  Figure("scans: previous / current files", Grouped(before.files) + " / " + Grouped(after.files));
  Figure("library: added / deleted / changed", Grouped(library.at("added")) + " / " +
                                                   Grouped(library.at("deleted")) + " / " +
                                                   Grouped(library.at("changed")));
  Figure("sql:     added / deleted / changed",
         Grouped(sql.at("added")) + " / " + Grouped(sql.at("deleted")) + " / " + Grouped(sql.at("changed")));
  Figure("written: added / deleted / changed",
         Grouped(after.added) + " / " + Grouped(after.deleted) + " / " + Grouped(after.changed));
  // Every run of both sides must report exactly the changes that were written.
  bool listsMatch = true;
  for (const std::vector<ChildResult>* results : {&libraryResults, &sqlResults}) {
    for (const ChildResult& result : *results) {
      listsMatch = listsMatch && result.at("added") == static_cast<double>(after.added) &&
                   result.at("deleted") == static_cast<double>(after.deleted) &&
                   result.at("changed") == static_cast<double>(after.changed);
    }
  }
  Figure("lists match", listsMatch ? "yes" : "NO  <<<<<<<<");
  const double libraryWall = libraryRuns.BestWall().wall;
  Figure("library callbacks/s, best run", Rate(callbacks, libraryWall, "callbacks/s") + " wall  (" +
                                              Grouped(static_cast<uint64_t>(callbacks)) + " callbacks)");
  Figure("files examined (both scans)", Grouped(static_cast<uint64_t>(rows)));
  context.summary.Add("compare", "library callbacks/s (best, wall)", Rate(callbacks, libraryWall, ""));
  // ReportPair prints and records the ratio; its verdict is in the summary. The merge reads each row once,
  // as the SQL does, and also makes an item per row: 0.9 of the SQL's rate is the target.
  (void)ReportPair(context.summary, "compare", libraryRuns, sqlRuns, rows, 0.9);
  const double memoryRatio = library.at("hwm_kb") / librarySmall.at("hwm_kb");
  Figure("peak RSS at N / at N/10", Kb(library.at("hwm_kb")) + " / " + Kb(librarySmall.at("hwm_kb")));
  Figure("peak RSS of the sql baseline at N", Kb(sql.at("hwm_kb")));
  Verdict("ratio peak RSS N / N/10", memoryRatio, "<= 1.50", memoryRatio <= 1.5);

  context.summary.Add("compare", "lists match library / sql / written", listsMatch ? "yes" : "no", "yes",
                      listsMatch ? "PASS" : "FAIL");
  context.summary.Add("compare", "peak RSS N / N/10 (KiB)",
                      Grouped(static_cast<uint64_t>(library.at("hwm_kb"))) + " / " +
                          Grouped(static_cast<uint64_t>(librarySmall.at("hwm_kb"))));
  context.summary.AddJudged("compare", "ratio peak RSS N / N/10", memoryRatio, 2, "<= 1.50",
                            memoryRatio <= 1.5);
}

}  // namespace bench
