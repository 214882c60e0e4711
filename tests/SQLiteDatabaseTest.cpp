#include "platform/SQLiteDatabase.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace {

using FX::CDatabaseBase;
using FX::CDatabaseTransaction;
using FX::CSQLite3Exception;
using FX::CSQLite3Query;
using FX::CSQLite3Statement;
using StatementPtr = boost::shared_ptr<CSQLite3Statement>;

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Orders text backwards, so that a query ordered by it shows whether the collation was used.
int ReverseCollation(void*, int lengthA, const void* a, int lengthB, const void* b) {
  const int common = std::memcmp(a, b, static_cast<size_t>(std::min(lengthA, lengthB)));
  return common != 0 ? -common : lengthB - lengthA;
}

int SQLiteCodeOf(const CYaError& error) {
  int code = -1;
  return FXErrorUtil::IsSQLite(error, &code) ? code : -1;
}

class SQLiteDatabaseTest : public ::testing::Test {
 protected:
  std::unique_ptr<CDatabaseBase> Open(int flags = CDatabaseBase::OPEN_READ_WRITE) {
    auto database = std::make_unique<CDatabaseBase>(flags);
    database->SetDatabasePath(dir_.path());
    database->SetDatabaseName("test.db");
    EXPECT_OK(database->OpenDatabase());
    return database;
  }

  StatementPtr Compile(CDatabaseBase& database, const std::string& sql) {
    StatementPtr statement;
    EXPECT_OK(database.CompileStatement(sql, statement));
    return statement;
  }

  int64_t QueryInt(CDatabaseBase& database, const std::string& sql) {
    StatementPtr statement = Compile(database, sql);
    if (!statement)
      return -1;
    return statement->ExecQuery()->GetInt64Field(0, -1);
  }

  // Number of statements of the connection that are in the middle of an execution.
  static int BusyStatements(CDatabaseBase& database) {
    int busy = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(database.GetHandle(), nullptr); s != nullptr;
         s = sqlite3_next_stmt(database.GetHandle(), s)) {
      busy += sqlite3_stmt_busy(s) != 0;
    }
    return busy;
  }

  fsdbtest::TempDir dir_;
};

TEST_F(SQLiteDatabaseTest, JoinsFolderAndNameIntoTheFilePath) {
  CDatabaseBase database;
  database.SetDatabaseName("a.db");
  EXPECT_EQ("a.db", database.GetDatabaseFile());
  database.SetDatabasePath("/x/");
  EXPECT_EQ("/x/a.db", database.GetDatabaseFile());
  database.SetDatabasePath("/x");
  EXPECT_EQ("/x/a.db", database.GetDatabaseFile());
}

TEST_F(SQLiteDatabaseTest, CreatesReopensAndOpensReadOnly) {
  {
    auto database = Open();
    ASSERT_OK(
        database->Execute("PRAGMA journal_mode=WAL; CREATE TABLE t(v INTEGER); INSERT INTO t VALUES(5);"));
  }
  ASSERT_TRUE(FileExists(dir_.File("test.db")));
  EXPECT_EQ(5, QueryInt(*Open(), "SELECT v FROM t"));

  auto readOnly = Open(CDatabaseBase::OPEN_READ_ONLY);
  EXPECT_EQ(5, QueryInt(*readOnly, "SELECT v FROM t"));
  const CYaError error = readOnly->Execute("INSERT INTO t VALUES(6)");
  EXPECT_EQ(SQLITE_READONLY, SQLiteCodeOf(error)) << error.AsString();
  EXPECT_EQ("SQLite Exception, attempt to write a readonly database", error.GetMessage());
  EXPECT_THROW(Compile(*readOnly, "DELETE FROM t")->ExecDML(), CSQLite3Exception);
  EXPECT_EQ(5, QueryInt(*readOnly, "SELECT sum(v) FROM t"));
}

TEST_F(SQLiteDatabaseTest, ReadOnlyOpenOfMissingFileFailsAndCreatesNothing) {
  CDatabaseBase database(CDatabaseBase::OPEN_READ_ONLY);
  database.SetDatabasePath(dir_.path() + "/");
  database.SetDatabaseName("missing.db");
  const CYaError error = database.OpenDatabase();
  EXPECT_EQ(SQLITE_CANTOPEN, SQLiteCodeOf(error)) << error.AsString();
  EXPECT_EQ("SQLite Exception, unable to open database file", error.GetMessage());
  EXPECT_FALSE(database.IsOpen());
  EXPECT_FALSE(FileExists(dir_.File("missing.db")));
  EXPECT_THROW((void)database.GetLastInsertRowId(), CSQLite3Exception);
  EXPECT_TRUE(database.Execute("SELECT 1").IsError());
}

TEST_F(SQLiteDatabaseTest, CreateTableAndViewSucceedWhenTheyExistAlsoReadOnly) {
  {
    auto database = Open();
    for (int i = 0; i < 2; ++i) {
      EXPECT_OK(database->CreateTable("t", "(v INTEGER)"));
      EXPECT_OK(database->CreateView("w", "SELECT v FROM t"));
    }
    EXPECT_EQ(2, QueryInt(*database, "SELECT count(*) FROM sqlite_master"));
  }
  auto readOnly = Open(CDatabaseBase::OPEN_READ_ONLY);
  EXPECT_OK(readOnly->CreateTable("T", "(v INTEGER)"));  // schema names ignore case
  EXPECT_OK(readOnly->CreateView("w", "SELECT v FROM t"));
  EXPECT_EQ(SQLITE_READONLY, SQLiteCodeOf(readOnly->CreateTable("u", "(v INTEGER)")));
}

TEST_F(SQLiteDatabaseTest, OnlyTheOutermostTransactionCommits) {
  auto writer = Open();
  ASSERT_OK(writer->Execute("PRAGMA journal_mode=WAL; CREATE TABLE t(v INTEGER);"));
  auto reader = Open();
  {
    CDatabaseTransaction outer(writer.get(), 0);
    {
      CDatabaseTransaction inner(writer.get(), 0);
      ASSERT_OK(writer->Execute("INSERT INTO t VALUES(1)"));
    }
    EXPECT_EQ(0, sqlite3_get_autocommit(writer->GetHandle()));
    EXPECT_EQ(0, QueryInt(*reader, "SELECT count(*) FROM t"));
  }
  EXPECT_NE(0, sqlite3_get_autocommit(writer->GetHandle()));
  EXPECT_EQ(1, QueryInt(*reader, "SELECT count(*) FROM t"));
}

TEST_F(SQLiteDatabaseTest, WritesBeforeAnExceptionPersist) {
  auto database = Open();
  ASSERT_OK(database->Execute("CREATE TABLE t(k INTEGER UNIQUE)"));
  StatementPtr insert = Compile(*database, "INSERT INTO t VALUES(?1)");
  try {
    CDatabaseTransaction transaction(database.get(), 0);
    insert->Bind(1, 1);
    EXPECT_EQ(1, insert->ExecDML());
    insert->ExecDML();
    FAIL() << "duplicate key accepted";
  } catch (const CSQLite3Exception& exception) {
    EXPECT_EQ(SQLITE_CONSTRAINT, exception.errorCode() & 0xff);
    EXPECT_STREQ("UNIQUE constraint failed: t.k", exception.errorMessage());
    const CYaError error = FX::ErrorFromException(FX_LOCATION, exception);
    EXPECT_EQ(exception.errorCode(), SQLiteCodeOf(error));
    EXPECT_EQ("SQLite Exception, UNIQUE constraint failed: t.k", error.GetMessage());
  }
  EXPECT_NE(0, sqlite3_get_autocommit(database->GetHandle()));
  database.reset();
  EXPECT_EQ(1, QueryInt(*Open(), "SELECT count(*) FROM t"));

  const CYaError bare = FX::ErrorFromException(FX_LOCATION, CSQLite3Exception(SQLITE_BUSY, nullptr));
  EXPECT_EQ(SQLITE_BUSY, SQLiteCodeOf(bare));
  EXPECT_EQ("SQLite Exception", bare.GetMessage());
}

// In rollback-journal mode a reader's open cursor keeps a COMMIT from taking the file. The failure is
// logged, not thrown, and the next transaction carries the pending writes to the file.
TEST_F(SQLiteDatabaseTest, FailedCommitIsLoggedAndCompletedByTheNextTransaction) {
  fsdbtest::ScopedCaptureLog log(0);
  auto writer = Open();
  ASSERT_OK(writer->Execute("CREATE TABLE t(v INTEGER); INSERT INTO t VALUES(0), (0);"));
  auto reader = Open();
  StatementPtr scan = Compile(*reader, "SELECT v FROM t");
  boost::shared_ptr<CSQLite3Query> cursor = scan->ExecQuery();
  {
    CDatabaseTransaction transaction(writer.get(), 0);
    ASSERT_OK(writer->Execute("INSERT INTO t VALUES(1)"));
  }
  EXPECT_EQ(1u, log->Count("COMMIT failed"));
  EXPECT_EQ(0, log->Lines().at(0).level);
  cursor.reset();
  {
    CDatabaseTransaction transaction(writer.get(), 0);
    ASSERT_OK(writer->Execute("INSERT INTO t VALUES(2)"));
  }
  EXPECT_EQ(1u, log->Count("COMMIT failed"));
  EXPECT_EQ(3, QueryInt(*reader, "SELECT sum(v) FROM t"));
}

TEST_F(SQLiteDatabaseTest, CursorReturnsDefaultsForNullAndKeeps64BitValues) {
  auto database = Open();
  ASSERT_OK(database->Execute("CREATE TABLE t(a, b, c)"));
  StatementPtr insert = Compile(*database, "INSERT INTO t VALUES(?1, ?2, ?3)");
  insert->Bind(1, static_cast<long>((1LL << 40) + 5));
  insert->Bind(2, std::numeric_limits<long long>::min());
  insert->Bind(3, std::string("text"));
  EXPECT_EQ(1, insert->ExecDML());
  insert->BindNull(1);
  insert->Bind(2, static_cast<const char*>(nullptr));
  insert->BindNull(3);
  EXPECT_EQ(1, insert->ExecDML());

  boost::shared_ptr<CSQLite3Query> row =
      Compile(*database, "SELECT a, b, c FROM t ORDER BY rowid")->ExecQuery();
  ASSERT_FALSE(row->Eof());
  EXPECT_EQ(3, row->NumFields());
  EXPECT_EQ((1LL << 40) + 5, row->GetInt64Field(0, 0));
  EXPECT_EQ(std::numeric_limits<long long>::min(), row->GetInt64Field(1, 0));
  EXPECT_STREQ("text", row->GetStringField(2, nullptr));
  row->NextRow();
  const char* fallback = "fallback";
  EXPECT_TRUE(row->IsNull(0));
  EXPECT_EQ(-7, row->GetIntField(0, -7));
  EXPECT_EQ(-8, row->GetInt64Field(1, -8));
  EXPECT_EQ(fallback, row->GetStringField(2, fallback));
  EXPECT_THROW(row->GetIntField(3, 0), CSQLite3Exception);
  row->NextRow();
  EXPECT_TRUE(row->Eof());
  row->NextRow();  // the end stays the end instead of starting over
  EXPECT_TRUE(row->Eof());
  EXPECT_THROW(row->GetIntField(0, 0), CSQLite3Exception);
}

TEST_F(SQLiteDatabaseTest, ResetKeepsBindingsAndDMLReportsChanges) {
  auto database = Open();
  ASSERT_OK(database->Execute("CREATE TABLE t(v INTEGER PRIMARY KEY)"));
  StatementPtr insert = Compile(*database, "INSERT INTO t VALUES(?1)");
  insert->Bind(1, 1LL << 40);
  EXPECT_EQ(1, insert->ExecDML());
  EXPECT_EQ(1LL << 40, database->GetLastInsertRowId());
  insert->Reset();
  EXPECT_THROW(insert->ExecDML(), CSQLite3Exception);  // the same key again
  EXPECT_EQ(0, BusyStatements(*database));
  insert->ClearBindings();
  EXPECT_EQ(1, insert->ExecDML());  // NULL: SQLite picks the next row id
  EXPECT_EQ((1LL << 40) + 1, database->GetLastInsertRowId());
  EXPECT_EQ(2, Compile(*database, "UPDATE t SET v=v+10")->ExecDML());
  EXPECT_EQ(0, Compile(*database, "DELETE FROM t WHERE v=0")->ExecDML());
  EXPECT_THROW(insert->Bind(2, 0), CSQLite3Exception);
}

TEST_F(SQLiteDatabaseTest, DroppedCursorLeavesNoReadOpen) {
  auto reader = Open();
  ASSERT_OK(reader->Execute("PRAGMA journal_mode=WAL; CREATE TABLE t(v INTEGER);"));
  auto writer = Open();
  ASSERT_OK(writer->Execute("INSERT INTO t VALUES(1), (2), (3)"));
  StatementPtr scan = Compile(*reader, "SELECT v FROM t ORDER BY v");
  boost::shared_ptr<CSQLite3Query> cursor = scan->ExecQuery();
  // A RESTART checkpoint reports busy while a reader still uses the log.
  EXPECT_EQ(1, QueryInt(*writer, "PRAGMA wal_checkpoint(RESTART)"));
  cursor.reset();
  EXPECT_EQ(0, BusyStatements(*reader));
  EXPECT_EQ(0, QueryInt(*writer, "PRAGMA wal_checkpoint(RESTART)"));
}

TEST_F(SQLiteDatabaseTest, OldCursorNeitherReadsNorResetsANewerExecution) {
  auto database = Open();
  ASSERT_OK(database->Execute("CREATE TABLE t(v INTEGER); INSERT INTO t VALUES(1), (2), (3);"));
  StatementPtr scan = Compile(*database, "SELECT v FROM t ORDER BY v");
  boost::shared_ptr<CSQLite3Query> old = scan->ExecQuery();
  boost::shared_ptr<CSQLite3Query> current = scan->ExecQuery();
  current->NextRow();
  EXPECT_THROW(old->GetIntField(0, 0), CSQLite3Exception);
  old.reset();
  EXPECT_EQ(2, current->GetIntField(0, 0));
  current->NextRow();
  EXPECT_EQ(3, current->GetIntField(0, 0));
  current.reset();
  EXPECT_EQ(0, BusyStatements(*database));
}

TEST_F(SQLiteDatabaseTest, CollationNeededHandlerServesAFreshConnection) {
  {
    auto database = Open();
    ASSERT_OK(database->RegisterCollationHandler(SQLITE_UTF8, "REVERSE", ReverseCollation));
    ASSERT_OK(database->Execute(
        "CREATE TABLE t(s TEXT COLLATE REVERSE); INSERT INTO t VALUES('a'), ('c'), ('b');"));
  }
  const std::string sql = "SELECT s FROM t ORDER BY s";
  StatementPtr statement;
  const CYaError missing = Open()->CompileStatement(sql, statement);
  EXPECT_NE(std::string::npos, missing.GetMessage().find("no such collation sequence: REVERSE"));

  CDatabaseBase database;
  std::vector<std::string> requested;
  database.RegisterCollationNeededHandler([&](int encoding, const std::string& name) {
    requested.push_back(name);
    EXPECT_OK(database.RegisterCollationHandler(encoding, name, ReverseCollation));
  });
  database.SetDatabasePath(dir_.path());
  database.SetDatabaseName("test.db");
  ASSERT_OK(database.OpenDatabase());
  StatementPtr ordered = Compile(database, sql);
  ASSERT_TRUE(ordered);
  boost::shared_ptr<CSQLite3Query> row = ordered->ExecQuery();
  std::string order;
  for (; !row->Eof(); row->NextRow())
    order += row->GetStringField(0, "");
  EXPECT_EQ("cba", order);
  EXPECT_EQ(std::vector<std::string>{"REVERSE"}, requested);
}

TEST_F(SQLiteDatabaseTest, CompileStatementReportsBadSQL) {
  auto database = Open();
  StatementPtr statement;
  const CYaError syntax = database->CompileStatement("SELEC 1", statement);
  EXPECT_EQ(SQLITE_ERROR, SQLiteCodeOf(syntax));
  EXPECT_EQ("SQLite Exception, near \"SELEC\": syntax error", syntax.GetMessage());
  EXPECT_EQ(SQLITE_MISUSE, SQLiteCodeOf(database->CompileStatement("SELECT 1; SELECT 2", statement)));
  EXPECT_FALSE(statement);
  ASSERT_OK(database->CompileStatement("SELECT 1;\n", statement));
  // A statement may outlive its connection object.
  database.reset();
  EXPECT_STREQ("SELECT 1;", statement->GetSQL());
}

}  // namespace
