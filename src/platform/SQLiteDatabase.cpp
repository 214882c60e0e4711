#include "platform/SQLiteDatabase.h"

#include <sqlite3.h>

#include <cctype>
#include <memory>

#include <boost/make_shared.hpp>

#include "platform/Log.h"

namespace FX {
namespace {

// The one place where a failed sqlite3 call becomes an exception. The message is read from the
// connection right here, before any later call on the connection can replace it.
[[noreturn]] void Throw(sqlite3* database, int result) {
  throw CSQLite3Exception(result, database != nullptr ? sqlite3_errmsg(database) : sqlite3_errstr(result));
}

void Check(sqlite3* database, int result) {
  if (result != SQLITE_OK)
    Throw(database, result);
}

// sqlite3_step answers SQLITE_ROW or SQLITE_DONE on success; anything else is a failure. The statement
// is reset before the exception leaves, so that a failed execution holds no lock; sqlite3_reset
// repeats the step's error, which is reported already.
bool StepOrThrow(sqlite3* database, sqlite3_stmt* statement) {
  const int result = sqlite3_step(statement);
  if (result == SQLITE_ROW)
    return true;
  if (result == SQLITE_DONE)
    return false;
  CSQLite3Exception failure(result, sqlite3_errmsg(database));
  (void)sqlite3_reset(statement);  // repeats `result`
  throw failure;
}

sqlite3* RequireOpen(sqlite3* database) {
  if (database == nullptr)
    throw CSQLite3Exception(SQLITE_MISUSE, "database is not open");
  return database;
}

struct ConnectionCloser {
  void operator()(sqlite3* database) const {
    // close_v2 never fails for a valid handle: with statements still alive the connection becomes a
    // zombie that SQLite frees when the last of them is finalized.
    (void)sqlite3_close_v2(database);
  }
};

bool IsBlank(const char* text) {
  for (; *text != '\0'; ++text) {
    if (!std::isspace(static_cast<unsigned char>(*text)))
      return false;
  }
  return true;
}

}  // namespace

// --- CSQLite3Exception -----------------------------------------------------------------------------

CSQLite3Exception::CSQLite3Exception(int errorCode, const char* message)
    : code_(errorCode), hasMessage_(message != nullptr), message_(message != nullptr ? message : "") {}

const char* CSQLite3Exception::what() const noexcept {
  return hasMessage_ ? message_.c_str() : sqlite3_errstr(code_);
}

CYaError ErrorFromException(const FXCodeLocation& location, const CSQLite3Exception& exception) {
  const char* message = exception.errorMessage();
  if (message != nullptr) {
    return FXErrorUtil::ErrorSQLite(location, exception.errorCode(), "SQLite Exception%s%s", ", ", message);
  }
  return FXErrorUtil::ErrorSQLite(location, exception.errorCode(), "SQLite Exception%s%s", "", "");
}

// --- CSQLite3Query ---------------------------------------------------------------------------------

CSQLite3Query::CSQLite3Query(const boost::shared_ptr<CSQLite3Statement>& statement, uint64_t generation,
                             bool eof)
    : statement_(statement), generation_(generation), eof_(eof) {}

CSQLite3Query::~CSQLite3Query() {
  // Once the statement has been reset or run again, it belongs to a newer execution (or to nobody):
  // resetting it here would pull the rows from under a newer cursor.
  if (statement_->generation_ == generation_) {
    (void)sqlite3_reset(statement_->statement_);  // repeats the last step's error, reported already
  }
}

sqlite3_stmt* CSQLite3Query::Handle() const {
  if (statement_->generation_ != generation_) {
    throw CSQLite3Exception(SQLITE_MISUSE, "cursor used after its statement was reset or run again");
  }
  return statement_->statement_;
}

void CSQLite3Query::NextRow() {
  sqlite3_stmt* handle = Handle();
  // Stepping a finished statement would start it over; the end stays the end.
  if (eof_)
    return;
  try {
    eof_ = !StepOrThrow(statement_->database_, handle);
  } catch (const CSQLite3Exception&) {
    eof_ = true;  // the failed step has reset the statement: there is no current row any more
    throw;
  }
}

namespace {

// Every field getter needs a current row and a column that exists; sqlite3_column_* would answer
// NULL for both mistakes and hide them.
void CheckColumn(sqlite3_stmt* handle, bool eof, int column) {
  if (eof)
    throw CSQLite3Exception(SQLITE_MISUSE, "cursor has no current row");
  if (column < 0 || column >= sqlite3_column_count(handle)) {
    throw CSQLite3Exception(SQLITE_RANGE, "column index out of range");
  }
}

}  // namespace

sqlite3_stmt* CSQLite3Query::Field(int column) const {
  sqlite3_stmt* handle = Handle();
  CheckColumn(handle, eof_, column);
  return handle;
}

// The numeric getters: SQLite reads NULL as 0, so only another default needs the type asked first (each
// sqlite3_column_* call looks the column up again).
int CSQLite3Query::GetIntField(int column, int defaultValue) const {
  sqlite3_stmt* handle = Field(column);
  if (defaultValue != 0 && sqlite3_column_type(handle, column) == SQLITE_NULL)
    return defaultValue;
  return sqlite3_column_int(handle, column);
}

int64_t CSQLite3Query::GetInt64Field(int column, int64_t defaultValue) const {
  sqlite3_stmt* handle = Field(column);
  if (defaultValue != 0 && sqlite3_column_type(handle, column) == SQLITE_NULL)
    return defaultValue;
  return sqlite3_column_int64(handle, column);
}

const char* CSQLite3Query::GetStringField(int column, const char* defaultValue) const {
  sqlite3_stmt* handle = Field(column);
  // Only NULL, a zero-length blob and a failed conversion give no text: the type is asked then only.
  const unsigned char* text = sqlite3_column_text(handle, column);
  if (text == nullptr) {
    if (sqlite3_column_type(handle, column) == SQLITE_NULL)
      return defaultValue;
    // A zero-length blob has no text pointer; otherwise the conversion ran out of memory.
    if (sqlite3_errcode(statement_->database_) == SQLITE_NOMEM)
      Throw(statement_->database_, SQLITE_NOMEM);
    return "";
  }
  return reinterpret_cast<const char*>(text);
}

bool CSQLite3Query::IsNull(int column) const {
  return sqlite3_column_type(Field(column), column) == SQLITE_NULL;
}

int CSQLite3Query::NumFields() const {
  return sqlite3_column_count(Handle());
}

// --- CSQLite3Statement -----------------------------------------------------------------------------

CSQLite3Statement::CSQLite3Statement(sqlite3* database, sqlite3_stmt* statement)
    : database_(database), statement_(statement), generation_(0), stepped_(false) {}

CSQLite3Statement::~CSQLite3Statement() {
  (void)sqlite3_finalize(statement_);  // repeats the last step's error, reported already
}

void CSQLite3Statement::Check(int result) const {
  FX::Check(database_, result);
}

void CSQLite3Statement::Reset() {
  ++generation_;
  if (!stepped_)
    return;
  stepped_ = false;
  // The result of sqlite3_reset is that of the last step, which was reported when it failed; the reset
  // itself always succeeds.
  (void)sqlite3_reset(statement_);
}

void CSQLite3Statement::ClearBindings() {
  Check(sqlite3_clear_bindings(statement_));
}

void CSQLite3Statement::Bind(int index, int value) {
  Check(sqlite3_bind_int(statement_, index, value));
}

void CSQLite3Statement::Bind(int index, long value) {
  Check(sqlite3_bind_int64(statement_, index, static_cast<sqlite3_int64>(value)));
}

void CSQLite3Statement::Bind(int index, long long value) {
  Check(sqlite3_bind_int64(statement_, index, static_cast<sqlite3_int64>(value)));
}

void CSQLite3Statement::Bind(int index, const char* value) {
  // A null pointer binds NULL, as sqlite3_bind_text does.
  Check(sqlite3_bind_text(statement_, index, value, -1, SQLITE_TRANSIENT));
}

void CSQLite3Statement::Bind(int index, const std::string& value) {
  Check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
}

void CSQLite3Statement::BindStatic(int index, const std::string& value) {
  Check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC));
}

void CSQLite3Statement::BindNull(int index) {
  Check(sqlite3_bind_null(statement_, index));
}

int CSQLite3Statement::ExecDML() {
  // Every execution starts from the first step, even when a cursor of an earlier one is still alive;
  // the new generation keeps that cursor from resetting this run.
  Reset();
  stepped_ = true;
  while (StepOrThrow(database_, statement_)) {
  }
  const int changes = sqlite3_changes(database_);
  // A finished statement holds no lock, but resetting it now keeps the state obvious: nothing of a DML
  // stays open after it returns.
  Reset();
  return changes;
}

boost::shared_ptr<CSQLite3Query> CSQLite3Statement::ExecQuery() {
  Reset();
  stepped_ = true;
  const bool hasRow = StepOrThrow(database_, statement_);
  return boost::make_shared<CSQLite3Query>(shared_from_this(), generation_, !hasRow);
}

const char* CSQLite3Statement::GetSQL() const {
  return sqlite3_sql(statement_);
}

// --- CDatabaseBase ---------------------------------------------------------------------------------

CDatabaseBase::CDatabaseBase(int flags)
    : flags_(flags), database_(nullptr), transactionDepth_(0), rollbackOnly_(false) {}

CDatabaseBase::~CDatabaseBase() {
  CloseDatabase();
}

void CDatabaseBase::SetDatabasePath(const std::string& folder) {
  path_ = folder;
}

void CDatabaseBase::SetDatabaseName(const std::string& name) {
  name_ = name;
}

std::string CDatabaseBase::GetDatabaseFile() const {
  if (path_.empty())
    return name_;  // relative to the working directory
  if (path_.back() == '/')
    return path_ + name_;
  return path_ + "/" + name_;
}

CYaError CDatabaseBase::OpenDatabase() {
  if (IsOpen())
    return CYaError::Success();
  const int openFlags =
      ((flags_ & OPEN_READ_ONLY) != 0 ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
      (noMutex_ ? SQLITE_OPEN_NOMUTEX : 0);
  const std::string file = GetDatabaseFile();
  try {
    sqlite3* raw = nullptr;
    const int result = sqlite3_open_v2(file.c_str(), &raw, openFlags, nullptr);
    // SQLite hands out a handle even when the open fails (it carries the error message); it is ours to
    // close from this point on, whichever way the function is left.
    std::unique_ptr<sqlite3, ConnectionCloser> connection(raw);
    if (connection == nullptr)
      throw CSQLite3Exception(SQLITE_NOMEM, sqlite3_errstr(SQLITE_NOMEM));
    Check(connection.get(), result);
    if (collationNeeded_) {
      Check(connection.get(),
            sqlite3_collation_needed(connection.get(), this, &CDatabaseBase::CollationNeeded));
    }
    database_ = connection.release();
  } catch (const CSQLite3Exception& exception) {
    return ErrorFromException(FX_LOCATION, exception).Push(FX_LOCATION, "cannot open %s", file.c_str());
  }
  return CYaError::Success();
}

void CDatabaseBase::OnTransactionEnded(bool /*committed*/) {}

bool CDatabaseBase::IsTransactionDoomed() const {
  if (transactionDepth_ == 0 || database_ == nullptr)
    return false;
  return rollbackOnly_ || sqlite3_get_autocommit(database_) != 0;
}

int CDatabaseBase::ProgressHandler() {
  return 0;
}

void CDatabaseBase::CloseDatabase() {
  if (database_ == nullptr)
    return;
  // A statement that outlives this object keeps the connection alive as a zombie; it must not call back
  // into an object that is gone.
  (void)sqlite3_collation_needed(database_, nullptr, nullptr);  // only fails for a bad handle
  ConnectionCloser()(database_);
  database_ = nullptr;
}

CYaError CDatabaseBase::Execute(const std::string& sql) {
  return RunGuarded(FX_LOCATION, [&]() -> CYaError {
    sqlite3* database = RequireOpen(database_);
    Check(database, sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr));
    return CYaError::Success();
  });
}

CYaError CDatabaseBase::ObjectExists(const char* type, const std::string& name, bool& exists) {
  return RunGuarded(FX_LOCATION, [&]() -> CYaError {
    boost::shared_ptr<CSQLite3Statement> statement;
    // Names of schema objects compare without case in SQL, so they do here.
    CYaError error =
        CompileStatement("SELECT 1 FROM sqlite_master WHERE type=?1 AND name=?2 COLLATE NOCASE", statement);
    if (error.IsError())
      return error.Push(FX_LOCATION);
    statement->Bind(1, type);
    statement->Bind(2, name);
    exists = !statement->ExecQuery()->Eof();
    return CYaError::Success();
  });
}

// An object that exists already never reaches a CREATE statement, which is a write as far as the
// connection is concerned: so these succeed on a read-only connection whatever SQLite makes of
// IF NOT EXISTS there.
CYaError CDatabaseBase::CreateTable(const std::string& name, const std::string& definition) {
  return CreateUnlessExists("table", name, "CREATE TABLE IF NOT EXISTS " + name + " " + definition);
}

CYaError CDatabaseBase::CreateView(const std::string& name, const std::string& select) {
  return CreateUnlessExists("view", name, "CREATE VIEW IF NOT EXISTS " + name + " AS " + select);
}

CYaError CDatabaseBase::CreateUnlessExists(const char* type, const std::string& name,
                                           const std::string& create) {
  bool exists = false;
  CYaError error = ObjectExists(type, name, exists);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  if (exists)
    return CYaError::Success();
  error = Execute(create);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CDatabaseBase::CompileStatement(const std::string& sql,
                                         boost::shared_ptr<CSQLite3Statement>& statement) {
  try {
    sqlite3* database = RequireOpen(database_);
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int result =
        sqlite3_prepare_v2(database, sql.c_str(), static_cast<int>(sql.size() + 1), &raw, &tail);
    Check(database, result);
    // Owned before anything else can throw.
    boost::shared_ptr<CSQLite3Statement> compiled = boost::make_shared<CSQLite3Statement>(database, raw);
    if (raw == nullptr)
      throw CSQLite3Exception(SQLITE_MISUSE, "no SQL statement to compile");
    // A second statement would be dropped without a word; refuse it instead.
    if (tail != nullptr && !IsBlank(tail)) {
      throw CSQLite3Exception(SQLITE_MISUSE, "CompileStatement takes a single SQL statement");
    }
    statement = compiled;
  } catch (const CSQLite3Exception& exception) {
    return ErrorFromException(FX_LOCATION, exception).Push(FX_LOCATION, "SQL: %s", sql.c_str());
  }
  return CYaError::Success();
}

int64_t CDatabaseBase::GetLastInsertRowId() {
  return sqlite3_last_insert_rowid(RequireOpen(database_));
}

CYaError CDatabaseBase::RegisterCollationHandler(int encoding, const std::string& name,
                                                 CollationFunction function) {
  return RunGuarded(FX_LOCATION, [&]() -> CYaError {
    sqlite3* database = RequireOpen(database_);
    Check(database, sqlite3_create_collation(database, name.c_str(), encoding, nullptr, function));
    return CYaError::Success();
  });
}

void CDatabaseBase::RegisterCollationNeededHandler(std::function<void(int, const std::string&)> handler) {
  collationNeeded_ = std::move(handler);
  if (database_ == nullptr)
    return;  // installed by OpenDatabase
  const int result = collationNeeded_
                         ? sqlite3_collation_needed(database_, this, &CDatabaseBase::CollationNeeded)
                         : sqlite3_collation_needed(database_, nullptr, nullptr);
  if (result != SQLITE_OK) {
    FSDB_LOG(0, "sqlite3_collation_needed failed, error=%d, %s", result, sqlite3_errmsg(database_));
  }
}

void CDatabaseBase::CollationNeeded(void* self, sqlite3* /*database*/, int encoding, const char* name) {
  // Called from inside SQLite's C code: nothing may propagate out of here. If the handler registers
  // nothing, the statement that asked fails with "no such collation sequence", which is reported there.
  try {
    static_cast<CDatabaseBase*>(self)->collationNeeded_(encoding, name != nullptr ? name : "");
  } catch (const std::exception& exception) {
    FSDB_LOG(0, "collation-needed handler for %s failed: %s", name != nullptr ? name : "", exception.what());
  } catch (...) {
    FSDB_LOG(0, "collation-needed handler for %s failed", name != nullptr ? name : "");
  }
}

// --- CDatabaseTransaction --------------------------------------------------------------------------

CDatabaseTransaction::CDatabaseTransaction(CDatabaseBase* database, unsigned /*flags*/)
    : database_(database), outermost_(database->transactionDepth_ == 0), ended_(false) {
  if (outermost_) {
    sqlite3* connection = RequireOpen(database_->database_);
    if (sqlite3_get_autocommit(connection) == 0) {
      // A transaction begun outside these guards (a raw BEGIN) is still open: going on inside it is the
      // only way forward, as a BEGIN would fail. Its fate is this guard's.
      FSDB_LOG(0, "Connection to %s is still inside an uncommitted transaction; continuing it",
               database_->GetDatabaseName().c_str());
    } else {
      Check(connection, sqlite3_exec(connection, "BEGIN", nullptr, nullptr, nullptr));
    }
    database_->rollbackOnly_ = false;
  }
  ++database_->transactionDepth_;
}

CDatabaseTransaction::~CDatabaseTransaction() {
  --database_->transactionDepth_;
  if (ended_)
    return;
  if (!outermost_) {
    database_->rollbackOnly_ = true;  // a step failed: what the outermost one holds must not persist
    return;
  }
  RollBack();
  database_->OnTransactionEnded(false);
}

CYaError CDatabaseTransaction::Commit() {
  if (ended_)
    return CYaError::Success();
  ended_ = true;
  if (!outermost_)
    return CYaError::Success();
  CYaError error = End();
  if (error.IsError()) {
    RollBack();
    database_->OnTransactionEnded(false);
    return error.Push(FX_LOCATION);
  }
  database_->OnTransactionEnded(true);
  return CYaError::Success();
}

void CDatabaseTransaction::RollBack() {
  sqlite3* connection = database_->database_;
  // Errors such as a full disk make SQLite roll the whole transaction back by itself: then there is
  // nothing left to roll back, and a second ROLLBACK would only fail.
  if (connection == nullptr || sqlite3_get_autocommit(connection) != 0)
    return;
  const int result = sqlite3_exec(connection, "ROLLBACK", nullptr, nullptr, nullptr);
  if (result != SQLITE_OK) {
    FSDB_LOG(0, "ROLLBACK failed on %s, error=%d, %s", database_->GetDatabaseName().c_str(), result,
             sqlite3_errmsg(connection));
  }
}

CYaError CDatabaseTransaction::End() {
  sqlite3* connection = database_->database_;
  if (connection == nullptr) {
    return FXErrorUtil::ErrorSQLite(FX_LOCATION, SQLITE_MISUSE,
                                    "Transaction on %s not committed: the connection was closed inside it",
                                    database_->GetDatabaseName().c_str());
  }
  if (database_->rollbackOnly_) {
    return FXErrorUtil::ErrorSQLite(FX_LOCATION, SQLITE_ABORT,
                                    "Transaction on %s not committed: a step inside it failed",
                                    database_->GetDatabaseName().c_str());
  }
  // Some errors (a full disk, I/O errors) make SQLite roll the whole transaction back by itself; then
  // there is nothing left to commit, and nothing of it persisted.
  if (sqlite3_get_autocommit(connection) != 0) {
    return FXErrorUtil::ErrorSQLite(
        FX_LOCATION, SQLITE_ABORT,
        "Transaction on %s was rolled back by SQLite after an error; nothing to commit",
        database_->GetDatabaseName().c_str());
  }
  const int result = sqlite3_exec(connection, "COMMIT", nullptr, nullptr, nullptr);
  if (result != SQLITE_OK) {
    return FXErrorUtil::ErrorSQLite(FX_LOCATION, result, "COMMIT failed on %s, error=%d, %s",
                                    database_->GetDatabaseName().c_str(), result, sqlite3_errmsg(connection));
  }
  return CYaError::Success();
}

}  // namespace FX
