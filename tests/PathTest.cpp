#include <string>
#include <tuple>

#include "TestUtil.h"
#include "platform/FXPath.h"

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

}  // namespace
