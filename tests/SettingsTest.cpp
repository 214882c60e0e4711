#include <cstdlib>
#include <fstream>
#include <string>

#include "TestUtil.h"
#include "platform/PlatformInfo.h"

namespace {

constexpr const char* kSection = "~FileSystemAgent";
constexpr const char* kKey = "nScanDatabasePerformanceLoggingInterval";
// What callers preset; a failed read must leave it alone.
constexpr int kPreset = 600;

// Points FSDB_SETTINGS at a file in the test's own folder and puts the variable back afterwards.
class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    const char* previous = std::getenv("FSDB_SETTINGS");
    hadPrevious_ = previous != nullptr;
    if (hadPrevious_)
      previous_ = previous;
  }
  ~SettingsTest() override {
    if (hadPrevious_) {
      setenv("FSDB_SETTINGS", previous_.c_str(), 1);
    } else {
      unsetenv("FSDB_SETTINGS");
    }
  }

  // Writes `contents` as the settings file and selects it.
  void UseSettings(const std::string& contents) {
    const std::string path = dir_.File("settings.ini");
    std::ofstream(path) << contents;
    setenv("FSDB_SETTINGS", path.c_str(), 1);
  }

  // Reads the interval setting into a preset value.
  CYaError ReadInterval(int* value) {
    *value = kPreset;
    return WDPlatformInfo().getRegInt(kSection, kKey, value);
  }

  fsdbtest::TempDir dir_;

 private:
  bool hadPrevious_ = false;
  std::string previous_;
};

TEST_F(SettingsTest, ReadsIntegerFromItsSection) {
  UseSettings(
      "[Other]\n"
      "nScanDatabasePerformanceLoggingInterval=1\n"
      "[~FileSystemAgent]\n"
      "; the report interval\n"
      "nScanDatabasePerformanceLoggingInterval = 42\n"
      "nOther=5\n");
  int value = 0;
  EXPECT_OK(ReadInterval(&value));
  EXPECT_EQ(value, 42);

  WDPlatformInfo info;
  EXPECT_OK(info.getRegInt("Other", kKey, &value));
  EXPECT_EQ(value, 1);
  EXPECT_OK(info.getRegInt(kSection, "nOther", &value));
  EXPECT_EQ(value, 5);
}

TEST_F(SettingsTest, AcceptsSignsAndTheWholeIntRange) {
  UseSettings("[~FileSystemAgent]\nnegative=-17\nplus=+8\nmax=2147483647\nmin=-2147483648\n");
  WDPlatformInfo info;
  int value = 0;
  EXPECT_OK(info.getRegInt(kSection, "negative", &value));
  EXPECT_EQ(value, -17);
  EXPECT_OK(info.getRegInt(kSection, "plus", &value));
  EXPECT_EQ(value, 8);
  EXPECT_OK(info.getRegInt(kSection, "max", &value));
  EXPECT_EQ(value, 2147483647);
  EXPECT_OK(info.getRegInt(kSection, "min", &value));
  EXPECT_EQ(value, -2147483647 - 1);
}

TEST_F(SettingsTest, NamesWithDotsAreTakenLiterally) {
  UseSettings("[a.b]\nc.d=3\n[a]\nb=9\n");
  int value = 0;
  EXPECT_OK(WDPlatformInfo().getRegInt("a.b", "c.d", &value));
  EXPECT_EQ(value, 3);
}

TEST_F(SettingsTest, MissingSettingsLeaveValueUnchanged) {
  int value = 0;

  unsetenv("FSDB_SETTINGS");
  EXPECT_WIN32(ReadInterval(&value), 1168);
  EXPECT_EQ(value, kPreset);

  setenv("FSDB_SETTINGS", "", 1);
  EXPECT_WIN32(ReadInterval(&value), 1168);
  EXPECT_EQ(value, kPreset);

  setenv("FSDB_SETTINGS", dir_.File("absent.ini").c_str(), 1);
  EXPECT_WIN32(ReadInterval(&value), 1168);
  EXPECT_EQ(value, kPreset);

  UseSettings("[SomethingElse]\nnScanDatabasePerformanceLoggingInterval=5\n");
  EXPECT_WIN32(ReadInterval(&value), 1168);
  EXPECT_EQ(value, kPreset);

  UseSettings("[~FileSystemAgent]\nnOther=5\n");
  EXPECT_WIN32(ReadInterval(&value), 1168);
  EXPECT_EQ(value, kPreset);

  // Names are matched exactly.
  UseSettings("[~filesystemagent]\nnScanDatabasePerformanceLoggingInterval=5\n");
  EXPECT_WIN32(ReadInterval(&value), 1168);
  EXPECT_EQ(value, kPreset);
}

TEST_F(SettingsTest, InvalidValuesLeaveValueUnchanged) {
  for (const char* text :
       {"abc", "", "12abc", "1.5", "0x10", "2147483648", "-2147483649", "99999999999999999999999"}) {
    UseSettings(std::string("[~FileSystemAgent]\nnScanDatabasePerformanceLoggingInterval=") + text + "\n");
    int value = 0;
    EXPECT_WIN32(ReadInterval(&value), 13);
    EXPECT_EQ(value, kPreset) << "value text '" << text << "'";
  }
}

TEST_F(SettingsTest, MalformedFileIsInvalid) {
  UseSettings("[~FileSystemAgent]\nthis line has no equals sign\n");
  int value = 0;
  const CYaError error = ReadInterval(&value);
  EXPECT_WIN32(error, 13);
  EXPECT_EQ(value, kPreset);
  EXPECT_NE(error.GetMessage().find("settings.ini"), std::string::npos) << error.AsString();
}

}  // namespace
