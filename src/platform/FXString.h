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

// Declares `std::string text`, formatted from `format` and the arguments that follow it in the variadic
// function where this stands. A macro, because va_start and va_end must stand in that function itself.
#define FX_FORMAT_VARIADIC(text, format)              \
  std::string text;                                   \
  {                                                   \
    va_list fx_format_args;                           \
    va_start(fx_format_args, format);                 \
    text = FXString::FormatV(format, fx_format_args); \
    va_end(fx_format_args);                           \
  }

#endif  // FSDB_PLATFORM_FXSTRING_H_
