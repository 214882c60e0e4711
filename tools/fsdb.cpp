// fsdb: scan a folder tree into a scan database, compare two scans, and read a scan back.
//
// Exit status: 0 on success, 1 when an operation fails (the error on stderr), 2 on a usage error.

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "Scan.h"
#include "fsdb/CompareDatabases.h"
#include "fsdb/DatabaseItem.h"
#include "fsdb/Error.h"
#include "fsdb/LogWriter.h"
#include "fsdb/ScanDatabase.h"

namespace {

using FSDB::CDatabaseItemPtr;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: fsdb scan [--optimized] [--select-all | --no-select] DIR DATABASE\n"
    "       fsdb compare [--previous-optimized] [--current-optimized] PREVIOUS CURRENT\n"
    "       fsdb list [--optimized] DATABASE FOLDER\n"
    "       fsdb show [--optimized] DATABASE PATH\n"
    "\n"
    "  scan     record every folder and file under DIR (symbolic links are not followed) in\n"
    "           DATABASE, created when missing; items are selected unless --no-select is given\n"
    "  compare  print the changes from PREVIOUS to CURRENT: '+ path' new, '- path' deleted,\n"
    "           'M path' a file whose size or modification time changed; folders end in '/'\n"
    "  list     print the children of FOLDER: type (d/f), size, modification time, path\n"
    "  show     print the recorded item at PATH\n"
    "\n"
    "  --optimized, --previous-optimized, --current-optimized\n"
    "           the database uses the optimized folder layout (the layout is not detected)\n"
    "\n"
    "The library's own log lines are silent unless FSDB_LOG_LEVEL is set (0, 2, 3, 4, 30).\n";

int UsageError(const std::string& message) {
  std::cerr << "fsdb: " << message << "\n\n" << kUsage;
  return kExitUsage;
}

int Failure(const std::string& what, const CYaError& error) {
  std::cerr << "fsdb: " << what << ": " << error.AsString() << '\n';
  return kExitFailure;
}

int Failure(const std::string& message) {
  std::cerr << "fsdb: " << message << '\n';
  return kExitFailure;
}

// One command's arguments: the options it recognised and its positional arguments.
struct CommandLine {
  std::set<std::string> options;
  std::vector<std::string> operands;
  bool help = false;

  bool Has(const std::string& option) const { return options.count(option) != 0; }
};

// Splits argv[first..] into options (from `known`) and operands; "--" ends the options so that a path
// may begin with '-'. Returns false, with `problem` set, on an unknown option or a wrong operand count.
bool ParseCommandLine(int argc, char** argv, int first, const std::set<std::string>& known,
                      size_t operandCount, CommandLine& line, std::string& problem) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (arg == "-h" || arg == "--help")) {
      line.help = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      if (known.count(arg) == 0) {
        problem = "unknown option '" + arg + "'";
        return false;
      }
      line.options.insert(arg);
    } else {
      line.operands.push_back(arg);
    }
  }
  if (!line.help && line.operands.size() != operandCount) {
    problem = "expected " + std::to_string(operandCount) + " arguments, got " +
              std::to_string(line.operands.size());
    return false;
  }
  return true;
}

FSDB::DatabaseType TypeOf(bool optimized) {
  return optimized ? FSDB::DATABASE_TYPE_OPTIMIZED : FSDB::DATABASE_TYPE_FULL_PATH;
}

// Read commands must never create a database: SQLite would make an empty file for a mistyped name.
bool IsExistingFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The database records canonical absolute paths. A relative argument is resolved the way the scan
// resolved its root, so that `fsdb show db some/file` finds what `fsdb scan some db` recorded; an
// absolute one is taken as written, since it may name something that is no longer on disk.
std::string RecordedPath(const std::string& path) {
  if (!path.empty() && path[0] == '/')
    return path;
  std::error_code ec;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
  return ec ? path : resolved.string();
}

// Folders are printed with their trailing separator, which tells them apart from files at a glance.
std::string DisplayPath(const CDatabaseItemPtr& item, const std::string& path) {
  if (item && item->IsDirectory() && (path.empty() || path.back() != '/'))
    return path + '/';
  return path;
}

int RunScan(const CommandLine& line) {
  if (line.Has("--select-all") && line.Has("--no-select")) {
    return UsageError("--select-all and --no-select exclude each other");
  }
  fsdbtool::ScanOptions options;
  options.folder = line.operands[0];
  options.database = line.operands[1];
  options.optimized = line.Has("--optimized");
  options.select = !line.Has("--no-select");
  fsdbtool::ScanSummary summary;
  CYaError error = fsdbtool::ScanTree(options, summary);
  if (error.IsError())
    return Failure("scan of " + options.folder + " failed", error);
  std::cout << "scanned " << summary.root << ": " << summary.folders << " folders, " << summary.files
            << " files";
  if (summary.skipped != 0)
    std::cout << ", " << summary.skipped << " skipped";
  std::cout << " in " << std::fixed << std::setprecision(2) << summary.seconds << " s\n";
  return kExitSuccess;
}

// Prints each change as the comparison reports it. A folder only in the previous scan is walked
// (processFolder set) so that its files and subfolders are listed as deleted, the mirror image of how
// the library walks a folder that is only in the current scan.
class PrintingCallback : public FSDB::CCompareDatabasesCallback {
 public:
  CYaError OnFolderInIndex1(const std::string& path, CDatabaseItemPtr, bool& processFolder) override {
    Print('-', path.empty() || path.back() == '/' ? path : path + '/');
    ++deleted_;
    processFolder = true;
    return CYaError::Success();
  }
  CYaError OnFolderInIndex2(const std::string& path, CDatabaseItemPtr, bool&) override {
    Print('+', path.empty() || path.back() == '/' ? path : path + '/');
    ++added_;
    return CYaError::Success();
  }
  CYaError OnFolderInBothIndexes(const std::string&, CDatabaseItemPtr, CDatabaseItemPtr, bool&) override {
    return CYaError::Success();
  }
  CYaError OnFileInIndex1(const std::string& path, CDatabaseItemPtr) override {
    Print('-', path);
    ++deleted_;
    return CYaError::Success();
  }
  CYaError OnFileInIndex2(const std::string& path, CDatabaseItemPtr) override {
    Print('+', path);
    ++added_;
    return CYaError::Success();
  }
  CYaError OnFileInBothIndexes(const std::string& path, CDatabaseItemPtr previous,
                               CDatabaseItemPtr current) override {
    if (previous->GetFileSize() != current->GetFileSize() ||
        previous->GetModificationTime() != current->GetModificationTime()) {
      Print('M', path);
      ++modified_;
    }
    return CYaError::Success();
  }

  uint64_t added() const { return added_; }
  uint64_t deleted() const { return deleted_; }
  uint64_t modified() const { return modified_; }

 private:
  static void Print(char kind, const std::string& path) { std::cout << kind << ' ' << path << '\n'; }

  uint64_t added_ = 0;
  uint64_t deleted_ = 0;
  uint64_t modified_ = 0;
};

int RunCompare(const CommandLine& line) {
  const std::string& previous = line.operands[0];
  const std::string& current = line.operands[1];
  for (const std::string& path : {previous, current}) {
    if (!IsExistingFile(path))
      return Failure("no such database: " + path);
  }
  auto callback = boost::make_shared<PrintingCallback>();
  FSDB::CCompareDatabases compare(current, previous, callback, TypeOf(line.Has("--current-optimized")),
                                  TypeOf(line.Has("--previous-optimized")));
  CYaError error = compare.CompareDatabases();
  // Whatever was printed before a failure stands; the summary would claim a complete comparison.
  if (error.IsError())
    return Failure("compare failed", error);
  std::cout << callback->added() << " new, " << callback->deleted() << " deleted, " << callback->modified()
            << " modified\n";
  return kExitSuccess;
}

// Opens the existing database named by the first operand, read-only and without the reporting thread
// that a one-shot read has no use for. Returns kExitSuccess, or the exit code of the failure it reported.
int OpenForReading(const CommandLine& line, std::unique_ptr<FSDB::CScanDatabase>& database) {
  const std::string& path = line.operands[0];
  if (!IsExistingFile(path))
    return Failure("no such database: " + path);
  database = std::make_unique<FSDB::CScanDatabase>(path, TypeOf(line.Has("--optimized")), true);
  CYaError error = database->Open(false);
  if (error.IsError())
    return Failure("cannot open " + path, error.Push(FX_LOCATION, "Open failed for [%s]", path.c_str()));
  return kExitSuccess;
}

int RunList(const CommandLine& line) {
  std::unique_ptr<FSDB::CScanDatabase> database;
  if (const int status = OpenForReading(line, database); status != kExitSuccess)
    return status;
  const std::string folder = RecordedPath(line.operands[1]);
  std::list<CDatabaseItemPtr> items;
  CYaError error = database->QueryFolderItems(folder, 0, items);
  if (error.IsError())
    return Failure("cannot list " + folder, error);
  for (const CDatabaseItemPtr& item : items) {
    std::cout << (item->IsDirectory() ? 'd' : 'f') << ' ' << item->GetFileSize() << ' '
              << item->GetModificationTime() << ' ' << DisplayPath(item, item->GetFullyQualifiedPath())
              << '\n';
  }
  return kExitSuccess;
}

int RunShow(const CommandLine& line) {
  std::unique_ptr<FSDB::CScanDatabase> database;
  if (const int status = OpenForReading(line, database); status != kExitSuccess)
    return status;
  const std::string target = RecordedPath(line.operands[1]);
  CDatabaseItemPtr item;
  CYaError error = database->QueryItem(target, item);
  if (error.IsError())
    return Failure("cannot show " + target, error);
  if (!item)
    return Failure("no item returned for " + target);
  std::cout << item->AsString() << '\n';
  return kExitSuccess;
}

struct Command {
  const char* name;
  std::set<std::string> options;
  size_t operands;
  int (*run)(const CommandLine&);
};

int Main(int argc, char** argv) {
  if (argc < 2)
    return UsageError("no command given");
  const std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    std::cout << kUsage;
    return kExitSuccess;
  }
  static const Command kCommands[] = {
      {"scan", {"--optimized", "--select-all", "--no-select"}, 2, RunScan},
      {"compare", {"--previous-optimized", "--current-optimized"}, 2, RunCompare},
      {"list", {"--optimized"}, 2, RunList},
      {"show", {"--optimized"}, 2, RunShow},
  };
  for (const Command& command : kCommands) {
    if (name != command.name)
      continue;
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(argc, argv, 2, command.options, command.operands, line, problem)) {
      return UsageError(name + ": " + problem);
    }
    if (line.help) {
      std::cout << kUsage;
      return kExitSuccess;
    }
    return command.run(line);
  }
  return UsageError("unknown command '" + name + "'");
}

}  // namespace

int main(int argc, char** argv) {
  // The library logs performance reports and comparison progress for long-running agents; on a
  // terminal they would bury the tool's own output, so they stay off unless asked for.
  if (std::getenv("FSDB_LOG_LEVEL") == nullptr)
    g_ptrLogWriter = CreateStderrLogWriter(-1);
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    // The library reports through CYaError; what arrives here is the standard library's (allocation,
    // file system), and it is still a failure, not a crash.
    std::cerr << "fsdb: " << e.what() << '\n';
    return kExitFailure;
  }
}
