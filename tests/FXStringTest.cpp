// The string helpers: printf-style formatting, trimming a suffix, and the case and byte comparisons
// that the path order builds on.

#include <climits>
#include <string>

#include "TestUtil.h"
#include "platform/FXString.h"

namespace {

using Case = const char* [3];  // a row of a table of strings

TEST(FXStringTest, FormatFollowsPrintfAtAnyLength) {
  EXPECT_EQ("0003.142|ff|z|-9223372036854775808",
            FXString::Format("%08.3f|%x|%c|%lld", 3.14159, 255u, 'z', LLONG_MIN));
  for (size_t length : {511u, 512u, 100000u}) {
    const std::string body(length, 'x');
    EXPECT_EQ(body, FXString::Format("%s", body.c_str())) << length;
  }
}

TEST(FXStringTest, RemoveRightRemovesEveryTrailingOccurrence) {
  const Case cases[] = {{"/a/b///", "/", "/a/b"}, {"xababab", "ab", "x"}, {"abab", "ab", ""},
                        {"aba", "ab", "aba"},     {"a", "abc", "a"},      {"text", "", "text"},
                        {"xaab", "ab", "xa"}};
  for (const auto& [original, suffix, expected] : cases) {
    std::string text = original;
    FXString::RemoveRight(text, suffix);
    EXPECT_EQ(expected, text) << "'" << original << "' without '" << suffix << "'";
  }
}

TEST(FXStringTest, CaseComparisons) {
  EXPECT_TRUE(FXString::MatchesNoCase("PATH_COMPONENTS", "path_components"));
  EXPECT_FALSE(FXString::MatchesNoCase("PATH_COMPONENTS", "PATH_COMPONENTS_NOCASE"));
  EXPECT_FALSE(FXString::MatchesNoCase("\xC3\x84", "\xC3\xA4"));
  EXPECT_FALSE(FXString::MatchesNoCase("[", "{"));
  // Plain byte order: upper case before lower, '-' before '/', bytes above 127 after ASCII.
  EXPECT_EQ(0, FXString::CompareFSCase("abc", "abc"));
  EXPECT_LT(FXString::CompareFSCase("ABC", "abc"), 0);
  EXPECT_LT(FXString::CompareFSCase("/a-b", "/a/b"), 0);
  EXPECT_GT(FXString::CompareFSCase("\xC3\xA4", "z"), 0);
  EXPECT_TRUE(FXString::MatchesNoCase("Hello", "hELLO"));
  EXPECT_FALSE(FXString::MatchesNoCase("Hello", "Help"));
  EXPECT_NE(0, FXString::CompareFSCase("Hello", "hello"));
}

}  // namespace
