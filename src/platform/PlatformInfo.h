// The settings reader: integer settings from an INI file named by the environment variable
// FSDB_SETTINGS, in sections such as [~FileSystemAgent].

#ifndef FSDB_PLATFORM_PLATFORMINFO_H_
#define FSDB_PLATFORM_PLATFORMINFO_H_

#include "fsdb/Error.h"

class WDPlatformInfo {
 public:
  WDPlatformInfo() = default;
  // Reads section/key as an int into *value. A missing variable, file, section or key, or a value that
  // is not an integer in range, leaves *value unchanged and fails with 1168 (missing) or 13 (invalid).
  CYaError getRegInt(const char* section, const char* key, int* value);
};

#endif  // FSDB_PLATFORM_PLATFORMINFO_H_
