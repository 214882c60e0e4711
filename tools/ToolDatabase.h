// The tool's side of a scan database: its own tables, layout detection, read-only opening, the error a
// person reads, and the temporary file a scan is written to before it replaces the database.
//
// The library's schema is never changed. Next to it the tool keeps, in every database it writes:
//   FsdbScan(Key TEXT PRIMARY KEY, Value)      one row per scalar (root, layout, times, counts, options)
//   FsdbExcludes(Position INTEGER PRIMARY KEY, Pattern TEXT)
//   FsdbUnreadable(Path TEXT, Reason TEXT)     folders whose entries could not be listed
//   FsdbDigests(Chunk INTEGER PRIMARY KEY, Records BLOB)  a scan with digests: its files' digests by
//                                              identity, for the next scan to take over (DigestIndex.h)
// A database without FsdbScan was made by another program: it still reads, its layout detected from
// the schema and its times shown as stored.
//
// Nothing here is shared between threads; each call opens and closes its own connection.

#ifndef FSDB_TOOLS_TOOLDATABASE_H_
#define FSDB_TOOLS_TOOLDATABASE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fsdb/Error.h"
#include "fsdb/ScanDatabase.h"

namespace fsdbtool {

// The tool's error: one line for a person, details only for --verbose.
struct ToolStatus {
  bool ok = true;
  std::string message;  // "not an fsdb database: x.db", "not in this scan: /etc/x"
  std::string detail;   // the library's CYaError::AsString(), shown with --verbose
  static ToolStatus Ok();
  static ToolStatus Fail(std::string message, std::string detail = "");
};

struct UnreadableFolder {
  std::string path;  // as recorded (under --as)
  std::string reason;
};

struct ScanInfo {
  bool hasToolTable = false;                                  // false: a database made by another program
  FSDB::DatabaseType layout = FSDB::DATABASE_TYPE_FULL_PATH;  // always detected from the schema
  std::string root;                                           // the recorded root (after --as)
  std::string scannedRoot;                                    // the real path walked
  std::string toolVersion, timeUnit /* "ns" */, host;
  int64_t startNs = 0, endNs = 0;
  uint64_t folders = 0, files = 0, skipped = 0;
  std::vector<std::string> excludes;
  bool oneFileSystem = false, select = true;
  std::vector<UnreadableFolder> unreadable;
  // Content digests: the algorithm ("sha256", "xxh128"; empty or "none" when the scan recorded none),
  // the bytes read to compute them, the files read and hashed, the files whose digest was taken over
  // from an earlier scan, and the regular files recorded without a digest because they could not be read.
  std::string hash;
  uint64_t bytesRead = 0, filesHashed = 0, filesReused = 0, unreadableFiles = 0;
};

// Whether the scan recorded content digests.
bool HasDigests(const ScanInfo& info);

// The tool's version, as `fsdb --version` prints it and the tool table records it.
const char* ToolVersion();

// "full" or "optimized".
const char* LayoutName(FSDB::DatabaseType layout);

// Reads the layout from the schema and the tool table if any, read-only, leaving no file behind.
// Fails with "not an fsdb database: PATH" (not SQLite, or no Files table) or "cannot open PATH: reason".
ToolStatus ReadScanInfo(const std::string& databasePath, ScanInfo& info);

// Writes the tool's tables into a closed scan database (replacing any earlier content of them) and
// switches the file to journal_mode=DELETE, so that a later read-only open leaves no -wal/-shm beside it.
// A scan with digests also stores `digestChunks`, the blobs of its DigestIndexWriter. It does not sync
// the file: its writer does before the file replaces a database.
ToolStatus WriteScanInfo(const std::string& databasePath, const ScanInfo& info,
                         const std::vector<std::string>& digestChunks = {});

// Hands each stored blob of the digests of a scan to `use`, in order, and sets `stored` to whether the
// database has them at all (a scan without digests, or one made by an earlier version, has not). Stops
// at the first blob `use` refuses, with `stored` true and the error "damaged digest index: PATH".
ToolStatus ReadDigestChunks(const std::string& databasePath, bool& stored,
                            const std::function<bool(const unsigned char* data, size_t size)>& use);

// Starts writing to the disk what the file at `path` holds so far, without waiting for it. A scan's
// file must reach the disk before it replaces the database; begun while the scan still works on the
// other core, that write is mostly done by the time the final sync waits for it. Best effort: a
// failure only leaves the work to the sync. Thread-safe.
void StartWriteback(const std::string& path);

// Opens an existing scan database read-only with its detected layout, without the reporting thread.
// `info` receives what ReadScanInfo reads. Fails like ReadScanInfo, or with the library's error.
ToolStatus OpenForReading(const std::string& databasePath, std::unique_ptr<FSDB::CScanDatabase>& database,
                          ScanInfo& info);

// The one line a person reads for a library error met while working on `path` (a database file or a
// recorded path): 1168 "not in this scan: PATH", 2/3 "no such file: PATH", 5/13 "permission denied:
// PATH", SQLite "not an fsdb database: PATH" and so on; the error's AsString() goes to `detail`.
ToolStatus FromLibraryError(const CYaError& error, const std::string& what, const std::string& path);

// A file beside a database that becomes the database only when Commit() succeeds: created with O_EXCL
// and mode 0600 as ".NAME.fsdb-tmp-PID", removed by the destructor (and by a SIGINT/SIGTERM/SIGHUP
// handler) unless committed. A scan killed with SIGKILL leaves its file behind; RemoveStale() of the
// next scan beside the same database removes files of this pattern whose process is gone.
// Not thread-safe; the signal handler only reads a fixed table of names.
class TempDatabaseFile {
 public:
  TempDatabaseFile() = default;
  ~TempDatabaseFile();
  TempDatabaseFile(const TempDatabaseFile&) = delete;
  TempDatabaseFile& operator=(const TempDatabaseFile&) = delete;

  // Creates the temporary file for `databasePath` (which need not exist).
  ToolStatus Create(const std::string& databasePath);
  const std::string& path() const { return path_; }
  // Syncs the file, renames it over the database and syncs the folder. After success the destructor
  // leaves the file alone.
  ToolStatus Commit();
  // Removes temporary files beside `databasePath` left by processes that no longer run. Returns the
  // number removed.
  static int RemoveStale(const std::string& databasePath);
  // Installs the handler that removes live temporary files on SIGINT, SIGTERM and SIGHUP.
  static void InstallSignalCleanup();

 private:
  void Remove();

  std::string databasePath_;
  std::string path_;
  int fd_ = -1;
  int slot_ = -1;  // in the signal handler's table
  bool committed_ = false;
};

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_TOOLDATABASE_H_
