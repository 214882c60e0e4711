#include <cstdarg>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"

namespace {

struct SplitCase {
  std::string path;
  std::string parent;
  std::string name;
};

TEST(PathTest, SplitParentPathGivesSeparatorTerminatedParent) {
  const std::vector<SplitCase> cases = {
      {"/a/b/f", "/a/b/", "f"},
      {"/a/b/", "/a/", "b"},
      {"/a", "/", "a"},
      {"/a/", "/", "a"},
      {"/", "", ""},
      {"//", "", ""},
      {"a", "", "a"},
      {"a/", "", "a"},
      {"a/b", "a/", "b"},
      {"//a//b//", "/a/", "b"},
      {"/a//b///c", "/a/b/", "c"},
      {"-", "", "-"},
      {"/a b/c.txt", "/a b/", "c.txt"},
  };
  for (const SplitCase& c : cases) {
    std::string parent = "stale";
    std::string name = "stale";
    EXPECT_OK(FXPath::SplitParentPath(c.path, parent, name));
    EXPECT_EQ(parent, c.parent) << "path '" << c.path << "'";
    EXPECT_EQ(name, c.name) << "path '" << c.path << "'";
  }
}

TEST(PathTest, SplitParentPathOfEmptyPathFails) {
  std::string parent = "stale";
  std::string name = "stale";
  EXPECT_WIN32(FXPath::SplitParentPath("", parent, name), 87);
  EXPECT_EQ(parent, "");
  EXPECT_EQ(name, "");
}

// Climbing from any path by repeated splits must end: each parent is strictly shorter than its child.
TEST(PathTest, ClimbingByParentsAlwaysEnds) {
  const std::vector<std::string> starts = {"/a/b/c/d.txt", "/a/b/c/", "//x///y////", "rel/a/b", "/", "a",
                                           "////",         "/x/"};
  for (const std::string& start : starts) {
    std::string path = start;
    std::vector<std::string> walk;
    while (!path.empty()) {
      std::string parent;
      std::string name;
      EXPECT_OK(FXPath::SplitParentPath(path, parent, name));
      ASSERT_LT(parent.size(), path.size()) << "from '" << start << "' at '" << path << "'";
      walk.push_back(parent);
      path = parent;
    }
    if (start == "/a/b/c/d.txt") {
      EXPECT_EQ(walk, (std::vector<std::string>{"/a/b/c/", "/a/b/", "/a/", "/", ""}));
    }
  }
}

TEST(PathTest, AppendPutsExactlyOneSeparatorBetween) {
  struct AppendCase {
    std::string path;
    std::string component;
    std::string expected;
  };
  const std::vector<AppendCase> cases = {
      {"/a", "b", "/a/b"},   {"/a/", "b", "/a/b"}, {"/a", "/b", "/a/b"}, {"/a/", "/b", "/a/b"},
      {"/a//", "b", "/a/b"}, {"/", "a", "/a"},     {"/", "/", "/"},      {"/a/", "/", "/a/"},
      {"/a", "/", "/a/"},    {"", "b", "b"},       {"", "/", "/"},       {"/a", "b/", "/a/b/"},
      {"a", "b/c", "a/b/c"},
  };
  for (const AppendCase& c : cases) {
    std::string path = c.path;
    EXPECT_OK(FXPath::Append(path, c.component, 0));
    EXPECT_EQ(path, c.expected) << "'" << c.path << "' + '" << c.component << "'";
  }
}

TEST(PathTest, TrailingDelimiters) {
  std::string path = "/a/b";
  EXPECT_OK(FXPath::AppendTrailingDelimiter(path));
  EXPECT_EQ(path, "/a/b/");
  EXPECT_OK(FXPath::AppendTrailingDelimiter(path));
  EXPECT_EQ(path, "/a/b/");
  path.clear();
  EXPECT_OK(FXPath::AppendTrailingDelimiter(path));
  EXPECT_EQ(path, "/");

  path = "/a/b///";
  EXPECT_OK(FXPath::RemoveTrailingDelimiter(path));
  EXPECT_EQ(path, "/a/b");
  path = "/";
  EXPECT_OK(FXPath::RemoveTrailingDelimiter(path));
  EXPECT_EQ(path, "");
  path = "a";
  EXPECT_OK(FXPath::RemoveTrailingDelimiter(path));
  EXPECT_EQ(path, "a");
}

struct AncestorCase {
  std::string ancestor;
  std::string path;
  bool expected;
};

TEST(PathTest, IsAncestorOfWorksOnComponentBoundaries) {
  const std::vector<AncestorCase> cases = {
      {"/a", "/a/b", true},    {"/a", "/a/b/", true},     {"/a/", "/a/b", true},   {"/a", "/a/b/c", true},
      {"/a", "/ab", false},    {"/a", "/a", false},       {"/a", "/a/", false},    {"/a/", "/a", false},
      {"/a/b", "/a", false},   {"/a/b", "/a/c/d", false}, {"/a", "/a-b/c", false}, {"/a", "/a//b", true},
      {"//a//", "/a/b", true}, {"/a/b", "/a/bc", false},  {"/ab", "/a/b", false},  {"", "/a", true},
      {"/", "/a", true},       {"", "/a/b/", true},       {"/", "/x/y", true},     {"/", "/", false},
      {"", "", false},         {"", "/", false},          {"/", "", false},        {"//", "/a", true},
      {"a", "a/b", true},      {"a", "ab", false},        {"/a", "a/b", false},    {"a", "/a/b", false},
      {"", "a", false},        {"/A", "/a/b", false},
  };
  for (const AncestorCase& c : cases) {
    EXPECT_EQ(FXPath::IsAncestorOf(c.ancestor, c.path, false), c.expected)
        << "'" << c.ancestor << "' above '" << c.path << "'";
    // The other order names the same relation.
    EXPECT_EQ(FXPath::IsDescendantOf(c.path, c.ancestor, false), c.expected)
        << "'" << c.path << "' below '" << c.ancestor << "'";
  }
}

TEST(PathTest, IsAncestorOfIgnoringCaseFoldsOnlyAsciiLetters) {
  EXPECT_TRUE(FXPath::IsAncestorOf("/A/b", "/a/B/c", true));
  EXPECT_FALSE(FXPath::IsAncestorOf("/A/b", "/a/B/c", false));
  EXPECT_FALSE(FXPath::IsAncestorOf("/A", "/ab/c", true));
  // Bytes above 127 (here the two UTF-8 bytes of "Ä" and "ä") are not letters to fold.
  EXPECT_FALSE(FXPath::IsAncestorOf("/\xC3\x84", "/\xC3\xA4/x", true));
  // '[' and '{' sit 32 apart like letters, but are not letters.
  EXPECT_FALSE(FXPath::IsAncestorOf("/[", "/{/x", true));
}

std::string FormatThroughV(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FXString::FormatV(format, args);
  va_end(args);
  return text;
}

TEST(PathTest, FormatFollowsPrintfAtAnyLength) {
  EXPECT_EQ(FXString::Format("%s=%d", "n", 42), "n=42");
  EXPECT_EQ(FXString::Format("%s", ""), "");
  EXPECT_EQ(FXString::Format("%08.3f|%x|%c", 3.14159, 255u, 'z'), "0003.142|ff|z");
  EXPECT_EQ(FXString::Format("%lld", -9223372036854775807LL - 1), "-9223372036854775808");

  for (size_t length : {511u, 512u, 513u, 100000u}) {
    const std::string body(length, 'x');
    EXPECT_EQ(FXString::Format("[%s]", body.c_str()), "[" + body + "]") << length;
    EXPECT_EQ(FormatThroughV("%s", body.c_str()), body) << length;
  }
  EXPECT_EQ(FormatThroughV("%d-%s", 7, "seven"), "7-seven");
}

TEST(PathTest, RemoveRightRemovesEveryTrailingOccurrence) {
  struct RemoveCase {
    std::string text;
    std::string suffix;
    std::string expected;
  };
  const std::vector<RemoveCase> cases = {
      {"/a/b///", "/", "/a/b"}, {"xababab", "ab", "x"}, {"abab", "ab", ""}, {"aba", "ab", "aba"},
      {"a", "abc", "a"},        {"text", "", "text"},   {"", "/", ""},      {"a/b", "/", "a/b"},
      {"xaab", "ab", "xa"},
  };
  for (const RemoveCase& c : cases) {
    std::string text = c.text;
    FXString::RemoveRight(text, c.suffix);
    EXPECT_EQ(text, c.expected) << "'" << c.text << "' without '" << c.suffix << "'";
  }
}

TEST(PathTest, CaseComparisons) {
  EXPECT_TRUE(FXString::MatchesNoCase("PATH_COMPONENTS", "path_components"));
  EXPECT_TRUE(FXString::MatchesNoCase("", ""));
  EXPECT_FALSE(FXString::MatchesNoCase("PATH_COMPONENTS", "PATH_COMPONENTS_NOCASE"));
  EXPECT_FALSE(FXString::MatchesNoCase("\xC3\x84", "\xC3\xA4"));
  EXPECT_FALSE(FXString::MatchesNoCase("[", "{"));

  EXPECT_EQ(FXString::CompareFSCase("abc", "abc"), 0);
  EXPECT_LT(FXString::CompareFSCase("ABC", "abc"), 0);
  EXPECT_GT(FXString::CompareFSCase("abd", "abc"), 0);
  EXPECT_LT(FXString::CompareFSCase("ab", "abc"), 0);
  // Plain byte order: '-' before '/', and bytes above 127 after ASCII.
  EXPECT_LT(FXString::CompareFSCase("/a-b", "/a/b"), 0);
  EXPECT_GT(FXString::CompareFSCase("\xC3\xA4", "z"), 0);

  EXPECT_EQ(_stricmp("Hello", "hELLO"), 0);
  EXPECT_NE(_stricmp("Hello", "Help"), 0);
  EXPECT_NE(_strfscmp("Hello", "hello"), 0);
  EXPECT_EQ(_strfscmp("same", "same"), 0);
}

}  // namespace
