#include <initializer_list>
#include <string>

#include "TestUtil.h"
#include "fsdb/Error.h"

namespace {

// Fixed locations, so that the text of AsString can be checked where it matters.
const FXCodeLocation kInner("/src/deep/dir/Inner.cpp", "CYaError Inner(int)", 10);
const FXCodeLocation kMiddle("/src/other/Middle.cpp", "CYaError Middle()", 20);
const FXCodeLocation kOuter("Outer.cpp", "int main()", 30);

CYaError MakeNotFound() {
  return FXErrorUtil::ErrorWin32(kInner, 1168, "folder [%s] not found", "/a/b/");
}

// Whether `parts` occur in `text` in this order.
bool InOrder(const std::string& text, std::initializer_list<const char*> parts) {
  size_t position = 0;
  for (const char* part : parts)
    if ((position = text.find(part, position)) == std::string::npos)
      return false;
  return true;
}

TEST(ErrorTest, SuccessHasCodeZeroAndStaysSuccessWhenPushed) {
  CYaError success = CYaError::Success();
  EXPECT_EQ("Success", success.AsString());
  EXPECT_FALSE(FXErrorUtil::IsWin32(success, 0) || FXErrorUtil::IsSQLite(success));
  success.Push(kOuter, "passed along");
  EXPECT_FALSE(success.IsError());
  EXPECT_EQ(1u, success.GetLocationCount());
  EXPECT_EQ("", success.GetMessage());  // a pushed message is not the one the value was made with
  EXPECT_TRUE(InOrder(success.AsString(), {"Success", "passed along", "Outer.cpp:30"})) << success.AsString();
}

TEST(ErrorTest, CodesOfBothKindsAreNegativeAndKeepTheirNumber) {
  const CYaError win32 = FXErrorUtil::ErrorWin32(kInner, 1168);
  EXPECT_EQ(0x80070490u, static_cast<uint32_t>(win32.GetCode()));
  EXPECT_TRUE(FXErrorUtil::IsWin32(win32, 1168));
  EXPECT_FALSE(FXErrorUtil::IsWin32(win32, 13));
  int sqliteCode = -5;
  EXPECT_FALSE(FXErrorUtil::IsSQLite(win32, &sqliteCode));
  EXPECT_EQ(-5, sqliteCode);
  EXPECT_TRUE(FXErrorUtil::ErrorWin32(kInner, 0).IsError());  // even code 0, once encoded

  const CYaError sqlite = FXErrorUtil::ErrorSQLite(kInner, 2067, "%s", "");  // an extended result code
  EXPECT_EQ(0x80FA0813u, static_cast<uint32_t>(sqlite.GetCode()));
  EXPECT_TRUE(FXErrorUtil::IsSQLite(sqlite, &sqliteCode));
  EXPECT_EQ(2067, sqliteCode);
  EXPECT_FALSE(FXErrorUtil::IsWin32(sqlite, 2067));
  EXPECT_TRUE(InOrder(FXErrorUtil::ErrorSQLite(kInner, 19, "x").AsString(), {"0x80FA0013", "SQLite 19"}));
}

TEST(ErrorTest, MessagesFollowPrintfRulesAtAnyLength) {
  EXPECT_EQ("-4| 3.14|x  |1099511627776|%",
            FXErrorUtil::ErrorWin32(kInner, 87, "%d|%5.2f|%-3s|%llu|%%", -4, 3.14159, "x", 1ULL << 40)
                .GetMessage());
  const std::string longText(5000, 'q');
  EXPECT_EQ("<" + longText + ">",
            FXErrorUtil::ErrorSQLite(kInner, 19, "<%s>", longText.c_str()).GetMessage());
}

TEST(ErrorTest, PushedLocationsFollowTheOriginInnermostFirst) {
  CYaError error = MakeNotFound();
  EXPECT_EQ(&error, &error.Push(kMiddle).Push(kOuter, "while adding %d files", 3));
  EXPECT_EQ(3u, error.GetLocationCount());
  EXPECT_EQ("folder [/a/b/] not found", error.GetMessage());  // still the first message
  const std::string text = error.AsString();
  EXPECT_TRUE(InOrder(
      text, {"0x80070490", "Win32 1168", "folder [/a/b/] not found", "Inner.cpp:10", "CYaError Inner(int)",
             "Middle.cpp:20", "while adding 3 files", "Outer.cpp:30", "int main()"}))
      << text;
  EXPECT_EQ(std::string::npos, text.find('\n')) << text;
  EXPECT_EQ(std::string::npos, text.find("/src/")) << text;  // file names without their folders
}

TEST(ErrorTest, CopiesShareTheirDetails) {
  const CYaError original = MakeNotFound();
  CYaError copy = original;
  copy.Push(kMiddle, "seen by %s", "both");
  CYaError assigned;
  assigned = original;
  assigned.Push(kOuter);
  EXPECT_EQ(3u, original.GetLocationCount());
  EXPECT_EQ(3u, copy.GetLocationCount());
  EXPECT_TRUE(InOrder(original.AsString(), {"seen by both", "Outer.cpp:30"})) << original.AsString();
  EXPECT_EQ(1u, MakeNotFound().GetLocationCount());  // a new error shares nothing with an earlier one
}

}  // namespace
