// fsdb_bench: measures the scan database and compares it with baselines measured in the same run.
//
//   fsdb_bench [--files N] [--only NAME[,NAME...]] [--dir DIR] [--repeat K]
//
// N defaults to 1,000,000. The databases go to a new temporary folder under DIR (default /tmp), which
// is removed at the end. Sections: bulk-full, bulk-optimized, single-adds, reads, optimized-rename,
// optimized-lookup, compare. Each prints its figures and, where it has a target, the ratio and PASS or
// FAIL; a summary table ends the run. The exit code is 0 whether targets are met or not: this is a
// measurement. The library's own log lines are switched off unless FSDB_LOG_LEVEL is set.
//
// A ratio against a baseline runs K times (default 3), library and baseline in turn, and compares the
// best run of each side. The machine may be shared with other work, which lengthens wall-clock times
// by whatever it takes from the two cores and changes from one run to the next; the work this process
// does, its CPU time, hardly moves. Both sides are single-threaded and write with synchronous off, so
// on a quiet machine their wall-clock and CPU times agree. The ratio is therefore judged on CPU time,
// and the wall-clock ratio is printed beside it.

#include <sqlite3.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "Baselines.h"
#include "BenchUtil.h"
#include "Sections.h"
#include "core/FullPathDatabase.h"
#include "core/OptimizedPathDatabase.h"
#include "fsdb/LogWriter.h"

namespace bench {

namespace {

const FSDB::DatabaseType kLayouts[] = {FSDB::DATABASE_TYPE_FULL_PATH, FSDB::DATABASE_TYPE_OPTIMIZED};
const uint64_t kTreeSeed = 20240601;

std::unique_ptr<FSDB::CScanDatabase> OpenFacade(const std::string& file, FSDB::DatabaseType layout) {
  auto database = std::make_unique<FSDB::CScanDatabase>(file, layout);
  ThrowIfError(database->Open(false), "Open " + file);
  return database;
}

}  // namespace

void Heading(const std::string& name, const std::string& description) {
  std::printf("\n== %s: %s\n", name.c_str(), description.c_str());
  std::fflush(stdout);
}

// "  label ..... value".
void Figure(const std::string& label, const std::string& value) {
  std::printf("  %-44s %s\n", label.c_str(), value.c_str());
  std::fflush(stdout);
}

void Verdict(const std::string& label, double ratio, const std::string& target, bool passed) {
  Figure(label, Fixed(ratio, 2) + "   target " + target + "   " + (passed ? "PASS" : "FAIL  <<<<<<<<"));
}

double ReportPair(Summary& summary, const std::string& section, const Runs& library, const Runs& baseline,
                  double rows, double target) {
  const Timing& libraryBest = library.BestWall();
  const Timing& baselineBest = baseline.BestWall();
  Figure("library runs", library.List());
  Figure("baseline runs", baseline.List());
  Figure("library rows/s, best run", Rate(rows, libraryBest.wall, "rows/s") + " wall, " +
                                         Rate(rows, library.BestCpu(), "rows/s") + " cpu");
  Figure("baseline rows/s, best run", Rate(rows, baselineBest.wall, "rows/s") + " wall, " +
                                          Rate(rows, baseline.BestCpu(), "rows/s") + " cpu");
  const double wallRatio = baselineBest.wall / libraryBest.wall;
  const double cpuRatio = baseline.BestCpu() / library.BestCpu();
  const std::string targetText = ">= " + Fixed(target, 2);
  Figure("ratio library/baseline by wall-clock", Fixed(wallRatio, 2) + "   (shared machine: for reference)");
  Verdict("ratio library/baseline by cpu time", cpuRatio, targetText, cpuRatio >= target);
  summary.Add(section, "library rows/s (best, wall)", Rate(rows, libraryBest.wall, ""));
  summary.Add(section, "baseline rows/s (best, wall)", Rate(rows, baselineBest.wall, ""));
  summary.Add(section, "ratio by wall-clock (reference)", Fixed(wallRatio, 2));
  summary.AddJudged(section, "ratio by cpu time", cpuRatio, 2, targetText, cpuRatio >= target);
  return cpuRatio;
}

const char* LayoutName(FSDB::DatabaseType layout) {
  return layout == FSDB::DATABASE_TYPE_OPTIMIZED ? "optimized" : "full-path";
}

void RemoveDatabase(const std::string& file) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    std::remove((file + suffix).c_str());
}

const ScanTree& Context::Tree() {
  if (!tree) {
    Stopwatch watch;
    tree = std::make_unique<ScanTree>(MakeScanTree(files, kTreeSeed));
    Figure(
        "(prepared " + Grouped(tree->files.size()) + " items, " + Grouped(tree->folders.size()) + " folders)",
        Seconds(watch.WallSeconds()) + ", not timed");
  }
  return *tree;
}

const std::string& Context::ScanDatabase(FSDB::DatabaseType layout) {
  std::string& file = scanDatabase[layout == FSDB::DATABASE_TYPE_OPTIMIZED ? 1 : 0];
  if (file.empty()) {
    const std::string path = File(std::string("scan-") + LayoutName(layout) + ".db");
    RemoveDatabase(path);
    (void)LibraryBulkScan(path, Tree(), layout);  // only the database is wanted here
    file = path;
  }
  return file;
}

Timing LibraryBulkScan(const std::string& file, const ScanTree& tree, FSDB::DatabaseType layout) {
  std::unique_ptr<FSDB::CScanDatabase> database = OpenFacade(file, layout);
  ThrowIfError(database->SetBulkInsertMode(true), "SetBulkInsertMode");
  Stopwatch watch;
  for (const FileEntry& entry : tree.files) {
    ThrowIfError(database->AddFile(entry.path, entry.item), "AddFile");
  }
  ThrowIfError(database->Close(), "Close");
  database.reset();  // the connection closes with the engine: its last checkpoint belongs to the scan
  return Elapsed(watch);
}

// ---------------------------------------------------------------------------------------------------
// 1. bulk-full, bulk-optimized

void RunBulk(Context& context, FSDB::DatabaseType layout) {
  const std::string name =
      std::string("bulk-") + (layout == FSDB::DATABASE_TYPE_OPTIMIZED ? "optimized" : "full");
  Heading(name, Grouped(context.files) + " files, " + LayoutName(layout) +
                    " layout: AddFile in bulk-insert mode + Close, vs raw sqlite3 INSERTs + CREATE INDEX");
  const ScanTree& tree = context.Tree();
  const double rows = static_cast<double>(tree.files.size());

  const std::string libraryFile = context.File(std::string("scan-") + LayoutName(layout) + ".db");
  const std::string rawFile = context.File(std::string("raw-") + LayoutName(layout) + ".db");
  context.scanDatabase[layout == FSDB::DATABASE_TYPE_OPTIMIZED ? 1 : 0].clear();
  Runs library;
  Runs raw;
  for (int run = 0; run < context.repeat; ++run) {
    RemoveDatabase(libraryFile);
    library.Add(LibraryBulkScan(libraryFile, tree, layout));
    RemoveDatabase(rawFile);
    raw.Add(RawBulkInsert(rawFile, tree, layout));
  }
  context.scanDatabase[layout == FSDB::DATABASE_TYPE_OPTIMIZED ? 1 : 0] = libraryFile;

  uint64_t libraryFiles = 0, libraryFolders = 0, rawFiles = 0, rawFolders = 0;
  CountRows(libraryFile, libraryFiles, libraryFolders);
  CountRows(rawFile, rawFiles, rawFolders);
  RemoveDatabase(rawFile);

  Figure("bytes written: library / baseline",
         Megabytes(library.BestWall().written) + " / " + Megabytes(raw.BestWall().written));
  Figure("rows written: library / baseline", Grouped(libraryFiles) + " files " + Grouped(libraryFolders) +
                                                 " folders / " + Grouped(rawFiles) + " files " +
                                                 Grouped(rawFolders) + " folders");
  if (libraryFiles != rawFiles || libraryFolders != rawFolders) {
    throw BenchError("the library and the baseline wrote different rows");
  }
  // ReportPair prints and records the ratio; its verdict is in the summary.
  (void)ReportPair(context.summary, name, library, raw, rows, 0.85);
}

// ---------------------------------------------------------------------------------------------------
// 2. single-adds

void RunSingleAdds(Context& context) {
  const uint64_t kAdds = 20000;
  Heading("single-adds", Grouped(kAdds) + " AddFile calls outside bulk-insert mode (one transaction each)");
  const ScanTree tree = MakeScanTree(kAdds, kTreeSeed + 1);
  for (FSDB::DatabaseType layout : kLayouts) {
    const std::string file = context.File(std::string("single-") + LayoutName(layout) + ".db");
    RemoveDatabase(file);
    std::unique_ptr<FSDB::CScanDatabase> database = OpenFacade(file, layout);
    Stopwatch watch;
    for (const FileEntry& entry : tree.files)
      ThrowIfError(database->AddFile(entry.path, entry.item), "AddFile");
    const Timing timing = Elapsed(watch);
    ThrowIfError(database->Close(), "Close");
    database.reset();
    RemoveDatabase(file);
    const std::string rate = Rate(static_cast<double>(kAdds), timing.wall, "rows/s");
    Figure(std::string(LayoutName(layout)) + " layout", Seconds(timing.wall) + "  " + rate);
    context.summary.Add("single-adds", std::string(LayoutName(layout)) + " rows/s",
                        Rate(static_cast<double>(kAdds), timing.wall, ""));
  }
}

// ---------------------------------------------------------------------------------------------------
// 3. reads

namespace {

// Queries every path of `files`; throws unless each is found with the size it was recorded with.
Timing QueryFiles(FSDB::CScanDatabase& database, const ScanTree& tree, const std::vector<size_t>& files) {
  Stopwatch watch;
  size_t wrong = 0;
  for (size_t index : files) {
    FSDB::CDatabaseItemPtr item;
    ThrowIfError(database.QueryItem(tree.files[index].path, item), "QueryItem");
    if (!item || item->GetFileSize() != tree.files[index].item->GetFileSize())
      ++wrong;
  }
  const Timing timing = Elapsed(watch);
  if (wrong != 0)
    throw BenchError(std::to_string(wrong) + " files read back wrong");
  return timing;
}

}  // namespace

void RunReads(Context& context) {
  const size_t kQueries = 20000;
  const size_t kWarmFolders = 1000;  // well inside the folder-id cache (2000 entries)
  Heading("reads", "QueryItem of random files in the scan of " + Grouped(context.files) +
                       " files; cold: freshly opened database, one file per folder; warm: second pass");
  const ScanTree& tree = context.Tree();
  std::mt19937_64 random(kTreeSeed + 2);

  // Cold: one file from each of up to kQueries distinct folders, so every lookup misses the cache.
  std::vector<int32_t> folders = tree.leafFolders;
  std::shuffle(folders.begin(), folders.end(), random);
  std::vector<size_t> firstFile(tree.folders.size(), 0);
  for (size_t i = tree.files.size(); i-- > 0;)
    firstFile[tree.files[i].folder] = i;
  auto randomFileOf = [&](int32_t folder) {
    const size_t first = firstFile[folder];
    size_t count = 0;
    while (first + count < tree.files.size() && tree.files[first + count].folder == folder)
      ++count;
    return first + std::uniform_int_distribution<size_t>(0, count - 1)(random);
  };
  std::vector<size_t> cold;
  for (size_t i = 0; i < folders.size() && cold.size() < kQueries; ++i)
    cold.push_back(randomFileOf(folders[i]));
  // Warm: kQueries files from a set of folders whose ids all stay cached.
  std::vector<size_t> warm;
  const size_t warmFolders = std::min(kWarmFolders, folders.size());
  while (warm.size() < kQueries) {
    warm.push_back(randomFileOf(folders[std::uniform_int_distribution<size_t>(0, warmFolders - 1)(random)]));
  }

  for (FSDB::DatabaseType layout : kLayouts) {
    const std::string& file = context.ScanDatabase(layout);
    std::unique_ptr<FSDB::CScanDatabase> database = OpenFacade(file, layout);
    const Timing coldTiming = QueryFiles(*database, tree, cold);
    (void)QueryFiles(*database, tree, warm);  // fills the folder-id cache
    const Timing warmTiming = QueryFiles(*database, tree, warm);
    ThrowIfError(database->Close(), "Close");
    const std::string label = LayoutName(layout);
    Figure(
        label + " cold (" + Grouped(cold.size()) + " files)",
        Seconds(coldTiming.wall) + "  " + Rate(static_cast<double>(cold.size()), coldTiming.wall, "items/s"));
    Figure(
        label + " warm (" + Grouped(warm.size()) + " files)",
        Seconds(warmTiming.wall) + "  " + Rate(static_cast<double>(warm.size()), warmTiming.wall, "items/s"));
    context.summary.Add("reads", label + " cold items/s",
                        Rate(static_cast<double>(cold.size()), coldTiming.wall, ""));
    context.summary.Add("reads", label + " warm items/s",
                        Rate(static_cast<double>(warm.size()), warmTiming.wall, ""));
  }
}

// ---------------------------------------------------------------------------------------------------
// 4. optimized-rename

namespace {

const int kBigSubfolders = 1000;  // 1000 folders + 9000 files = 10,000 descendants
const int kFilesPerSubfolder = 9;

// Seconds per rename, over `count` renames of `folder` back and forth.
double TimeRenames(FSDB::CScanDatabase& database, const std::string& folder, int count) {
  const std::string other = folder.substr(0, folder.size() - 1) + "_renamed/";
  Stopwatch watch;
  for (int i = 0; i < count; ++i) {
    const bool there = i % 2 == 0;
    ThrowIfError(database.RenameFolder(there ? folder : other, there ? other : folder,
                                       FSDB::CDatabaseItemPtr(), FSDB::CDatabaseItemPtr()),
                 "RenameFolder");
  }
  return watch.WallSeconds() / count;
}

}  // namespace

void RunRename(Context& context) {
  Heading("optimized-rename",
          "RenameFolder of a folder with 10,000 descendants vs one with 10 (and 10,000 "
          "other files in 2,000 folders)");
  std::mt19937_64 random(kTreeSeed + 3);
  for (FSDB::DatabaseType layout : {FSDB::DATABASE_TYPE_OPTIMIZED, FSDB::DATABASE_TYPE_FULL_PATH}) {
    const std::string file = context.File(std::string("rename-") + LayoutName(layout) + ".db");
    RemoveDatabase(file);
    {
      std::unique_ptr<FSDB::CScanDatabase> database = OpenFacade(file, layout);
      ThrowIfError(database->SetBulkInsertMode(true), "SetBulkInsertMode");
      int64_t inode = 1;
      auto addFile = [&](const std::string& path) {
        ThrowIfError(database->AddFile(path, MakeFileItem(random, inode++, "", path)), "AddFile " + path);
      };
      for (int i = 0; i < 2000; ++i) {
        for (int f = 0; f < 5; ++f)
          addFile("/data/set" + std::to_string(i) + "/f" + std::to_string(f) + ".dat");
      }
      for (int d = 0; d < kBigSubfolders; ++d) {
        for (int f = 0; f < kFilesPerSubfolder; ++f) {
          addFile("/work/big/d" + std::to_string(d) + "/f" + std::to_string(f) + ".c");
        }
      }
      for (int f = 0; f < kFilesPerSubfolder; ++f)
        addFile("/work/small/d0/f" + std::to_string(f) + ".c");
      ThrowIfError(database->Close(), "Close");
    }
    std::unique_ptr<FSDB::CScanDatabase> database = OpenFacade(file, layout);
    const int renames = layout == FSDB::DATABASE_TYPE_OPTIMIZED ? 400 : 40;
    (void)TimeRenames(*database, "/work/small/", 4);  // warm-up, statements and pages
    (void)TimeRenames(*database, "/work/big/", 4);
    // Rounds of both, the best round of each counting: a round lasts milliseconds, and a burst of other
    // work on the machine should not decide the ratio.
    double small = 0;
    double big = 0;
    for (int round = 0; round < 5; ++round) {
      const double smallRound = TimeRenames(*database, "/work/small/", renames);
      const double bigRound = TimeRenames(*database, "/work/big/", renames);
      small = round == 0 ? smallRound : std::min(small, smallRound);
      big = round == 0 ? bigRound : std::min(big, bigRound);
    }
    FSDB::CDatabaseItemPtr item;
    ThrowIfError(database->QueryItem("/work/big/d999/f8.c", item), "QueryItem after the renames");
    ThrowIfError(database->Close(), "Close");
    database.reset();
    RemoveDatabase(file);

    const double ratio = big / small;
    const std::string label = LayoutName(layout);
    Figure(label + " rename, 10 descendants", Seconds(small) + " per rename (best of 5 rounds)");
    Figure(label + " rename, 10,000 descendants", Seconds(big) + " per rename (best of 5 rounds)");
    if (layout == FSDB::DATABASE_TYPE_OPTIMIZED) {
      Verdict("ratio 10,000 / 10 descendants", ratio, "<= 3", ratio <= 3);
      context.summary.Add("optimized-rename", "per rename, 10 / 10,000 desc.",
                          Seconds(small) + " / " + Seconds(big));
      context.summary.AddJudged("optimized-rename", "ratio 10,000 / 10 descendants", ratio, 2, "<= 3",
                                ratio <= 3);
    } else {
      Figure("ratio 10,000 / 10 descendants (contrast)", Fixed(ratio, 2));
      context.summary.Add("optimized-rename", "full-path ratio (contrast)", Fixed(ratio, 2));
    }
  }
}

// ---------------------------------------------------------------------------------------------------
// 5. optimized-lookup

namespace {

const int kDepth = 10;
const int kSiblings = 20;

template <class Engine>
void MeasureLookups(Context& context, FSDB::DatabaseType layout) {
  const std::string file = context.File(std::string("lookup-") + LayoutName(layout) + ".db");
  RemoveDatabase(file);
  auto engine = std::make_shared<Engine>(file, false);
  ThrowIfError(engine->Open(false), "Open");
  // A chain ten levels deep, with siblings at every level so that each index probe has company.
  std::string path = "/";
  for (int level = 0; level < kDepth; ++level) {
    for (int s = 0; s < kSiblings; ++s) {
      ThrowIfError(engine->AddFolder(path + "sib" + std::to_string(s) + "/",
                                     boost::make_shared<FSDB::CDatabaseItem>()),
                   "AddFolder");
    }
    path += "level" + std::to_string(level) + "/";
    ThrowIfError(engine->AddFolder(path, boost::make_shared<FSDB::CDatabaseItem>()), "AddFolder");
  }
  std::shared_ptr<FSDB::CDatabaseCache> cache = engine->GetDatabaseCache();
  int64_t expected = 0;
  cache->ClearFolderIds();
  ThrowIfError(engine->QueryFolderId(path, expected), "QueryFolderId");

  const int kCold = 20000;
  double coldSeconds = 0;
  for (int i = 0; i < kCold; ++i) {
    cache->ClearFolderIds();  // not timed: only the lookup is
    int64_t id = 0;
    const auto start = std::chrono::steady_clock::now();
    const CYaError error = engine->QueryFolderId(path, id);
    coldSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ThrowIfError(error, "QueryFolderId");
    if (id != expected)
      throw BenchError("QueryFolderId answered another id");
  }
  const int kWarm = 500000;
  Stopwatch watch;
  for (int i = 0; i < kWarm; ++i) {
    int64_t id = 0;
    ThrowIfError(engine->QueryFolderId(path, id), "QueryFolderId");
    if (id != expected)
      throw BenchError("QueryFolderId answered another id");
  }
  const double warmSeconds = watch.WallSeconds();
  ThrowIfError(engine->Close(), "Close");
  engine.reset();
  RemoveDatabase(file);

  const std::string label = LayoutName(layout);
  Figure(label + " cold (cache cleared before each)",
         Rate(kCold, coldSeconds, "lookups/s") + "  (" + Seconds(coldSeconds / kCold) + " each)");
  Figure(label + " warm (cached)",
         Rate(kWarm, warmSeconds, "lookups/s") + "  (" + Seconds(warmSeconds / kWarm) + " each)");
  context.summary.Add("optimized-lookup", label + " cold lookups/s", Rate(kCold, coldSeconds, ""));
  context.summary.Add("optimized-lookup", label + " warm lookups/s", Rate(kWarm, warmSeconds, ""));
}

}  // namespace

void RunLookup(Context& context) {
  Heading("optimized-lookup", "QueryFolderId of a folder 10 levels deep (20 siblings per level)");
  MeasureLookups<FSDB::COptimizedPathDatabase>(context, FSDB::DATABASE_TYPE_OPTIMIZED);
  MeasureLookups<FSDB::CFullPathDatabase>(context, FSDB::DATABASE_TYPE_FULL_PATH);
}

}  // namespace bench

// ---------------------------------------------------------------------------------------------------
// The driver

namespace {

const char* const kSections[] = {"bulk-full",        "bulk-optimized",   "single-adds", "reads",
                                 "optimized-rename", "optimized-lookup", "compare"};

void Usage() {
  std::fprintf(
      stderr,
      "usage: fsdb_bench [--files N] [--only NAME[,NAME...]] [--dir DIR] [--repeat K]\n"
      "sections: bulk-full bulk-optimized single-adds reads optimized-rename optimized-lookup compare\n");
}

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.compare(0, 10, "model name") == 0)
      return line.substr(line.find(':') + 2);
  }
  return "unknown CPU";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace bench;
  if (std::getenv("FSDB_LOG_LEVEL") == nullptr)
    g_ptrLogWriter = CreateStderrLogWriter(-1);
  if (argc == 5 && std::strcmp(argv[1], "--compare-child") == 0) {
    return RunCompareChild(argv[2], argv[3], argv[4]);
  }

  Context context;
  std::set<std::string> only;
  std::string base = "/tmp";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    const std::string value = argv[++i];
    if (argument == "--files") {
      char* end = nullptr;
      context.files = std::strtoull(value.c_str(), &end, 10);
      if (*end != '\0' || context.files < 1000) {
        std::fprintf(stderr, "--files wants a number of at least 1000\n");
        return 2;
      }
    } else if (argument == "--only") {
      for (size_t start = 0; start <= value.size();) {
        size_t end = value.find(',', start);
        if (end == std::string::npos)
          end = value.size();
        const std::string name = value.substr(start, end - start);
        if (std::find(std::begin(kSections), std::end(kSections), name) == std::end(kSections)) {
          std::fprintf(stderr, "unknown section %s\n", name.c_str());
          Usage();
          return 2;
        }
        only.insert(name);
        start = end + 1;
      }
    } else if (argument == "--repeat") {
      context.repeat = std::atoi(value.c_str());
      if (context.repeat < 1 || context.repeat > 100) {
        std::fprintf(stderr, "--repeat wants a number from 1 to 100\n");
        return 2;
      }
    } else if (argument == "--dir") {
      base = value;
    } else {
      Usage();
      return 2;
    }
  }

  std::string pattern = base + "/fsdb_bench.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    std::perror(("mkdtemp " + pattern).c_str());
    return 1;
  }
  context.dir = buffer.data();
  std::error_code ignored;
  context.self = std::filesystem::read_symlink("/proc/self/exe", ignored).string();

  utsname machine{};
  uname(&machine);
  std::printf("fsdb_bench: N = %s files, 50 per folder; measurements with a target: best of %d runs\n",
              Grouped(context.files).c_str(), context.repeat);
  std::printf("machine: %s, %ld cores, %s %s; SQLite %s; %s\n", CpuModel().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), machine.sysname, machine.release, sqlite3_libversion(),
#ifdef NDEBUG
              "optimised build"
#else
              "DEBUG BUILD (assertions on): figures are not representative"
#endif
  );
  std::printf("databases in %s\n", context.dir.c_str());

  for (const char* section : kSections) {
    if (!only.empty() && only.count(section) == 0)
      continue;
    try {
      const std::string name = section;
      if (name == "bulk-full")
        RunBulk(context, FSDB::DATABASE_TYPE_FULL_PATH);
      if (name == "bulk-optimized")
        RunBulk(context, FSDB::DATABASE_TYPE_OPTIMIZED);
      if (name == "single-adds")
        RunSingleAdds(context);
      if (name == "reads")
        RunReads(context);
      if (name == "optimized-rename")
        RunRename(context);
      if (name == "optimized-lookup")
        RunLookup(context);
      if (name == "compare") {
        context.tree.reset();  // the comparison builds its own scans; keep this process small
        RunCompare(context);
      }
    } catch (const std::exception& exception) {
      std::printf("  ERROR: %s\n", exception.what());
      context.summary.Add(section, "section failed", "-", "", "ERROR");
    }
  }

  std::printf("\n== summary (N = %s)\n", Grouped(context.files).c_str());
  context.summary.Print();
  const int failures = context.summary.FailureCount();
  std::printf("%s\n", failures == 0 ? "all targets met" : (std::to_string(failures) + " FAILED").c_str());
  std::filesystem::remove_all(context.dir, ignored);
  return 0;
}
