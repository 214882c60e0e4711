#include "platform/SQLiteDatabase.h"

#include <sqlite3.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>

#include "TestUtil.h"

namespace {

using namespace FX;
using StatementPtr = boost::shared_ptr<CSQLite3Statement>;
const int kReadWrite = CDatabaseBase::OPEN_READ_WRITE;
const int kReadOnly = CDatabaseBase::OPEN_READ_ONLY;

class SQLiteDatabaseTest : public ::testing::Test {
 protected:
  // Opens test.db in the test's folder and runs `sql` on it.
  std::unique_ptr<CDatabaseBase> Open(const std::string& sql = "", int flags = kReadWrite,
                                      std::function<void(int, const std::string&)> collationNeeded = {}) {
    auto database = std::make_unique<CDatabaseBase>(flags);
    database->RegisterCollationNeededHandler(collationNeeded);
    database->SetDatabasePath(dir_.path());
    database->SetDatabaseName("test.db");
    EXPECT_OK(database->OpenDatabase());
    EXPECT_OK(database->Execute(sql));
    return database;
  }
  static StatementPtr Compile(CDatabaseBase& database, const std::string& sql) {
    StatementPtr statement;
    EXPECT_OK(database.CompileStatement(sql, statement));
    return statement;
  }
  // The first column of the first row as text.
  static std::string Query(CDatabaseBase& database, const std::string& sql) {
    StatementPtr statement = Compile(database, sql);
    return statement ? statement->ExecQuery()->GetStringField(0, "NULL") : "not compiled";
  }

  fsdbtest::TempDir dir_;
};

TEST_F(SQLiteDatabaseTest, SchemaIsCreatedOnceAndReopenedReadOnlyConnectionOnlyReads) {
  for (int flags : {kReadWrite, kReadWrite, kReadOnly}) {
    auto database = Open("", flags);
    EXPECT_OK(database->CreateTable("t", "(v INTEGER)"));
    EXPECT_OK(database->CreateView("w", "SELECT v FROM t"));
    const CYaError error = database->Execute("INSERT INTO t VALUES(5)");
    EXPECT_EQ(flags == kReadOnly ? FXErrorUtil::SQLiteCode(SQLITE_READONLY) : 0, error.GetCode());
  }
  auto readOnly = Open("", kReadOnly);
  EXPECT_EQ("10", Query(*readOnly, "SELECT sum(v) FROM w"));
}

TEST_F(SQLiteDatabaseTest, ReadOnlyOpenOfMissingFileFailsAndCreatesNothing) {
  CDatabaseBase database(CDatabaseBase::OPEN_READ_ONLY);
  database.SetDatabasePath(dir_.path() + "/");
  database.SetDatabaseName("missing.db");
  const CYaError error = database.OpenDatabase();
  EXPECT_EQ(FXErrorUtil::SQLiteCode(SQLITE_CANTOPEN), error.GetCode()) << error.AsString();
  EXPECT_EQ("SQLite Exception, unable to open database file", error.GetMessage());
  EXPECT_FALSE(database.IsOpen());
  EXPECT_NE(0, access(dir_.File("missing.db").c_str(), F_OK));
}

// Only Commit makes writes persist: leaving the outermost guard by an exception, or an inner step that
// ended without committing, rolls everything back.
TEST_F(SQLiteDatabaseTest, OnlyACommittedOutermostTransactionPersists) {
  auto writer = Open("PRAGMA journal_mode=WAL; CREATE TABLE t(k INTEGER UNIQUE);");
  auto reader = Open();
  StatementPtr insert = Compile(*writer, "INSERT INTO t VALUES(1)");
  try {
    CDatabaseTransaction outer(writer.get(), 0);
    {
      CDatabaseTransaction inner(writer.get(), 0);
      EXPECT_EQ(1, insert->ExecDML());
      EXPECT_OK(inner.Commit());
    }
    EXPECT_EQ("0", Query(*reader, "SELECT count(*) FROM t"));
    insert->ExecDML();
    FAIL() << "duplicate key accepted";
  } catch (const CSQLite3Exception& exception) {
    EXPECT_EQ(SQLITE_CONSTRAINT, exception.errorCode() & 0xff);
    EXPECT_STREQ("UNIQUE constraint failed: t.k", exception.errorMessage());
    const CYaError error = ErrorFromException(FX_LOCATION, exception);
    EXPECT_EQ(FXErrorUtil::SQLiteCode(exception.errorCode()), error.GetCode());
    EXPECT_EQ("SQLite Exception, UNIQUE constraint failed: t.k", error.GetMessage());
  }
  EXPECT_EQ("0", Query(*reader, "SELECT count(*) FROM t"));
  EXPECT_EQ(1, sqlite3_get_autocommit(writer->GetHandle()));
  {
    CDatabaseTransaction outer(writer.get(), 0);
    EXPECT_EQ(1, insert->ExecDML());
    { CDatabaseTransaction failedStep(writer.get(), 0); }
    EXPECT_TRUE(writer->IsTransactionDoomed());
    const CYaError error = outer.Commit();
    EXPECT_EQ(FXErrorUtil::SQLiteCode(SQLITE_ABORT), error.GetCode()) << error.AsString();
  }
  EXPECT_EQ("0", Query(*reader, "SELECT count(*) FROM t"));
  {
    CDatabaseTransaction outer(writer.get(), 0);
    EXPECT_FALSE(writer->IsTransactionDoomed());
    EXPECT_EQ(1, insert->ExecDML());
    EXPECT_OK(outer.Commit());
  }
  EXPECT_EQ("1", Query(*reader, "SELECT count(*) FROM t"));
  EXPECT_EQ("SQLite Exception", ErrorFromException(FX_LOCATION, CSQLite3Exception(5, nullptr)).GetMessage());
}

// A reader's open cursor keeps a COMMIT from taking the (rollback-journal) file: Commit reports it and
// rolls back, so the connection is free for the next transaction.
TEST_F(SQLiteDatabaseTest, FailedCommitIsReportedAndRolledBack) {
  auto writer = Open("CREATE TABLE t(v INTEGER); INSERT INTO t VALUES(0), (0);");
  auto reader = Open();
  StatementPtr scan = Compile(*reader, "SELECT v FROM t");
  auto cursor = scan->ExecQuery();
  for (int value : {1, 2}) {
    if (value == 2)
      cursor.reset();
    CDatabaseTransaction transaction(writer.get(), 0);
    ASSERT_OK(writer->Execute("INSERT INTO t VALUES(" + std::to_string(value) + ")"));
    const CYaError error = transaction.Commit();
    EXPECT_EQ(value == 1 ? FXErrorUtil::SQLiteCode(SQLITE_BUSY) : 0, error.GetCode()) << error.AsString();
    EXPECT_EQ(1, sqlite3_get_autocommit(writer->GetHandle()));
  }
  EXPECT_EQ("2", Query(*reader, "SELECT sum(v) FROM t"));
}

TEST_F(SQLiteDatabaseTest, ResetKeepsBindingsAndNullReadsAsTheDefault) {
  auto database = Open("CREATE TABLE t(a, b, c)");
  StatementPtr insert = Compile(*database, "INSERT INTO t VALUES(?1, ?2, ?3)");
  insert->Bind(1, static_cast<long>((1LL << 40) + 5));
  insert->Bind(2, LLONG_MIN);
  insert->Bind(3, std::string("text"));
  EXPECT_EQ(1, insert->ExecDML());
  insert->Reset();
  insert->BindNull(1);
  insert->Bind(2, static_cast<const char*>(nullptr));
  EXPECT_EQ(1, insert->ExecDML());  // ?3 still holds its text

  auto row = Compile(*database, "SELECT a, b, c FROM t ORDER BY rowid")->ExecQuery();
  EXPECT_EQ((1LL << 40) + 5, row->GetInt64Field(0, 0));
  EXPECT_EQ(LLONG_MIN, row->GetInt64Field(1, 0));
  row->NextRow();
  EXPECT_EQ(-7, row->GetIntField(0, -7));
  EXPECT_EQ(-8, row->GetInt64Field(1, -8));
  EXPECT_STREQ("fallback", row->GetStringField(1, "fallback"));
  EXPECT_STREQ("text", row->GetStringField(2, nullptr));
  row->NextRow();
  row->NextRow();  // the end stays the end instead of starting over
  EXPECT_TRUE(row->Eof());
}

// A connection opened without SQLite's mutex has none and reads like any other; a zero-length blob
// reads as empty text, NULL as the default.
TEST_F(SQLiteDatabaseTest, ConnectionWithoutMutexReadsAlike) {
  for (bool noMutex : {false, true}) {
    SCOPED_TRACE(noMutex ? "without mutex" : "with mutex");
    auto database = std::make_unique<CDatabaseBase>(kReadWrite);
    database->SetNoMutex(noMutex);
    database->SetDatabasePath(dir_.path());
    database->SetDatabaseName(noMutex ? "nomutex.db" : "mutex.db");
    ASSERT_OK(database->OpenDatabase());
    EXPECT_EQ(noMutex, sqlite3_db_mutex(database->GetHandle()) == nullptr);
    ASSERT_OK(database->Execute("CREATE TABLE t(a, b, c); INSERT INTO t VALUES(x'', NULL, 12)"));
    auto row = Compile(*database, "SELECT a, b, c FROM t")->ExecQuery();
    EXPECT_STREQ("", row->GetStringField(0, "default"));
    EXPECT_STREQ("default", row->GetStringField(1, "default"));
    EXPECT_EQ(0, row->GetInt64Field(1, 0));
    EXPECT_EQ(0, row->GetIntField(1, 0));
    EXPECT_EQ(12, row->GetIntField(2, -1));
    EXPECT_STREQ("12", row->GetStringField(2, "default"));
  }
}

// A reset ends the read of a cursor left half-way, also when it is asked for twice; resetting a
// statement that has not run since is harmless. A text bound without a copy is written as it was bound.
TEST_F(SQLiteDatabaseTest, ResetEndsAnOpenReadAndStaticTextIsWrittenAsBound) {
  auto database = Open("CREATE TABLE t(v); INSERT INTO t VALUES(1), (2), (3);");
  const auto busy = [&database]() {
    int count = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(database->GetHandle(), nullptr); s != nullptr;
         s = sqlite3_next_stmt(database->GetHandle(), s))
      count += sqlite3_stmt_busy(s) != 0;
    return count;
  };
  StatementPtr scan = Compile(*database, "SELECT v FROM t ORDER BY v");
  scan->Reset();  // never stepped
  auto cursor = scan->ExecQuery();
  EXPECT_EQ(1, busy());
  scan->Reset();
  EXPECT_EQ(0, busy());
  scan->Reset();
  cursor = scan->ExecQuery();  // runs from the first row again
  EXPECT_EQ(1, cursor->GetIntField(0, 0));
  cursor.reset();
  EXPECT_EQ(0, busy());

  StatementPtr insert = Compile(*database, "INSERT INTO t VALUES(?1)");
  for (const char* text : {"first", "a longer second text that needs a buffer of its own"}) {
    std::string value = text;
    insert->BindStatic(1, value);
    EXPECT_EQ(1, insert->ExecDML());
    value.assign(value.size(), 'x');  // after the run: the row keeps what was bound
  }
  EXPECT_EQ("first|a longer second text that needs a buffer of its own",
            Query(*database, "SELECT group_concat(v, '|') FROM t WHERE typeof(v) = 'text'"));
}

// An old cursor neither reads nor resets a newer execution; a cursor outlives its connection object.
TEST_F(SQLiteDatabaseTest, OnlyTheLatestCursorOfAStatementIsLive) {
  auto database = Open("CREATE TABLE t(v INTEGER); INSERT INTO t VALUES(1), (2), (3);");
  StatementPtr scan;
  EXPECT_TRUE(database->CompileStatement("SELECT 1; SELECT 2", scan).IsError());
  scan = Compile(*database, "SELECT v FROM t ORDER BY v;\n");  // one statement and a blank
  auto old = scan->ExecQuery();
  auto current = scan->ExecQuery();
  current->NextRow();
  EXPECT_THROW(old->GetIntField(0, 0), CSQLite3Exception);
  old.reset();
  database.reset();
  current->NextRow();
  EXPECT_EQ(3, current->GetIntField(0, 0));
}

TEST_F(SQLiteDatabaseTest, CollationNeededHandlerServesAFreshConnection) {
  std::unique_ptr<CDatabaseBase> database = Open("", kReadWrite, [&](int encoding, const std::string& name) {
    // Orders one-letter texts backwards, so that the result shows the collation was used.
    auto reverse = [](void*, int, const void* a, int, const void* b) {
      return *static_cast<const char*>(b) - *static_cast<const char*>(a);
    };
    EXPECT_OK(database->RegisterCollationHandler(encoding, name, reverse));
  });
  EXPECT_EQ("cba", Query(*database,
                         "SELECT group_concat(column1, '') FROM "
                         "(SELECT column1 FROM (VALUES('a'), ('c'), ('b')) ORDER BY 1 COLLATE REVERSE)"));
}

}  // namespace
