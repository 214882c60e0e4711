#include <cstdlib>
#include <fstream>
#include <string>

#include "TestUtil.h"
#include "platform/PlatformInfo.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  ~SettingsTest() override { unsetenv("FSDB_SETTINGS"); }

  void UseSettings(const std::string& contents) {
    std::ofstream(dir_.File("settings.ini")) << contents;
    setenv("FSDB_SETTINGS", dir_.File("settings.ini").c_str(), 1);
  }

  // Reads the setting into a value preset to 600: "<value>", and " missing" (1168) or " invalid" (13).
  static std::string Read(const char* key = "nScanDatabasePerformanceLoggingInterval",
                          const char* section = "~FileSystemAgent") {
    int value = 600;
    const CYaError error = WDPlatformInfo().getRegInt(section, key, &value);
    return std::to_string(value) + (FXErrorUtil::IsWin32(error, 1168) ? " missing" : "") +
           (FXErrorUtil::IsWin32(error, 13) ? " invalid" : "");
  }

  fsdbtest::TempDir dir_;
};

TEST_F(SettingsTest, ReadsIntegersFromTheirSection) {
  UseSettings(
      "[~FileSystemAgent]\n; interval\nnScanDatabasePerformanceLoggingInterval = 42\n"
      "min=-2147483648\nmax=+2147483647\n[a.b]\nc.d=3\n");
  EXPECT_EQ("42", Read());
  EXPECT_EQ("-2147483648", Read("min"));
  EXPECT_EQ("2147483647", Read("max"));
  EXPECT_EQ("3", Read("c.d", "a.b"));  // names with dots are taken literally
}

TEST_F(SettingsTest, MissingSettingsLeaveTheValue) {
  unsetenv("FSDB_SETTINGS");
  EXPECT_EQ("600 missing", Read());
  setenv("FSDB_SETTINGS", dir_.File("absent.ini").c_str(), 1);
  EXPECT_EQ("600 missing", Read());
  UseSettings("[Other]\nnScanDatabasePerformanceLoggingInterval=5\n[~FileSystemAgent]\nnOther=5\n");
  EXPECT_EQ("600 missing", Read());
  UseSettings("[~filesystemagent]\nnScanDatabasePerformanceLoggingInterval=5\n");
  EXPECT_EQ("600 missing", Read());  // no such section: names match exactly
}

TEST_F(SettingsTest, InvalidValuesLeaveTheValue) {
  for (const char* text : {"abc", "", "12abc", "1.5", "0x10", "2147483648", "-2147483649",
                           "99999999999999999999", "1\nthis line has no equals sign"}) {
    UseSettings(std::string("[~FileSystemAgent]\nnScanDatabasePerformanceLoggingInterval=") + text + "\n");
    EXPECT_EQ("600 invalid", Read()) << text;
  }
}

}  // namespace
