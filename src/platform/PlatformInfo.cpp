#include "platform/PlatformInfo.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "platform/ErrorCodes.h"

namespace {

constexpr unsigned kMissing = FX::kErrorNotFound;
constexpr unsigned kInvalid = FX::kErrorInvalidData;

// Parses a whole decimal int, sign allowed, surrounding blanks tolerated.
bool ParseInt(const std::string& text, int* value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX)
    return false;
  while (*end == ' ' || *end == '\t' || *end == '\r')
    ++end;
  if (*end != '\0')
    return false;
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

CYaError WDPlatformInfo::getRegInt(const char* section, const char* key, int* value) {
  if (section == nullptr || key == nullptr || value == nullptr) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kInvalid, "Setting lookup without section, key or result");
  }
  const char* fileName = std::getenv("FSDB_SETTINGS");
  if (fileName == nullptr || *fileName == '\0') {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kMissing, "No settings file: FSDB_SETTINGS is not set");
  }
  std::ifstream stream(fileName);
  if (!stream) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kMissing, "Cannot open settings file [%s]", fileName);
  }

  boost::property_tree::ptree tree;
  try {
    boost::property_tree::ini_parser::read_ini(stream, tree);
  } catch (const boost::property_tree::ini_parser_error& e) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kInvalid, "Settings file [%s] is not valid: %s", fileName,
                                   e.message().c_str());
  }

  // find() takes the name as it is; a path lookup would split names at '.'.
  const auto sectionIt = tree.find(section);
  if (sectionIt == tree.not_found()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kMissing, "Settings section [%s] not found in [%s]", section,
                                   fileName);
  }
  const boost::property_tree::ptree& entries = sectionIt->second;
  const auto keyIt = entries.find(key);
  if (keyIt == entries.not_found()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kMissing, "Setting [%s] [%s] not found in [%s]", section, key,
                                   fileName);
  }
  const std::string& text = keyIt->second.data();
  if (!ParseInt(text, value)) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kInvalid,
                                   "Setting [%s] [%s] value [%s] is not an integer in range", section, key,
                                   text.c_str());
  }
  return CYaError::Success();
}
