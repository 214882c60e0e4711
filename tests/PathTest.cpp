#include <climits>
#include <string>
#include <tuple>

#include "TestUtil.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"

namespace {

using Case = const char* [3];  // a row of a table of strings

TEST(PathTest, SplitParentPathGivesSeparatorTerminatedParentStrictlyShorterThanThePath) {
  const Case cases[] = {{"/a/b/f", "/a/b/", "f"}, {"/a/b/", "/a/", "b"}, {"/a//b///c", "/a/b/", "c"},
                        {"a/", "", "a"},          {"/a", "/", "a"},      {"/", "", ""},
                        {"//", "", ""},           {"a", "", "a"},        {"a/b", "a/", "b"},
                        {"//a//b//", "/a/", "b"}};
  for (const auto& [path, expectedParent, expectedName] : cases) {
    std::string parent = "stale";
    std::string name = "stale";
    EXPECT_OK(FXPath::SplitParentPath(path, parent, name));
    EXPECT_EQ(expectedParent + std::string("|") + expectedName, parent + "|" + name) << path;
    EXPECT_LT(parent.size(), std::string(path).size()) << path;  // so a walk up the tree ends
  }
  std::string parent = "stale";
  std::string name = "stale";
  EXPECT_WIN32(FXPath::SplitParentPath("", parent, name), 87);
  EXPECT_EQ("|", parent + "|" + name);
}

TEST(PathTest, AppendPutsExactlyOneSeparatorBetween) {
  const Case cases[] = {{"/a", "b", "/a/b"}, {"/a/", "/b", "/a/b"}, {"/a//", "b", "/a/b"}, {"/", "a", "/a"},
                        {"/", "/", "/"},     {"/a/", "/", "/a/"},   {"/a", "/", "/a/"},    {"", "b", "b"},
                        {"", "/", "/"},      {"/a", "b/", "/a/b/"}, {"a", "b/c", "a/b/c"}};
  for (const auto& [start, component, expected] : cases) {
    std::string path = start;
    EXPECT_OK(FXPath::Append(path, component, 0));
    EXPECT_EQ(expected, path) << "'" << start << "' + '" << component << "'";
  }
  std::string path = "/a/b///";
  EXPECT_OK(FXPath::RemoveTrailingDelimiter(path));
  EXPECT_EQ("/a/b", path);
  EXPECT_OK(FXPath::AppendTrailingDelimiter(path));
  EXPECT_EQ("/a/b/", path);
}

TEST(PathTest, IsAncestorOfWorksOnComponentBoundaries) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"/a", "/a/b", true},    {"/a", "/a/b/", true},  {"/a/", "/a/b", true},   {"/a", "/ab", false},
      {"/a", "/a", false},     {"/a", "/a/", false},   {"/a", "/a-b/c", false}, {"/a", "/a//b", true},
      {"//a//", "/a/b", true}, {"/ab", "/a/b", false}, {"", "/a", true},        {"/", "/x/y", true},
      {"/", "/", false},       {"", "", false},        {"a", "a/b", true},      {"a", "ab", false},
      {"/a", "a/b", false},    {"a", "/a/b", false},   {"", "a", false},        {"/A", "/a/b", false}};
  for (const auto& [ancestor, path, expected] : cases) {
    EXPECT_EQ(expected, FXPath::IsAncestorOf(ancestor, path, false)) << ancestor << " above " << path;
    EXPECT_EQ(expected, FXPath::IsDescendantOf(path, ancestor, false)) << path << " below " << ancestor;
  }
  // Ignoring case folds ASCII letters only: not the bytes of UTF-8 "Ä"/"ä", nor '[' and '{'.
  EXPECT_TRUE(FXPath::IsAncestorOf("/A/b", "/a/B/c", true));
  EXPECT_FALSE(FXPath::IsAncestorOf("/A", "/ab/c", true));
  EXPECT_FALSE(FXPath::IsAncestorOf("/\xC3\x84", "/\xC3\xA4/x", true));
  EXPECT_FALSE(FXPath::IsAncestorOf("/[", "/{/x", true));
}

TEST(PathTest, FormatFollowsPrintfAtAnyLength) {
  EXPECT_EQ("0003.142|ff|z|-9223372036854775808",
            FXString::Format("%08.3f|%x|%c|%lld", 3.14159, 255u, 'z', LLONG_MIN));
  for (size_t length : {511u, 512u, 100000u}) {
    const std::string body(length, 'x');
    EXPECT_EQ(body, FXString::Format("%s", body.c_str())) << length;
  }
}

TEST(PathTest, RemoveRightRemovesEveryTrailingOccurrence) {
  const Case cases[] = {{"/a/b///", "/", "/a/b"}, {"xababab", "ab", "x"}, {"abab", "ab", ""},
                        {"aba", "ab", "aba"},     {"a", "abc", "a"},      {"text", "", "text"},
                        {"xaab", "ab", "xa"}};
  for (const auto& [original, suffix, expected] : cases) {
    std::string text = original;
    FXString::RemoveRight(text, suffix);
    EXPECT_EQ(expected, text) << "'" << original << "' without '" << suffix << "'";
  }
}

TEST(PathTest, CaseComparisons) {
  EXPECT_TRUE(FXString::MatchesNoCase("PATH_COMPONENTS", "path_components"));
  EXPECT_FALSE(FXString::MatchesNoCase("PATH_COMPONENTS", "PATH_COMPONENTS_NOCASE"));
  EXPECT_FALSE(FXString::MatchesNoCase("\xC3\x84", "\xC3\xA4"));
  EXPECT_FALSE(FXString::MatchesNoCase("[", "{"));
  // Plain byte order: upper case before lower, '-' before '/', bytes above 127 after ASCII.
  EXPECT_EQ(0, FXString::CompareFSCase("abc", "abc"));
  EXPECT_LT(FXString::CompareFSCase("ABC", "abc"), 0);
  EXPECT_LT(FXString::CompareFSCase("/a-b", "/a/b"), 0);
  EXPECT_GT(FXString::CompareFSCase("\xC3\xA4", "z"), 0);
  EXPECT_EQ(0, _stricmp("Hello", "hELLO"));
  EXPECT_NE(0, _stricmp("Hello", "Help"));
  EXPECT_NE(0, _strfscmp("Hello", "hello"));
}

}  // namespace
