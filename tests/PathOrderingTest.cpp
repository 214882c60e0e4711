#include <string>
#include <tuple>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "core/FullPathDatabase.h"
#include "core/PathOrdering.h"
#include "platform/SQLiteDatabase.h"

namespace FSDB {
namespace {

using Lines = std::vector<std::string>;

// The result under PATH_COMPONENTS and under PATH_COMPONENTS_NOCASE, its sign or where `exact` the value:
// ' ', '-' and '.' are below '/' in byte order, yet the separator comes first, also at the last position
// compared; a prefix comes first, by the difference of the lengths; letter case matters to the
// case-sensitive collation only, and folding changes letters only ('[' is between 'A' and 'a'); bytes above
// 127 compare unsigned and are never folded ("\xC3\x84" and "\xC3\xA4" are "Ä" and "ä").
TEST(PathOrderingTest, BothCollationsPutTheSeparatorBeforeEveryOtherByte) {
  const std::tuple<const char*, const char*, int, int, bool> cases[] = {
      {"/a/b", "/a-b", -1, -1, false},   {"/a/b", "/a b", -1, -1, false},
      {"/a/b", "/a.txt", -1, -1, false}, {"/a-b", "/a/b", 1, 1, false},
      {"/", "-", -1, -1, false},         {"/ab", "/a/", 1, 1, true},
      {"/a", "/a/b", -2, -2, true},      {"/a/b", "/a", 2, 2, true},
      {"", "/", -1, -1, false},          {"", "", 0, 0, true},
      {"/A", "/a", -32, 0, true},        {"/a/B", "/A/b", 1, 0, false},
      {"/[", "/A", 1, -1, false},        {"/\xC3\x84", "/\xC3\xA4", -1, -1, false},
      {"/\xC3", "/z", 1, 1, false},      {"/a/\xC3", "/a\xC3", -1, -1, false}};
  auto sign = [](int value) { return (value > 0) - (value < 0); };
  for (const auto& [a, b, sensitive, insensitive, exact] : cases) {
    SCOPED_TRACE(std::string(a) + " against " + b);
    EXPECT_EQ(exact ? ComparePaths(a, b, true) : sign(ComparePaths(a, b, true)), sensitive);
    EXPECT_EQ(exact ? ComparePaths(a, b, false) : sign(ComparePaths(a, b, false)), insensitive);
  }
  // SQLite passes lengths, not terminated strings: only those bytes count, then the lengths.
  EXPECT_EQ(sqlite_collation_bypath(nullptr, 2, "/abc", 4, "/abc"), -2);
  EXPECT_EQ(sqlite_collation_bypath_nocase(nullptr, 4, "/ABC", 3, "/abd"), 1);
}

class PathCollationRegistrationTest : public ::testing::Test {
 protected:
  fsdbtest::TempDir dir_;
  fsdbtest::ScopedCaptureLog log_{2};
};

// A file may declare the collations under any letter case: the handler registers whatever SQLite asks for,
// on demand, on a connection that has not met the name yet.
TEST_F(PathCollationRegistrationTest, RegistersOnDemandUnderTheRequestedCase) {
  CFullPathDatabase engine(dir_.File("scan.db"), false);
  ASSERT_OK(engine.OpenDatabase());
  ASSERT_OK(engine.RegisterCallbacks());
  const std::string rows = " VALUES ('/ab'),('/a.txt'),('/a/c'),('/a b'),('/'),('/a-b'),('/a/b'),('/a');";
  ASSERT_OK(engine.Execute("CREATE TABLE T(x VARCHAR COLLATE path_components); INSERT INTO T" + rows +
                           "CREATE TABLE N(x VARCHAR COLLATE Path_Components_NoCase); INSERT INTO N" + rows));
  const Lines sorted = {"/", "/a", "/a/b", "/a/c", "/a b", "/a-b", "/a.txt", "/ab"};
  EXPECT_EQ(fsdbtest::SelectRows(engine, "SELECT x FROM T ORDER BY x"), sorted);
  EXPECT_EQ(fsdbtest::SelectRows(engine, "SELECT COUNT(*) FROM T WHERE x = '/A/B'"), Lines{"0"});
  EXPECT_EQ(fsdbtest::SelectRows(engine, "SELECT x FROM N ORDER BY x"), sorted);
  EXPECT_EQ(fsdbtest::SelectRows(engine, "SELECT x FROM N WHERE x = '/A/B'"), Lines{"/a/b"});
  EXPECT_EQ(log_->Count("Registering PATH_COMPONENTS"), 2u);
  EXPECT_EQ(log_->Count("Registering PATH_COMPONENTS_NOCASE"), 1u);

  const CYaError error = engine.Execute("CREATE TABLE O(x VARCHAR COLLATE path_components_other);");
  EXPECT_NE(error.AsString().find("no such collation sequence"), std::string::npos) << error.AsString();
}

// An existing scan database cannot be read in path order without the collation; an engine's open of the
// file registers it before the schema steps and statements touch the tables.
TEST_F(PathCollationRegistrationTest, FreshConnectionToAnExistingFileNeedsTheCollation) {
  const char kFolderPaths[] = "SELECT FullyQualifiedPath FROM Folders ORDER BY FullyQualifiedPath";
  {
    CFullPathDatabase engine(dir_.File("scan.db"), false);
    ASSERT_OK(engine.Open(false));
    for (const char* path : {"/d/ab", "/d/a b", "/d/a/x", "/d/a"})
      ASSERT_OK(engine.AddFolder(path, boost::make_shared<CDatabaseItem>()));
  }
  FX::CDatabaseBase plain;
  plain.SetDatabasePath(dir_.path());
  plain.SetDatabaseName("scan.db");
  ASSERT_OK(plain.OpenDatabase());
  boost::shared_ptr<FX::CSQLite3Statement> statement;
  const CYaError error = plain.CompileStatement(kFolderPaths, statement);
  EXPECT_NE(error.AsString().find("no such collation sequence"), std::string::npos) << error.AsString();

  CFullPathDatabase engine(dir_.File("scan.db"), false);
  ASSERT_OK(engine.Open(false));
  // In byte order "-" would come first and "/d/a b/" before "/d/a/".
  EXPECT_EQ(fsdbtest::SelectRows(engine, kFolderPaths),
            (Lines{"/", "/d/", "/d/a/", "/d/a/x/", "/d/a b/", "/d/ab/", "-"}));
}

}  // namespace
}  // namespace FSDB
