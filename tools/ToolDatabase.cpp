#include "ToolDatabase.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "fsdb/DatabaseItem.h"

#ifndef FSDB_TOOL_VERSION
#define FSDB_TOOL_VERSION "0.0.0"
#endif

namespace fsdbtool {

namespace {

// A connection owned from the moment sqlite3_open_v2 returns, whatever it returned.
struct ConnectionCloser {
  void operator()(sqlite3* connection) const { (void)sqlite3_close_v2(connection); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { (void)sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// strerror's text starting in lower case, to sit after a colon in one line.
std::string Reason(int err) {
  std::string text = std::strerror(err);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' &&
      (text.size() < 2 || text[1] < 'A' || text[1] > 'Z'))
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

std::string Dirname(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Basename(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ToolStatus SQLiteFailure(sqlite3* connection, const std::string& path, int code) {
  const int primary = code & 0xFF;
  const std::string detail = "SQLite " + std::to_string(code) + ": " +
                             (connection != nullptr ? sqlite3_errmsg(connection) : sqlite3_errstr(code));
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT)
    return ToolStatus::Fail("not an fsdb database: " + path, detail);
  if (primary == SQLITE_CANTOPEN)
    return ToolStatus::Fail("cannot open " + path + ": " + Reason(errno != 0 ? errno : EIO), detail);
  if (primary == SQLITE_PERM || primary == SQLITE_AUTH || primary == SQLITE_READONLY)
    return ToolStatus::Fail("permission denied: " + path, detail);
  if (primary == SQLITE_FULL)
    return ToolStatus::Fail("no space left on device: " + path, detail);
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
    return ToolStatus::Fail("database is in use by another program: " + path, detail);
  if (primary == SQLITE_IOERR)
    return ToolStatus::Fail("input/output error: " + path, detail);
  return ToolStatus::Fail("cannot use database " + path + ": " + sqlite3_errstr(code), detail);
}

// Runs SQL without results.
int Execute(sqlite3* connection, const char* sql) {
  return sqlite3_exec(connection, sql, nullptr, nullptr, nullptr);
}

int Prepare(sqlite3* connection, const char* sql, Statement& statement) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(connection, sql, -1, &raw, nullptr);
  statement.reset(raw);
  return rc;
}

// Binds text with its exact length: paths may hold any byte but NUL, valid UTF-8 or not.
void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
  (void)sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text == nullptr ? std::string()
                         : std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

// Runs a query and hands each row to `use`. Returns SQLITE_OK or the failing result code.
template <typename Use>
int ForEachRow(sqlite3* connection, const char* sql, Use use) {
  Statement statement;
  int rc = Prepare(connection, sql, statement);
  while (rc == SQLITE_OK && (rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    use(statement.get());
    rc = SQLITE_OK;
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Opens an existing file read-only. SQLite would create a missing file, and reports a folder or an
// unreadable file only as "unable to open", so those are told apart here first.
ToolStatus OpenExisting(const std::string& path, int flags, Connection& connection) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return ToolStatus::Fail("cannot open " + path + ": " + Reason(errno));
  if (S_ISDIR(st.st_mode))
    return ToolStatus::Fail("cannot open " + path + ": " + Reason(EISDIR));
  if (!S_ISREG(st.st_mode))
    return ToolStatus::Fail("not an fsdb database: " + path, "not a regular file");
  sqlite3* raw = nullptr;
  errno = 0;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  connection.reset(raw);
  if (rc != SQLITE_OK)
    return SQLiteFailure(raw, path, rc);
  (void)sqlite3_extended_result_codes(raw, 1);
  (void)sqlite3_busy_timeout(raw, 5000);
  return ToolStatus::Ok();
}

constexpr char kCreateTables[] =
    "CREATE TABLE IF NOT EXISTS FsdbScan (Key TEXT NOT NULL PRIMARY KEY, Value);"
    "CREATE TABLE IF NOT EXISTS FsdbExcludes (Position INTEGER NOT NULL PRIMARY KEY, Pattern TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS FsdbUnreadable (Path TEXT NOT NULL, Reason TEXT NOT NULL);"
    "DELETE FROM FsdbScan; DELETE FROM FsdbExcludes; DELETE FROM FsdbUnreadable;";

// The signal handler's table: the names to remove, written before the slot is marked used, so the
// handler reads only complete names. Each slot holds the file and SQLite's companions.
constexpr int kSlots = 4;
constexpr int kNamesPerSlot = 4;
constexpr const char* kCompanions[kNamesPerSlot] = {"", "-journal", "-wal", "-shm"};
char g_tempNames[kSlots][kNamesPerSlot][PATH_MAX];
volatile sig_atomic_t g_slotUsed[kSlots];

// Only a scan with digests has the table; its rows are written whole, never updated.
constexpr char kDropDigestTable[] = "DROP TABLE IF EXISTS FsdbDigests";
constexpr char kCreateDigestTable[] =
    "CREATE TABLE FsdbDigests (Chunk INTEGER NOT NULL PRIMARY KEY, Records BLOB NOT NULL)";

void RemoveTempFilesOnSignal(int signal) {
  for (int slot = 0; slot < kSlots; ++slot) {
    if (g_slotUsed[slot] == 0)
      continue;
    for (int name = 0; name < kNamesPerSlot; ++name)
      (void)unlink(g_tempNames[slot][name]);
  }
  // Die of the same signal, so the parent sees what happened.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  (void)sigaction(signal, &action, nullptr);
  (void)raise(signal);
}

int ClaimSlot(const std::string& path) {
  if (path.size() + 16 >= PATH_MAX)
    return -1;
  for (int slot = 0; slot < kSlots; ++slot) {
    if (g_slotUsed[slot] != 0)
      continue;
    for (int name = 0; name < kNamesPerSlot; ++name) {
      const std::string full = path + kCompanions[name];
      std::memcpy(g_tempNames[slot][name], full.c_str(), full.size() + 1);
    }
    // The names are complete before the handler can see the slot in use.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_slotUsed[slot] = 1;
    return slot;
  }
  return -1;
}

constexpr char kTempMarker[] = ".fsdb-tmp-";

// Whether a process holds the lock a scan takes on its temporary file. A missing file is not locked.
bool IsLocked(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return false;
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  (void)close(fd);  // releases the lock just taken, if any
  return locked;
}

// The rows of FsdbScan and the ScanInfo members they hold. Readers ignore keys they do not know, so
// new keys need no schema change.
struct TextKey {
  const char* key;
  std::string ScanInfo::*field;
};
constexpr TextKey kTextKeys[] = {{"Root", &ScanInfo::root},
                                 {"ScannedRoot", &ScanInfo::scannedRoot},
                                 {"ToolVersion", &ScanInfo::toolVersion},
                                 {"TimeUnit", &ScanInfo::timeUnit},
                                 {"Host", &ScanInfo::host},
                                 {"Hash", &ScanInfo::hash}};
struct NumberKey {
  const char* key;
  int64_t (*get)(const ScanInfo&);
  void (*set)(ScanInfo&, int64_t);
};
// A count member, stored as the signed 64-bit value SQLite keeps.
template <uint64_t ScanInfo::*Count>
constexpr NumberKey CountKey(const char* key) {
  return {key, [](const ScanInfo& i) { return static_cast<int64_t>(i.*Count); },
          [](ScanInfo& i, int64_t v) { i.*Count = static_cast<uint64_t>(v); }};
}
const NumberKey kNumberKeys[] = {
    {"StartNs", [](const ScanInfo& i) { return i.startNs; }, [](ScanInfo& i, int64_t v) { i.startNs = v; }},
    {"EndNs", [](const ScanInfo& i) { return i.endNs; }, [](ScanInfo& i, int64_t v) { i.endNs = v; }},
    CountKey<&ScanInfo::folders>("Folders"),
    CountKey<&ScanInfo::files>("Files"),
    CountKey<&ScanInfo::skipped>("Skipped"),
    CountKey<&ScanInfo::bytesRead>("BytesRead"),
    CountKey<&ScanInfo::filesHashed>("FilesHashed"),
    CountKey<&ScanInfo::filesReused>("FilesReused"),
    CountKey<&ScanInfo::unreadableFiles>("UnreadableFiles"),
    {"OneFileSystem", [](const ScanInfo& i) { return int64_t{i.oneFileSystem}; },
     [](ScanInfo& i, int64_t v) { i.oneFileSystem = v != 0; }},
    {"Select", [](const ScanInfo& i) { return int64_t{i.select}; },
     [](ScanInfo& i, int64_t v) { i.select = v != 0; }},
};

}  // namespace

ToolStatus ToolStatus::Ok() {
  return ToolStatus();
}

ToolStatus ToolStatus::Fail(std::string message, std::string detail) {
  ToolStatus status;
  status.ok = false;
  status.message = std::move(message);
  status.detail = std::move(detail);
  return status;
}

const char* ToolVersion() {
  return FSDB_TOOL_VERSION;
}

bool HasDigests(const ScanInfo& info) {
  return !info.hash.empty() && info.hash != "none";
}

const char* LayoutName(FSDB::DatabaseType layout) {
  return layout == FSDB::DATABASE_TYPE_OPTIMIZED ? "optimized" : "full";
}

ToolStatus ReadScanInfo(const std::string& databasePath, ScanInfo& info) {
  info = ScanInfo();
  Connection connection;
  ToolStatus status = OpenExisting(databasePath, SQLITE_OPEN_READONLY, connection);
  if (!status.ok)
    return status;
  sqlite3* db = connection.get();

  // The layouts differ in how Folders names a folder: by full path, or by name below a parent.
  Statement statement;
  int rc = Prepare(
      db,
      "SELECT (SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('Files','Folders')),"
      " (SELECT count(*) FROM sqlite_master WHERE type='table' AND name='FsdbScan'),"
      " (SELECT count(*) FROM pragma_table_info('Folders') WHERE name='FolderName')",
      statement);
  if (rc == SQLITE_OK)
    rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW)
    return SQLiteFailure(db, databasePath, rc);
  if (sqlite3_column_int(statement.get(), 0) != 2)
    return ToolStatus::Fail("not an fsdb database: " + databasePath, "no Files and Folders tables");
  info.hasToolTable = sqlite3_column_int(statement.get(), 1) == 1;
  info.layout = sqlite3_column_int(statement.get(), 2) == 1 ? FSDB::DATABASE_TYPE_OPTIMIZED
                                                            : FSDB::DATABASE_TYPE_FULL_PATH;
  if (!info.hasToolTable)
    return ToolStatus::Ok();

  rc = ForEachRow(db, "SELECT Key, Value FROM FsdbScan", [&](sqlite3_stmt* row) {
    const std::string key = ColumnText(row, 0);
    for (const TextKey& text : kTextKeys) {
      if (key == text.key)
        info.*text.field = ColumnText(row, 1);
    }
    for (const NumberKey& number : kNumberKeys) {
      if (key == number.key)
        number.set(info, sqlite3_column_int64(row, 1));
    }
  });
  if (rc == SQLITE_OK) {
    rc = ForEachRow(db, "SELECT Pattern FROM FsdbExcludes ORDER BY Position",
                    [&](sqlite3_stmt* row) { info.excludes.push_back(ColumnText(row, 0)); });
  }
  if (rc == SQLITE_OK) {
    rc = ForEachRow(db, "SELECT Path, Reason FROM FsdbUnreadable ORDER BY Path", [&](sqlite3_stmt* row) {
      info.unreadable.push_back({ColumnText(row, 0), ColumnText(row, 1)});
    });
  }
  if (rc != SQLITE_OK)
    return SQLiteFailure(db, databasePath, rc);
  return ToolStatus::Ok();
}

ToolStatus WriteScanInfo(const std::string& databasePath, const ScanInfo& info,
                         const std::vector<std::string>& digestChunks) {
  Connection connection;
  ToolStatus status = OpenExisting(databasePath, SQLITE_OPEN_READWRITE, connection);
  if (!status.ok)
    return status;
  sqlite3* db = connection.get();
  // The file counts only once its writer syncs it (TempDatabaseFile::Commit), so the syncs of each
  // commit here would only wait for the disk twice.
  int rc = Execute(db, "PRAGMA synchronous=OFF");
  if (rc == SQLITE_OK)
    rc = Execute(db, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK)
    rc = Execute(db, kCreateTables);

  Statement statement;
  if (rc == SQLITE_OK)
    rc = Prepare(db, "INSERT INTO FsdbScan (Key, Value) VALUES (?1, ?2)", statement);
  auto put = [&](const char* key, auto value) {
    if (rc != SQLITE_OK)
      return;
    (void)sqlite3_reset(statement.get());
    (void)sqlite3_bind_text(statement.get(), 1, key, -1, SQLITE_STATIC);
    if constexpr (std::is_same_v<decltype(value), std::string>)
      BindText(statement.get(), 2, value);
    else
      (void)sqlite3_bind_int64(statement.get(), 2, static_cast<sqlite3_int64>(value));
    rc = sqlite3_step(statement.get());
    if (rc == SQLITE_DONE)
      rc = SQLITE_OK;
  };
  put("Layout", std::string(LayoutName(info.layout)));  // for people: readers detect it from the schema
  for (const TextKey& text : kTextKeys)
    put(text.key, info.*text.field);
  for (const NumberKey& number : kNumberKeys)
    put(number.key, number.get(info));

  if (rc == SQLITE_OK)
    rc = Prepare(db, "INSERT INTO FsdbExcludes (Position, Pattern) VALUES (?1, ?2)", statement);
  for (size_t i = 0; rc == SQLITE_OK && i < info.excludes.size(); ++i) {
    (void)sqlite3_reset(statement.get());
    (void)sqlite3_bind_int64(statement.get(), 1, static_cast<sqlite3_int64>(i));
    BindText(statement.get(), 2, info.excludes[i]);
    rc = sqlite3_step(statement.get());
    rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
  }
  if (rc == SQLITE_OK)
    rc = Prepare(db, "INSERT INTO FsdbUnreadable (Path, Reason) VALUES (?1, ?2)", statement);
  for (size_t i = 0; rc == SQLITE_OK && i < info.unreadable.size(); ++i) {
    (void)sqlite3_reset(statement.get());
    BindText(statement.get(), 1, info.unreadable[i].path);
    BindText(statement.get(), 2, info.unreadable[i].reason);
    rc = sqlite3_step(statement.get());
    rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
  }
  if (rc == SQLITE_OK)
    rc = Execute(db, kDropDigestTable);
  if (rc == SQLITE_OK && HasDigests(info)) {
    rc = Execute(db, kCreateDigestTable);
    if (rc == SQLITE_OK)
      rc = Prepare(db, "INSERT INTO FsdbDigests (Chunk, Records) VALUES (?1, ?2)", statement);
    for (size_t i = 0; rc == SQLITE_OK && i < digestChunks.size(); ++i) {
      (void)sqlite3_reset(statement.get());
      (void)sqlite3_bind_int64(statement.get(), 1, static_cast<sqlite3_int64>(i));
      (void)sqlite3_bind_blob64(statement.get(), 2, digestChunks[i].data(), digestChunks[i].size(),
                                SQLITE_STATIC);
      rc = sqlite3_step(statement.get());
      rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
  }
  statement.reset();
  if (rc == SQLITE_OK)
    rc = Execute(db, "COMMIT");
  if (rc != SQLITE_OK) {
    const ToolStatus failure = SQLiteFailure(db, databasePath, rc);
    (void)Execute(db, "ROLLBACK");  // ends the transaction if it is still open; its own error adds nothing
    return failure;
  }

  // A file left in WAL mode (the library's default for a writable database) makes every read-only open
  // create -wal and -shm files beside it; in rollback-journal mode a reader creates nothing. A scan's
  // own file is in that mode already, and then this costs nothing.
  rc = Prepare(db, "PRAGMA journal_mode=DELETE", statement);
  if (rc == SQLITE_OK)
    rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW)
    return SQLiteFailure(db, databasePath, rc);
  if (ColumnText(statement.get(), 0) != "delete")
    return ToolStatus::Fail("cannot finish database " + databasePath + ": it stays in WAL mode");
  statement.reset();
  rc = sqlite3_close(connection.release());
  if (rc != SQLITE_OK)
    return SQLiteFailure(nullptr, databasePath, rc);
  return ToolStatus::Ok();
}

ToolStatus ReadDigestChunks(const std::string& databasePath, bool& stored,
                            const std::function<bool(const unsigned char* data, size_t size)>& use) {
  stored = false;
  Connection connection;
  ToolStatus status = OpenExisting(databasePath, SQLITE_OPEN_READONLY, connection);
  if (!status.ok)
    return status;
  sqlite3* db = connection.get();
  int rc = ForEachRow(db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='FsdbDigests'",
                      [&](sqlite3_stmt* row) { stored = sqlite3_column_int(row, 0) == 1; });
  if (rc != SQLITE_OK)
    return SQLiteFailure(db, databasePath, rc);
  if (!stored)
    return ToolStatus::Ok();
  bool whole = true;
  rc = ForEachRow(db, "SELECT Records FROM FsdbDigests ORDER BY Chunk", [&](sqlite3_stmt* row) {
    if (whole) {
      const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(row, 0));
      whole = use(data, static_cast<size_t>(sqlite3_column_bytes(row, 0)));
    }
  });
  if (rc != SQLITE_OK)
    return SQLiteFailure(db, databasePath, rc);
  if (!whole)
    return ToolStatus::Fail("damaged digest index: " + databasePath);
  return ToolStatus::Ok();
}

void StartWriteback(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return;
  (void)sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  (void)close(fd);
}

ToolStatus OpenForReading(const std::string& databasePath, std::unique_ptr<FSDB::CScanDatabase>& database,
                          ScanInfo& info) {
  ToolStatus status = ReadScanInfo(databasePath, info);
  if (!status.ok)
    return status;
  database = std::make_unique<FSDB::CScanDatabase>(databasePath, info.layout, true);
  // Each reader (ls, stat, the reuse lookups of a scan) uses its database from one thread at a time.
  database->SetSingleThreaded(true);
  CYaError error = database->Open(false);
  if (error.IsError())
    return FromLibraryError(error, "cannot open", databasePath);
  return ToolStatus::Ok();
}

ToolStatus FromLibraryError(const CYaError& error, const std::string& what, const std::string& path) {
  const std::string detail = error.AsString();
  int sqliteCode = 0;
  if (FXErrorUtil::IsSQLite(error, &sqliteCode))
    return ToolStatus::Fail(SQLiteFailure(nullptr, path, sqliteCode).message, detail);
  if (FXErrorUtil::IsWin32(error, 1168))
    return ToolStatus::Fail("not in this scan: " + path, detail);
  if (FXErrorUtil::IsWin32(error, 2) || FXErrorUtil::IsWin32(error, 3))
    return ToolStatus::Fail("no such file: " + path, detail);
  if (FXErrorUtil::IsWin32(error, 5))
    return ToolStatus::Fail("permission denied: " + path, detail);
  if (FXErrorUtil::IsWin32(error, 87))
    return ToolStatus::Fail("not a path this scan can hold: " + path, detail);
  if (FXErrorUtil::IsWin32(error, 8) || FXErrorUtil::IsWin32(error, 14))
    return ToolStatus::Fail(what + ": " + path + ": out of memory", detail);
  const std::string message = error.GetMessage();
  return ToolStatus::Fail(what + ": " + path + (message.empty() ? "" : " (" + message + ")"), detail);
}

TempDatabaseFile::~TempDatabaseFile() {
  if (!committed_)
    Remove();
  else if (slot_ >= 0)
    g_slotUsed[slot_] = 0;
}

void TempDatabaseFile::Remove() {
  if (fd_ >= 0)
    (void)close(fd_);
  fd_ = -1;
  if (!path_.empty()) {
    for (const char* companion : kCompanions)
      (void)unlink((path_ + companion).c_str());
  }
  if (slot_ >= 0)
    g_slotUsed[slot_] = 0;
  slot_ = -1;
}

ToolStatus TempDatabaseFile::Create(const std::string& databasePath) {
  databasePath_ = databasePath;
  const std::string folder = Dirname(databasePath);
  const std::string name = Basename(databasePath);
  if (name.empty() || name == "." || name == "..")
    return ToolStatus::Fail("not a database file name: " + databasePath);
  path_ = folder + "/." + name + kTempMarker + std::to_string(getpid());
  for (int attempt = 0; attempt < 2; ++attempt) {
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0 || errno != EEXIST)
      break;
    // A file of this process's own name can only be left by a dead process that had the same id.
    for (const char* companion : kCompanions)
      (void)unlink((path_ + companion).c_str());
  }
  if (fd_ < 0) {
    const int err = errno;
    const std::string attempted = path_;
    path_.clear();
    return ToolStatus::Fail("cannot write " + databasePath + ": " + Reason(err), "creating " + attempted);
  }
  // The umask may have taken bits away, never added any; fchmod makes the mode exact either way.
  if (fchmod(fd_, 0600) != 0) {
    const int err = errno;
    Remove();
    return ToolStatus::Fail("cannot set the mode of " + path_ + ": " + Reason(err));
  }
  // Held until the descriptor closes: tells RemoveStale() of any process that this file is in use.
  (void)flock(fd_, LOCK_EX | LOCK_NB);  // a fresh file: nobody else can hold it
  slot_ = ClaimSlot(path_);
  return ToolStatus::Ok();
}

ToolStatus TempDatabaseFile::Commit() {
  if (fd_ < 0)
    return ToolStatus::Fail("no temporary database to finish for " + databasePath_);
  if (fsync(fd_) != 0)
    return ToolStatus::Fail("cannot sync " + path_ + ": " + Reason(errno));
  if (rename(path_.c_str(), databasePath_.c_str()) != 0)
    return ToolStatus::Fail("cannot replace " + databasePath_ + ": " + Reason(errno));
  committed_ = true;
  (void)close(fd_);
  fd_ = -1;
  if (slot_ >= 0)
    g_slotUsed[slot_] = 0;
  slot_ = -1;
  const int folder = open(Dirname(databasePath_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0)
    return ToolStatus::Fail("cannot sync the folder of " + databasePath_ + ": " + Reason(errno));
  const int rc = fsync(folder);
  const int err = errno;
  (void)close(folder);
  if (rc != 0)
    return ToolStatus::Fail("cannot sync the folder of " + databasePath_ + ": " + Reason(err));
  return ToolStatus::Ok();
}

int TempDatabaseFile::RemoveStale(const std::string& databasePath) {
  const std::string folder = Dirname(databasePath);
  const std::string prefix = "." + Basename(databasePath) + kTempMarker;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr)
    return 0;
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
  int removed = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0)
      continue;
    size_t end = prefix.size();
    long pid = 0;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9' && pid < INT_MAX / 10)
      pid = pid * 10 + (name[end++] - '0');
    const std::string rest = name.substr(end);
    if (end == prefix.size() || (rest != "" && rest != "-journal" && rest != "-wal" && rest != "-shm"))
      continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
      continue;
    // The process id may belong to another PID namespace sharing this folder: a file whose scan
    // still holds its lock is alive whatever the id says.
    if (IsLocked(folder + "/" + name.substr(0, end)))
      continue;
    if (unlink((folder + "/" + name).c_str()) == 0)
      ++removed;
  }
  return removed;
}

void TempDatabaseFile::InstallSignalCleanup() {
  struct sigaction action {};
  action.sa_handler = RemoveTempFilesOnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    (void)sigaction(signal, &action, nullptr);
}

}  // namespace fsdbtool
