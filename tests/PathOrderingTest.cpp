#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "core/FullPathDatabase.h"
#include "core/PathOrdering.h"
#include "platform/SQLiteDatabase.h"

namespace FSDB {
namespace {

int Compare(const std::string& a, const std::string& b, bool caseSensitive) {
  return CompareFolderName(a, b, caseSensitive);
}

// ---------------------------------------------------------------------------------------------------
// The comparison functions

class PathCollationTest : public ::testing::TestWithParam<bool> {};

TEST_P(PathCollationTest, SeparatorSortsBeforeEveryOtherByte) {
  const bool caseSensitive = GetParam();
  // '-', ' ' and '.' are below '/' in byte order; the separator must still come first.
  EXPECT_LT(Compare("/a/b", "/a-b", caseSensitive), 0);
  EXPECT_LT(Compare("/a/b", "/a b", caseSensitive), 0);
  EXPECT_LT(Compare("/a/b", "/a.txt", caseSensitive), 0);
  EXPECT_GT(Compare("/a-b", "/a/b", caseSensitive), 0);
  EXPECT_LT(Compare("/", "-", caseSensitive), 0);
  EXPECT_EQ(Compare("/ab", "/a/", caseSensitive), 1);
  // A separator at the last compared position still decides.
  EXPECT_EQ(path_strcmp("/a/", "/ab", 3), -1);
  EXPECT_EQ(path_stricmp("/a/", "/ab", 3), -1);
}

TEST_P(PathCollationTest, PrefixComesFirstByItsLength) {
  const bool caseSensitive = GetParam();
  EXPECT_EQ(Compare("/a", "/a/b", caseSensitive), -2);
  EXPECT_EQ(Compare("/a/b", "/a", caseSensitive), 2);
  EXPECT_EQ(Compare("/a/b", "/a/b", caseSensitive), 0);
  EXPECT_LT(Compare("", "/", caseSensitive), 0);
  EXPECT_LT(Compare("", "a", caseSensitive), 0);
  EXPECT_GT(Compare("a", "", caseSensitive), 0);
  EXPECT_EQ(Compare("", "", caseSensitive), 0);
}

TEST_P(PathCollationTest, BytesAboveAsciiAreUnsignedAndNeverFolded) {
  const bool caseSensitive = GetParam();
  // "Ä" and "ä" in UTF-8 differ in their second byte (0x84, 0xA4).
  EXPECT_NE(Compare("/\xC3\x84", "/\xC3\xA4", caseSensitive), 0);
  EXPECT_LT(Compare("/\xC3\x84", "/\xC3\xA4", caseSensitive), 0);
  // As unsigned values they sort after every ASCII byte, the separator included.
  EXPECT_GT(Compare("/\xC3", "/z", caseSensitive), 0);
  EXPECT_LT(Compare("/a/\xC3", "/a\xC3", caseSensitive), 0);
}

TEST_P(PathCollationTest, SortsAFolderDirectlyBeforeItsSubtree) {
  const bool caseSensitive = GetParam();
  const std::vector<std::string> expected = {"/", "/a", "/a/b", "/a/c", "/a b", "/a-b", "/a.txt", "/ab"};
  std::vector<std::string> paths = {"/ab", "/a.txt", "/a/c", "/a b", "/", "/a-b", "/a/b", "/a"};
  std::sort(paths.begin(), paths.end(), [caseSensitive](const std::string& a, const std::string& b) {
    return Compare(a, b, caseSensitive) < 0;
  });
  EXPECT_EQ(paths, expected);
}

INSTANTIATE_TEST_SUITE_P(BothCollations, PathCollationTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PathComponents" : "PathComponentsNocase";
                         });

TEST(PathOrderingTest, CaseMattersOnlyToTheCaseSensitiveCollation) {
  EXPECT_EQ(Compare("/A", "/a", true), -32);
  EXPECT_EQ(Compare("/A", "/a", false), 0);
  EXPECT_EQ(Compare("/a/B", "/A/b", false), 0);
  // Folding maps letters only: '[' (0x5B) sorts before 'a' once 'A'..'Z' became lower case.
  EXPECT_LT(Compare("/[", "/A", false), 0);
  EXPECT_GT(Compare("/[", "/A", true), 0);
}

TEST(PathOrderingTest, ComparesAtMostNBytes) {
  EXPECT_EQ(path_strcmp("/a/x", "/a/y", 0), 0);
  EXPECT_EQ(path_strcmp("/a/x", "/a/y", 3), 0);
  EXPECT_EQ(path_strcmp("/a/x", "/a/y", 4), 'x' - 'y');
  EXPECT_EQ(path_stricmp("/A/X", "/a/y", 4), 'x' - 'y');
  // The collation entry points compare the shorter length, then the lengths.
  EXPECT_EQ(sqlite_collation_bypath(nullptr, 2, "/abc", 4, "/abc"), -2);
  EXPECT_EQ(sqlite_collation_bypath_nocase(nullptr, 4, "/ABC", 4, "/abc"), 0);
}

// ---------------------------------------------------------------------------------------------------
// Path normalisation

TEST(PathOrderingTest, NormalizePathRefusesPathsThatCannotBeRecorded) {
  for (const std::string& bad : {std::string(""), std::string("a/b"), std::string("relative")}) {
    std::string normalized = "untouched";
    CYaError error = NormalizePath(bad, normalized);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87)) << error.AsString();
    EXPECT_NE(error.GetMessage().find("[" + bad + "]"), std::string::npos) << error.GetMessage();
    EXPECT_EQ(normalized, "untouched");
  }
}

TEST(PathOrderingTest, NormalizePathFoldsRepeatedSeparators) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/", "/"},          {"//", "/"},          {"/a/b", "/a/b"},      {"/a/b/", "/a/b/"},
      {"//a///b", "/a/b"}, {"/a//b//", "/a/b/"}, {"/a b//c", "/a b/c"},
  };
  for (const auto& c : cases) {
    std::string normalized;
    EXPECT_OK(NormalizePath(c.first, normalized));
    EXPECT_EQ(normalized, c.second) << "path '" << c.first << "'";
  }
}

// ---------------------------------------------------------------------------------------------------
// Registration with SQLite

// Reads the first column of every row of `sql` as text.
std::vector<std::string> Column(FX::CDatabaseBase& database, const std::string& sql) {
  std::vector<std::string> values;
  boost::shared_ptr<FX::CSQLite3Statement> statement;
  CYaError error = database.CompileStatement(sql, statement);
  EXPECT_OK(error);
  if (error.IsError())
    return values;
  for (auto row = statement->ExecQuery(); !row->Eof(); row->NextRow())
    values.push_back(row->GetStringField(0, ""));
  return values;
}

class PathCollationRegistrationTest : public ::testing::Test {
 protected:
  size_t Lines(const std::string& text) {
    const std::vector<std::string> texts = log_->Texts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
  }

  fsdbtest::TempDir dir_;
  fsdbtest::ScopedCaptureLog log_{2};
};

// A file may declare the collations under any letter case: the handler registers whatever SQLite asks
// for, on demand, on a connection that has not met the name yet.
TEST_F(PathCollationRegistrationTest, RegistersOnDemandUnderTheRequestedCase) {
  CFullPathDatabase engine(dir_.File("scan.db"), false);
  ASSERT_OK(engine.OpenDatabase());
  ASSERT_OK(engine.RegisterCallbacks());
  ASSERT_OK(engine.Execute(
      "CREATE TABLE T(x VARCHAR COLLATE path_components);"
      "INSERT INTO T VALUES ('/ab'),('/a.txt'),('/a/c'),('/a b'),('/'),('/a-b'),('/a/b'),('/a');"
      "CREATE TABLE N(x VARCHAR COLLATE Path_Components_NoCase);"
      "INSERT INTO N VALUES ('/A/b'),('/a/B'),('/a-b');"));

  EXPECT_EQ(Column(engine, "SELECT x FROM T ORDER BY x"),
            (std::vector<std::string>{"/", "/a", "/a/b", "/a/c", "/a b", "/a-b", "/a.txt", "/ab"}));
  EXPECT_EQ(Lines("Registering PATH_COMPONENTS"), 1u);
  EXPECT_EQ(Column(engine, "SELECT COUNT(DISTINCT x) FROM N"), (std::vector<std::string>{"2"}));
  EXPECT_EQ(Lines("Registering PATH_COMPONENTS_NOCASE"), 1u);

  // Any other unknown collation stays unknown.
  CYaError error = engine.Execute("CREATE TABLE O(x VARCHAR COLLATE path_components_other);");
  EXPECT_NE(error.AsString().find("no such collation sequence"), std::string::npos) << error.AsString();
}

// An existing scan database cannot be read in path order without the collation; an engine's open of
// the file registers it before the schema steps and statements touch the tables.
TEST_F(PathCollationRegistrationTest, FreshConnectionToAnExistingFileNeedsTheCollation) {
  const char kFolderPaths[] = "SELECT FullyQualifiedPath FROM Folders ORDER BY FullyQualifiedPath";
  const std::string file = dir_.File("scan.db");
  {
    CFullPathDatabase engine(file, false);
    ASSERT_OK(engine.Open(false));
    for (const char* path : {"/d/ab", "/d/a b", "/d/a/x", "/d/a"}) {
      ASSERT_OK(engine.AddFolder(path, boost::make_shared<CDatabaseItem>()));
    }
    ASSERT_OK(engine.Close());
  }
  {
    FX::CDatabaseBase plain;
    plain.SetDatabasePath(dir_.path());
    plain.SetDatabaseName("scan.db");
    ASSERT_OK(plain.OpenDatabase());
    boost::shared_ptr<FX::CSQLite3Statement> statement;
    CYaError error = plain.CompileStatement(kFolderPaths, statement);
    EXPECT_TRUE(error.IsError());
    EXPECT_NE(error.AsString().find("no such collation sequence"), std::string::npos) << error.AsString();
  }
  CFullPathDatabase engine(file, false);
  ASSERT_OK(engine.Open(false));
  // In byte order "-" would come first and "/d/a b/" before "/d/a/".
  EXPECT_EQ(Column(engine, kFolderPaths),
            (std::vector<std::string>{"/", "/d/", "/d/a/", "/d/a/x/", "/d/a b/", "/d/ab/", "-"}));
  ASSERT_OK(engine.Close());
}

}  // namespace
}  // namespace FSDB
