// fsdb: record what a scan of a folder tree found, and tell what changed since.
//
// Exit status as diff(1): 0 success (for compare and check: no differences), 1 differences found,
// 2 an error, told in one line on stderr (with the library's details under --verbose).

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Compare.h"
#include "Format.h"
#include "ReadBack.h"
#include "Scan.h"
#include "ToolDatabase.h"
#include "fsdb/LogWriter.h"

namespace {

using fsdbtool::ToolStatus;

constexpr int kExitOk = 0;
constexpr int kExitError = 2;

int Report(const ToolStatus& status, bool verbose) {
  if (status.ok)
    return kExitOk;
  std::cerr << "fsdb: " << status.message << '\n';
  if (verbose && !status.detail.empty())
    std::cerr << "fsdb: details: " << status.detail << '\n';
  return kExitError;
}

bool ProgressWanted(bool quiet) {
  return !quiet && isatty(2) == 1;
}

// The options that compare and check share.
void AddReportOptions(CLI::App* command, fsdbtool::CompareOptions& options, bool& noMoves) {
  command->add_flag("--json", options.json, "One JSON object per line, then a summary object");
  command->add_flag("--summary", options.summaryOnly, "Print the counts only");
  command->add_flag("--no-moves", noMoves,
                    "Report a renamed entry as a deletion and an addition, not as a move");
  command
      ->add_option("--fields", options.fields,
                   "Comma-separated fields to compare (default: every one but atime; content when\n"
                   "both scans hold digests of the same algorithm)")
      ->delimiter(',')
      ->allow_extra_args(false);
  command->add_flag("--all", options.all, "List every entry beneath an added or deleted folder too");
}

// A path given to ls or stat: absolute as written; relative resolved the way scan resolved its root
// (against the working folder, links resolved), then moved under the recorded root when the scan was
// recorded under another path (--as).
std::string RecordedPath(const std::string& path, const fsdbtool::ScanInfo& info) {
  std::string resolved = path;
  if (path.empty() || path[0] != '/') {
    // The folders are resolved, links included; the last name is kept as given, so that a recorded
    // link is itself what is asked for, not its target.
    namespace fs = std::filesystem;
    const fs::path given(path.empty() ? "." : path);
    const std::string last = given.filename().string();
    const bool keepLast = !last.empty() && last != "." && last != "..";
    std::error_code ec;
    const fs::path folder =
        fs::weakly_canonical(keepLast ? fs::absolute(given, ec).parent_path() : given, ec);
    if (ec)
      return path;
    resolved = keepLast ? (folder / last).string() : folder.string();
    const std::string& walked = info.scannedRoot;
    if (info.hasToolTable && !walked.empty() && walked != info.root &&
        resolved.compare(0, walked.size(), walked) == 0 &&
        (resolved.size() == walked.size() || resolved[walked.size()] == '/' || walked == "/")) {
      resolved = info.root + resolved.substr(walked == "/" ? 0 : walked.size());
    }
  }
  while (resolved.size() > 1 && resolved.back() == '/')
    resolved.pop_back();
  return resolved;
}

int RunCheck(const std::string& root, const std::string& database, fsdbtool::CompareOptions compare,
             bool rehash, bool quiet, bool verbose) {
  fsdbtool::ScanInfo recorded;
  ToolStatus status = fsdbtool::ReadScanInfo(database, recorded);
  if (!status.ok)
    return Report(status, verbose);
  // The same walk as the one recorded: its layout, options, and the root under its recorded path.
  fsdbtool::ScanOptions options;
  options.root = root;
  options.as = recorded.hasToolTable ? recorded.root : "";
  options.database = database;
  options.layout = recorded.layout;
  options.excludes = recorded.excludes;
  options.oneFileSystem = recorded.oneFileSystem;
  options.select = recorded.select;
  options.progress = ProgressWanted(quiet);
  // The digests are computed as DB computed them, and taken over from DB for files that did not change.
  if (fsdbtool::HasDigests(recorded) && !fsdbtool::ParseDigestAlgorithm(recorded.hash, options.hash))
    std::cerr << "fsdb: " << fsdbtool::EscapePath(database) << " holds digests of an unknown algorithm ("
              << fsdbtool::EscapePath(recorded.hash) << "); content is not checked\n";
  if (!rehash)
    options.reuse = database;

  std::error_code ec;
  const std::string scratch = (std::filesystem::temp_directory_path(ec) / "fsdb-check.db").string();
  if (ec)
    return Report(ToolStatus::Fail("no folder for temporary files: " + ec.message()), verbose);
  (void)fsdbtool::TempDatabaseFile::RemoveStale(scratch);  // best effort: a leftover costs only space
  fsdbtool::TempDatabaseFile temp;
  status = temp.Create(scratch);
  if (!status.ok)
    return Report(status, verbose);
  fsdbtool::ScanInfo scanned;
  status = fsdbtool::ScanIntoFile(options, temp.path(), scanned);
  if (!status.ok)
    return Report(status, verbose);
  compare.previous = database;
  compare.current = temp.path();
  return fsdbtool::RunCompare(compare, verbose);  // the temporary file goes with `temp`
}

int Main(int argc, char** argv) {
  CLI::App app{
      "fsdb records what a scan of a folder tree found in a database file, and tells what changed\n"
      "between two scans, or between a scan and the tree now.\n\n"
      "Exit status: 0 success (compare/check: no differences), 1 differences found, 2 error.",
      "fsdb"};
  app.set_version_flag("--version", std::string("fsdb ") + fsdbtool::ToolVersion());
  app.require_subcommand(1);
  app.fallthrough();
  bool verbose = false;
  app.add_flag("--verbose", verbose, "On an error, also print the library's details");
  app.footer("Run 'fsdb COMMAND --help' for the options of one command.\n");

  fsdbtool::ScanOptions scan;
  std::string layout = "full";
  bool quiet = false, noSelect = false;
  CLI::App* scanCommand = app.add_subcommand("scan", "Record a folder tree in a scan database");
  scanCommand->footer(
      "Every folder and file under ROOT is recorded (symbolic links as links, never followed), with\n"
      "times in nanoseconds, mode, owner and group. DB is written to a temporary file beside it and\n"
      "replaces DB only once complete: an interrupted scan leaves DB as it was. DB has mode 0600.\n"
      "Folders that cannot be listed and entries that vanish are reported, counted and recorded.\n"
      "With --hash, every regular file also gets a digest of its content; a file that cannot be read is\n"
      "reported, counted and recorded without one. --reuse trusts the change time, which only the\n"
      "kernel sets but root can forge; --rehash reads every file when that trust is not wanted.");
  scanCommand->add_option("ROOT", scan.root, "The folder to scan")->required();
  scanCommand->add_option("DB", scan.database, "The database file to write")->required();
  scanCommand->add_option("--layout", layout, "Folder layout of the database")
      ->check(CLI::IsMember({"full", "optimized"}))
      ->capture_default_str();
  scanCommand
      ->add_option("--exclude", scan.excludes,
                   "Leave out entries (and whole folders) whose path relative to ROOT or whose name\n"
                   "matches GLOB (fnmatch; '*' does not cross '/' in a path); may be repeated")
      ->type_name("GLOB")
      ->allow_extra_args(false);
  scanCommand->add_flag("--one-file-system", scan.oneFileSystem,
                        "Do not descend into other file systems (their mount points are recorded)");
  scanCommand->add_option("--as", scan.as, "Record ROOT under this absolute path (check a restored backup)")
      ->type_name("PREFIX");
  scanCommand->add_flag("--no-select", noSelect, "Record every entry as not selected for comparison");
  std::string hash = "none";
  bool rehash = false;
  scanCommand
      ->add_option("--hash", hash,
                   "Record a digest of the content of every regular file: sha256 (against tampering)\n"
                   "or xxh128 (fast change detection)")
      ->check(CLI::IsMember({"sha256", "xxh128", "none"}))
      ->type_name("ALG")
      ->capture_default_str();
  scanCommand
      ->add_option("--reuse", scan.reuse,
                   "Take the digest from this earlier scan for every file whose inode, size, mtime and\n"
                   "ctime are unchanged (same algorithm); read only the others")
      ->type_name("PREVIOUS.db");
  scanCommand->add_flag("--rehash", rehash, "Read and hash every file, even with --reuse");
  scanCommand->add_flag("--quiet,-q", quiet, "No progress line and no summary line");

  fsdbtool::CompareOptions compare;
  bool noMoves = false;
  const char* kReportFooter =
      "One line per change, in path order:\n"
      "  + PATH                      added (a folder with the number of entries beneath it)\n"
      "  - PATH                      deleted\n"
      "  ~ PATH  field: old -> new   changed\n"
      "  > OLD -> NEW                moved (same object: type, inode, and for files size and mtime)\n"
      "  ? PATH (unreadable: reason) a folder the later scan could not list (nothing beneath it is\n"
      "                              reported as deleted)\n"
      "Folders end in '/'. Control bytes, backslashes and bytes that are not UTF-8 in a path are\n"
      "written as \\n, \\t, \\\\ or \\xHH, so one entry is always one line. The last line gives the counts.\n"
      "Exit status: 0 no differences, 1 differences found, 2 error.";
  CLI::App* compareCommand = app.add_subcommand("compare", "Print what changed between two scans");
  compareCommand->footer(kReportFooter);
  compareCommand->add_option("PREVIOUS", compare.previous, "The earlier scan database")->required();
  compareCommand->add_option("CURRENT", compare.current, "The later scan database")->required();
  AddReportOptions(compareCommand, compare, noMoves);

  std::string checkRoot, checkDatabase;
  CLI::App* checkCommand = app.add_subcommand("check", "Print what changed on disk since a scan");
  checkCommand->footer(std::string("ROOT is scanned again with the layout and options recorded in DB, into a "
                                   "temporary file\nthat is removed afterwards, and compared with DB.\n\n") +
                       kReportFooter);
  checkCommand->add_option("ROOT", checkRoot, "The folder that DB recorded")->required();
  checkCommand->add_option("DB", checkDatabase, "The scan database to check against")->required();
  AddReportOptions(checkCommand, compare, noMoves);
  checkCommand->add_flag("--quiet,-q", quiet, "No progress line while scanning");
  checkCommand->add_flag("--rehash", rehash,
                         "Read and hash every file; by default a file whose inode, size, mtime and ctime\n"
                         "are unchanged keeps the digest DB recorded");

  std::string database, path;
  const char* kPathHelp = "A recorded path; a relative one is resolved as scan resolved its root";
  CLI::App* lsCommand = app.add_subcommand("ls", "List a recorded folder like 'ls -l'");
  lsCommand->footer("Sorted by name: type and mode, links, owner:group, size, mtime (UTC), name.");
  lsCommand->add_option("DB", database, "The scan database")->required();
  lsCommand->add_option("PATH", path, kPathHelp)->required();
  CLI::App* statCommand = app.add_subcommand("stat", "Print every recorded field of one entry");
  statCommand->add_option("DB", database, "The scan database")->required();
  statCommand->add_option("PATH", path, kPathHelp)->required();
  CLI::App* infoCommand = app.add_subcommand("info", "Print how a scan database was made");
  infoCommand->footer("Layout, root, time, host, counts, options and the folders that could not be listed.");
  infoCommand->add_option("DB", database, "The scan database")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (argc > 1 && argv[1][0] != '-' &&
        app.get_subcommands([&](CLI::App* command) { return command->get_name() == argv[1]; }).empty()) {
      std::cerr << "fsdb: unknown command '" << argv[1] << "' (see 'fsdb --help')\n";
      return kExitError;
    }
    std::cerr << "fsdb: " << e.what() << " (see 'fsdb --help')\n";
    return kExitError;
  }

  compare.moves = !noMoves;
  if (scanCommand->parsed()) {
    scan.select = !noSelect;
    scan.layout = layout == "optimized" ? FSDB::DATABASE_TYPE_OPTIMIZED : FSDB::DATABASE_TYPE_FULL_PATH;
    scan.progress = ProgressWanted(quiet);
    if (!fsdbtool::ParseDigestAlgorithm(hash, scan.hash))
      return Report(ToolStatus::Fail("unknown digest algorithm: " + hash), verbose);
    if (!scan.reuse.empty() && scan.hash == fsdbtool::DigestAlgorithm::kNone)
      return Report(ToolStatus::Fail("--reuse needs --hash sha256 or --hash xxh128"), verbose);
    if (rehash)
      scan.reuse.clear();
    fsdbtool::ScanInfo info;
    const ToolStatus status = fsdbtool::ScanToDatabase(scan, info);
    if (!status.ok)
      return Report(status, verbose);
    if (!quiet)
      std::cout << fsdbtool::SummaryLine(info, scan.database) << '\n';
    return kExitOk;
  }
  if (compareCommand->parsed())
    return fsdbtool::RunCompare(compare, verbose);
  if (checkCommand->parsed())
    return RunCheck(checkRoot, checkDatabase, compare, rehash, quiet, verbose);

  fsdbtool::ScanInfo info;
  ToolStatus status = fsdbtool::ReadScanInfo(database, info);
  if (!status.ok)
    return Report(status, verbose);
  if (lsCommand->parsed())
    return Report(fsdbtool::ListFolder(database, RecordedPath(path, info)), verbose);
  if (statCommand->parsed())
    return Report(fsdbtool::StatEntry(database, RecordedPath(path, info)), verbose);
  return Report(fsdbtool::PrintInfo(database), verbose);
}

}  // namespace

int main(int argc, char** argv) {
  // SQLite counts every allocation under a process-wide mutex unless told otherwise, and nothing in
  // this process asks for those counts; a scan makes millions of allocations. Set before SQLite's
  // first use, which is the only time it can be.
  (void)sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  // The library's own log lines (performance reports, comparison progress) are for long-running
  // agents; they stay off unless FSDB_LOG_LEVEL asks for them.
  if (std::getenv("FSDB_LOG_LEVEL") == nullptr)
    g_ptrLogWriter = CreateStderrLogWriter(-1);
  fsdbtool::TempDatabaseFile::InstallSignalCleanup();
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    // The library reports through CYaError; what arrives here is the standard library's (allocation,
    // file system). Still one line, and still an error.
    std::cerr << "fsdb: " << e.what() << '\n';
    return kExitError;
  }
}
