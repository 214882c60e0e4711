#include <string>

#include "TestUtil.h"
#include "fsdb/Error.h"

namespace {

// Fixed locations, so that the text of AsString can be checked exactly where it matters.
const FXCodeLocation kInner("/src/deep/dir/Inner.cpp", "CYaError Inner(int)", 10);
const FXCodeLocation kMiddle("/src/other/Middle.cpp", "CYaError Middle()", 20);
const FXCodeLocation kOuter("Outer.cpp", "int main()", 30);

CYaError MakeNotFound() {
  return FXErrorUtil::ErrorWin32(kInner, 1168, "folder [%s] not found", "/a/b/");
}

// Where `needle` starts in `text`, failing the test when it is missing.
size_t PositionOf(const std::string& text, const std::string& needle) {
  const size_t position = text.find(needle);
  EXPECT_NE(position, std::string::npos) << "'" << needle << "' not in: " << text;
  return position;
}

TEST(ErrorTest, SuccessIsCodeZeroWithoutDetails) {
  const CYaError success = CYaError::Success();
  EXPECT_FALSE(success.IsError());
  EXPECT_EQ(success.GetCode(), 0);
  EXPECT_EQ(success.AsString(), "Success");
  EXPECT_EQ(success.GetMessage(), "");
  EXPECT_EQ(success.GetLocationCount(), 0u);
  EXPECT_FALSE(FXErrorUtil::IsWin32(success, 0));
  EXPECT_FALSE(FXErrorUtil::IsSQLite(success));
}

TEST(ErrorTest, Win32CodesAreNegativeAndRecognised) {
  const CYaError error = FXErrorUtil::ErrorWin32(kInner, 1168);
  EXPECT_TRUE(error.IsError());
  EXPECT_EQ(static_cast<uint32_t>(error.GetCode()), 0x80070490u);
  EXPECT_EQ(error.GetCode(), FXErrorUtil::Win32Code(1168));
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168));
  EXPECT_FALSE(FXErrorUtil::IsWin32(error, 13));
  int sqliteCode = -5;
  EXPECT_FALSE(FXErrorUtil::IsSQLite(error, &sqliteCode));
  EXPECT_EQ(sqliteCode, -5);
  EXPECT_EQ(error.GetMessage(), "");
  EXPECT_EQ(error.GetLocationCount(), 1u);

  // Even code 0 is an error once it is encoded.
  EXPECT_TRUE(FXErrorUtil::ErrorWin32(kInner, 0).IsError());
}

TEST(ErrorTest, SQLiteCodesAreNegativeAndKeepTheirNumber) {
  const CYaError constraint =
      FXErrorUtil::ErrorSQLite(kInner, 19, "SQLite Exception%s%s", ", ", "UNIQUE failed");
  EXPECT_TRUE(constraint.IsError());
  EXPECT_EQ(static_cast<uint32_t>(constraint.GetCode()), 0x80FA0013u);
  int sqliteCode = 0;
  EXPECT_TRUE(FXErrorUtil::IsSQLite(constraint, &sqliteCode));
  EXPECT_EQ(sqliteCode, 19);
  EXPECT_TRUE(FXErrorUtil::IsSQLite(constraint));
  // The same number as a Win32 code is a different error.
  EXPECT_FALSE(FXErrorUtil::IsWin32(constraint, 19));
  EXPECT_EQ(constraint.GetMessage(), "SQLite Exception, UNIQUE failed");

  // Extended result codes (SQLITE_CONSTRAINT_UNIQUE) survive the encoding.
  EXPECT_TRUE(FXErrorUtil::IsSQLite(FXErrorUtil::ErrorSQLite(kInner, 2067, "%s", ""), &sqliteCode));
  EXPECT_EQ(sqliteCode, 2067);
}

TEST(ErrorTest, MessagesFollowPrintfRules) {
  EXPECT_EQ(MakeNotFound().GetMessage(), "folder [/a/b/] not found");
  EXPECT_EQ(
      FXErrorUtil::ErrorWin32(kInner, 87, "%d|%5.2f|%-3s|%llu|%%", -4, 3.14159, "x", 1ULL << 40).GetMessage(),
      "-4| 3.14|x  |1099511627776|%");

  // Longer than any fixed buffer a formatter might start with.
  const std::string longText(5000, 'q');
  EXPECT_EQ(FXErrorUtil::ErrorWin32(kInner, 87, "<%s>", longText.c_str()).GetMessage(), "<" + longText + ">");
}

TEST(ErrorTest, AsStringNamesCodeKindMessagesAndLocationsInnermostFirst) {
  CYaError error = MakeNotFound();
  error.Push(kMiddle);
  error.Push(kOuter, "while adding %d files", 3);
  EXPECT_EQ(error.GetLocationCount(), 3u);
  // The first message stays the one the error was made with.
  EXPECT_EQ(error.GetMessage(), "folder [/a/b/] not found");

  const std::string text = error.AsString();
  EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  PositionOf(text, "0x80070490");
  PositionOf(text, "Win32 1168");
  const size_t message = PositionOf(text, "folder [/a/b/] not found");
  const size_t inner = PositionOf(text, "Inner.cpp:10");
  const size_t middle = PositionOf(text, "Middle.cpp:20");
  const size_t outerMessage = PositionOf(text, "while adding 3 files");
  const size_t outer = PositionOf(text, "Outer.cpp:30");
  PositionOf(text, "CYaError Inner(int)");
  PositionOf(text, "int main()");
  EXPECT_LT(message, inner);
  EXPECT_LT(inner, middle);
  EXPECT_LT(middle, outerMessage);
  EXPECT_LT(outerMessage, outer);
  // File names without their folders.
  EXPECT_EQ(text.find("/src/deep/dir/"), std::string::npos) << text;

  const std::string sqliteText = FXErrorUtil::ErrorSQLite(kInner, 19, "constraint").AsString();
  PositionOf(sqliteText, "SQLite 19");
  PositionOf(sqliteText, "0x80FA0013");
}

TEST(ErrorTest, PushReturnsTheSameErrorForChaining) {
  CYaError error = MakeNotFound();
  CYaError& pushed = error.Push(kMiddle).Push(kOuter, "outer");
  EXPECT_EQ(&pushed, &error);
  EXPECT_EQ(error.GetLocationCount(), 3u);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168));
}

TEST(ErrorTest, CopiesShareTheirDetails) {
  const CYaError original = MakeNotFound();
  CYaError copy = original;
  copy.Push(kMiddle, "seen by %s", "both");
  EXPECT_EQ(original.GetLocationCount(), 2u);
  PositionOf(original.AsString(), "seen by both");

  CYaError assigned;
  assigned = original;
  assigned.Push(kOuter);
  EXPECT_EQ(original.GetLocationCount(), 3u);
  EXPECT_EQ(copy.GetLocationCount(), 3u);
  EXPECT_EQ(assigned.GetCode(), original.GetCode());

  // A new error does not share anything with an earlier one.
  EXPECT_EQ(MakeNotFound().GetLocationCount(), 1u);
}

TEST(ErrorTest, PushOnSuccessRecordsLocationButStaysSuccess) {
  CYaError success = CYaError::Success();
  success.Push(kOuter, "passed along");
  EXPECT_FALSE(success.IsError());
  EXPECT_EQ(success.GetCode(), 0);
  EXPECT_EQ(success.GetLocationCount(), 1u);
  // A pushed message is not the message the value was made with.
  EXPECT_EQ(success.GetMessage(), "");
  const std::string text = success.AsString();
  PositionOf(text, "Success");
  PositionOf(text, "passed along");
  PositionOf(text, "Outer.cpp:30");
}

}  // namespace
