// String helpers shared by the library.

#ifndef FSDB_PLATFORM_FXSTRING_H_
#define FSDB_PLATFORM_FXSTRING_H_

#include <cstdarg>
#include <string>

#include "fsdb/Error.h"

class FXString {
 public:
  // printf rules; any length.
  static std::string Format(const char* format, ...) FSDB_PRINTF(1, 2);
  static std::string FormatV(const char* format, va_list args);
  // Removes every trailing occurrence of `suffix` from `text` (nothing for an empty suffix).
  static void RemoveRight(std::string& text, const std::string& suffix);
  // ASCII case-insensitive equality.
  static bool MatchesNoCase(const std::string& a, const std::string& b);
  // Plain byte order, as strcmp.
  static int CompareFSCase(const std::string& a, const std::string& b);
};

#endif  // FSDB_PLATFORM_FXSTRING_H_
