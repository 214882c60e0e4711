// A thin, RAII-correct layer over the sqlite3 C API.
//
// CDatabaseBase is a connection (the engines derive from it); CSQLite3Statement a prepared statement;
// CSQLite3Query the cursor of one execution of a statement; CDatabaseTransaction a scoped, nesting
// transaction; CSQLite3Exception what statements, cursors and transactions throw. Operations of
// CDatabaseBase report through CYaError instead.
//
// Every return code of sqlite3 is checked in one place, which captures the result code and
// sqlite3_errmsg at the point of failure.
//
// Thread-safety: a connection and everything made from it are used by one thread at a time.

#ifndef FSDB_PLATFORM_SQLITEDATABASE_H_
#define FSDB_PLATFORM_SQLITEDATABASE_H_

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include "fsdb/Error.h"

struct sqlite3;
struct sqlite3_stmt;

namespace FX {

// What the statement, cursor and transaction operations throw: an SQLite result code and message.
class CSQLite3Exception : public std::exception {
 public:
  // `message` is copied; it may be null.
  CSQLite3Exception(int errorCode, const char* message);
  int errorCode() const noexcept { return code_; }
  // Null when the exception carries no message.
  const char* errorMessage() const noexcept { return hasMessage_ ? message_.c_str() : nullptr; }
  const char* what() const noexcept override;

 private:
  int code_;
  bool hasMessage_;
  std::string message_;
};

class CSQLite3Statement;

// The cursor of one execution of a statement, positioned on the current row. It keeps the statement
// alive; it is valid until the statement is reset or executed again. Destroying the cursor of the
// latest execution resets the statement, so that no read stays open.
class CSQLite3Query {
 public:
  CSQLite3Query(const boost::shared_ptr<CSQLite3Statement>& statement, uint64_t generation, bool eof);
  ~CSQLite3Query();
  CSQLite3Query(const CSQLite3Query&) = delete;
  CSQLite3Query& operator=(const CSQLite3Query&) = delete;

  bool Eof() const { return eof_; }
  // Steps to the next row (Eof() afterwards when there is none). Throws CSQLite3Exception.
  void NextRow();

  // 0-based columns; `defaultValue` is returned for NULL. Reading past Eof throws.
  int GetIntField(int column, int defaultValue) const;
  int64_t GetInt64Field(int column, int64_t defaultValue) const;
  // The text is valid until the cursor moves.
  const char* GetStringField(int column, const char* defaultValue) const;
  bool IsNull(int column) const;
  int NumFields() const;

 private:
  sqlite3_stmt* Handle() const;
  // The statement, positioned on a row that has `column`. Throws.
  sqlite3_stmt* Field(int column) const;

  boost::shared_ptr<CSQLite3Statement> statement_;
  uint64_t generation_;
  bool eof_;
};

class CSQLite3Statement : public boost::enable_shared_from_this<CSQLite3Statement> {
 public:
  // Takes ownership of `statement` (finalized by the destructor).
  CSQLite3Statement(sqlite3* database, sqlite3_stmt* statement);
  ~CSQLite3Statement();
  CSQLite3Statement(const CSQLite3Statement&) = delete;
  CSQLite3Statement& operator=(const CSQLite3Statement&) = delete;

  // As sqlite3_reset: the statement can run again; bindings stay. A statement that has not been stepped
  // since it was last reset is not reset again (the call then costs nothing).
  void Reset();
  // Sets every parameter back to NULL.
  void ClearBindings();

  // 1-based parameter indexes (?1, ?2 ...). Text is copied. Throw CSQLite3Exception.
  void Bind(int index, int value);
  void Bind(int index, long value);
  void Bind(int index, long long value);
  void Bind(int index, const char* value);
  void Bind(int index, const std::string& value);
  // Binds the text without copying it: `value` must stay alive and unchanged until the statement has
  // run and been reset, or the parameter has been bound again. For rows written in a loop whose
  // strings outlive each step.
  void BindStatic(int index, const std::string& value);
  void BindNull(int index);

  // Runs the statement to completion; the number of rows it changed. Throws CSQLite3Exception.
  int ExecDML();
  // Runs the statement; the cursor is on the first row (or at its end). Throws CSQLite3Exception.
  boost::shared_ptr<CSQLite3Query> ExecQuery();

  const char* GetSQL() const;

 private:
  friend class CSQLite3Query;
  void Check(int result) const;

  sqlite3* database_;
  sqlite3_stmt* statement_;
  uint64_t generation_;  // counts executions, so that only the latest cursor resets the statement
  bool stepped_;         // stepped since the last Reset: only then has a reset anything to do
};

typedef int (*CollationFunction)(void* context, int lengthA, const void* a, int lengthB, const void* b);

class CDatabaseBase {
 public:
  // Flag values for the constructor.
  enum : int { OPEN_READ_WRITE = 0, OPEN_READ_ONLY = 16 };

  // 0: read-write, creating the file if needed; 16: read-only, never creating it.
  explicit CDatabaseBase(int flags = 0);
  // Closes the connection (statements still alive keep it until they go).
  virtual ~CDatabaseBase();
  CDatabaseBase(const CDatabaseBase&) = delete;
  CDatabaseBase& operator=(const CDatabaseBase&) = delete;

  // The folder and the file name of the database file, set before opening.
  void SetDatabasePath(const std::string& folder);
  void SetDatabaseName(const std::string& name);
  std::string GetDatabasePath() const { return path_; }
  std::string GetDatabaseName() const { return name_; }
  // Folder and name joined.
  std::string GetDatabaseFile() const;

  bool IsOpen() const { return database_ != nullptr; }
  // Opens the connection without SQLite's per-connection mutex (SQLITE_OPEN_NOMUTEX), which every step
  // and every column read otherwise take and release. Sound only when the connection and everything made
  // from it are used by one thread at a time, as this layer requires anyway, and when no other code is
  // handed the connection. Takes effect at the next OpenDatabase.
  void SetNoMutex(bool noMutex) { noMutex_ = noMutex; }
  // Opens the file with the constructor's flags. Fails with the SQLite error when it cannot.
  virtual CYaError OpenDatabase();
  // Progress callback hook; 0 lets SQLite go on. Not registered by default.
  virtual int ProgressHandler();
  // Closes the connection now (a no-op when closed).
  void CloseDatabase();

  // Runs one or more statements without results.
  CYaError Execute(const std::string& sql);
  // CREATE TABLE name definition / CREATE VIEW name AS select; succeed when the object exists already,
  // also on a read-only connection.
  CYaError CreateTable(const std::string& name, const std::string& definition);
  CYaError CreateView(const std::string& name, const std::string& select);
  // Prepares `sql` into `statement`.
  CYaError CompileStatement(const std::string& sql, boost::shared_ptr<CSQLite3Statement>& statement);
  // Row id of the last insert on this connection. Throws CSQLite3Exception when closed.
  int64_t GetLastInsertRowId();

  // Registers a collation for `encoding` (SQLITE_UTF8 = 1).
  CYaError RegisterCollationHandler(int encoding, const std::string& name, CollationFunction function);
  // Called whenever SQLite needs a collation that is not registered; kept across reopening.
  void RegisterCollationNeededHandler(std::function<void(int encoding, const std::string& name)> handler);

  // The raw connection, for tests and tools; null when closed.
  sqlite3* GetHandle() const { return database_; }
  // How many CDatabaseTransaction objects are alive on this connection (0: none).
  int GetTransactionDepth() const { return transactionDepth_; }
  // Whether the open transaction can no longer commit: a nested step ended without committing, or
  // SQLite rolled it back by itself after an error. False without a transaction.
  bool IsTransactionDoomed() const;

 protected:
  // Called when the outermost transaction has ended: `committed` is false when it was rolled back (by
  // its guard, or by SQLite after an error), so that what was cached about its writes can be dropped.
  // Must not throw nor start a transaction.
  virtual void OnTransactionEnded(bool committed);

 private:
  friend class CDatabaseTransaction;
  static void CollationNeeded(void* self, sqlite3* database, int encoding, const char* name);
  CYaError ObjectExists(const char* type, const std::string& name, bool& exists);
  // Runs `create` (a CREATE statement of the `type` object `name`) unless the object exists.
  CYaError CreateUnlessExists(const char* type, const std::string& name, const std::string& create);

  int flags_;
  bool noMutex_ = false;
  std::string path_;
  std::string name_;
  sqlite3* database_;
  std::function<void(int, const std::string&)> collationNeeded_;
  int transactionDepth_;
  // Set when a nested transaction ended without Commit (a step inside failed): the outermost one then
  // rolls back instead of committing. Cleared when an outermost transaction begins.
  bool rollbackOnly_;
};

// A scoped transaction. Transactions nest: only the outermost begins (BEGIN) and ends (COMMIT or
// ROLLBACK) on the connection. Writes persist only through Commit(): the outermost guard rolls back when
// it is destroyed without one (an early return, an exception), and a nested guard destroyed without one
// makes the outermost roll back too. The destructor never throws; a failed ROLLBACK is logged. The guard
// never issues a second ROLLBACK, nor one after SQLite rolled the transaction back by itself.
class CDatabaseTransaction {
 public:
  // Throws CSQLite3Exception when BEGIN fails. `flags` is unused (pass 0).
  CDatabaseTransaction(CDatabaseBase* database, unsigned flags);
  ~CDatabaseTransaction();
  CDatabaseTransaction(const CDatabaseTransaction&) = delete;
  CDatabaseTransaction& operator=(const CDatabaseTransaction&) = delete;

  // Ends the transaction; nothing written inside it persists unless this succeeds. The outermost guard
  // commits; when the COMMIT fails, when SQLite had rolled the transaction back after an error, or when
  // a nested step ended without committing, it rolls back (if anything is left to roll back) and fails.
  // A nested guard answers success and leaves the ending to the outermost one.
  CYaError Commit();

 private:
  CYaError End();
  // ROLLBACK when SQLite is still inside the transaction; logs a failure.
  void RollBack();

  CDatabaseBase* database_;
  bool outermost_;
  bool ended_;
};

// Turns a caught exception into the library's error: "SQLite Exception" followed by ", " and the
// message when there is one.
CYaError ErrorFromException(const FXCodeLocation& location, const CSQLite3Exception& exception);

// Runs `block`, a callable that returns CYaError, and returns what it returns; a CSQLite3Exception
// escaping it becomes the error ErrorFromException makes at `location`. Outside this layer it is the
// one place that catches SQLite's exceptions, so an operation's body reads as its steps.
template <typename Block>
CYaError RunGuarded(const FXCodeLocation& location, Block&& block) {
  try {
    return std::forward<Block>(block)();
  } catch (const CSQLite3Exception& exception) {
    return ErrorFromException(location, exception);
  }
}

}  // namespace FX

#endif  // FSDB_PLATFORM_SQLITEDATABASE_H_
