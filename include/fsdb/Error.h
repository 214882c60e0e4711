// The result type of every fsdb operation.
//
// A CYaError is a signed 32-bit code plus shared details (the messages and the stack of source
// locations the error travelled through). The code is negative exactly when the value is an error;
// success is code 0 and carries no details, so returning it costs no allocation.
//
// Two kinds of error codes share the negative range:
//   - Win32-style codes, encoded HRESULT-fashion as 0x80070000 | code (1168 "not found" becomes
//     0x80070490), made by FXErrorUtil::ErrorWin32 and recognised by FXErrorUtil::IsWin32;
//   - SQLite result codes, encoded as 0x80FA0000 | code, made by FXErrorUtil::ErrorSQLite.
//
// Copies share their details: a location pushed through one copy is seen by all of them.
// A CYaError is not thread-safe; hand each thread its own error.

#ifndef FSDB_ERROR_H_
#define FSDB_ERROR_H_

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#define FSDB_EXPORT __attribute__((visibility("default")))
#define FSDB_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// A point in the source: file, function signature and line. It owns nothing: the strings are
// expected to be literals (see FX_LOCATION).
struct FSDB_EXPORT FXCodeLocation {
  FXCodeLocation(const char* file, const char* function, int line)
      : file(file), function(function), line(line) {}
  const char* file;
  const char* function;
  int line;
};

// The location of the code that uses it.
#define FX_LOCATION FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)

// The export attribute sits inside the standard attribute list: GCC rejects a GNU attribute after one.
class [[nodiscard, gnu::visibility("default")]] CYaError {
 public:
  // Success.
  CYaError() : code_(0) {}

  static CYaError Success() {
    return CYaError();
  }

  // True exactly when the code is negative.
  bool IsError() const {
    return code_ < 0;
  }
  int32_t GetCode() const {
    return code_;
  }

  // One line: the code in hex, its kind with the original number, every message and every location,
  // innermost (where the error was made) first. "Success" for code 0 without details.
  std::string AsString() const;

  // The message given when the error was made (empty when none was given).
  std::string GetMessage() const;

  // Number of locations recorded: the one the error was made at, plus each Push.
  size_t GetLocationCount() const;

  // Add a location, or a location with a printf-formatted message, to this error (and to every copy
  // sharing its details). Returns *this so that callers can write `return error.Push(FX_LOCATION);`.
  CYaError& Push(const FXCodeLocation& location);
  CYaError& Push(const FXCodeLocation& location, const char* format, ...) FSDB_PRINTF(3, 4);

 private:
  friend class FXErrorUtil;
  struct Details;

  CYaError(int32_t code, const FXCodeLocation& location, std::string message);
  Details& MutableDetails();

  int32_t code_;
  boost::shared_ptr<Details> details_;
};

// Where errors are born. Every error of the library is made here, so one breakpoint catches them all.
class FSDB_EXPORT FXErrorUtil {
 public:
  static CYaError ErrorWin32(const FXCodeLocation& location, unsigned code);
  static CYaError ErrorWin32(const FXCodeLocation& location, unsigned code, const char* format, ...)
      FSDB_PRINTF(3, 4);
  static CYaError ErrorSQLite(const FXCodeLocation& location, int sqliteCode, const char* format, ...)
      FSDB_PRINTF(3, 4);

  // Whether the error carries the Win32-style code `code`.
  static bool IsWin32(const CYaError& error, unsigned code);
  // Whether the error carries an SQLite result code; if so, and `sqliteCode` is not null, stores it.
  static bool IsSQLite(const CYaError& error, int* sqliteCode = nullptr);

  // The encodings, for callers that compare codes directly.
  static int32_t Win32Code(unsigned code);
  static int32_t SQLiteCode(int sqliteCode);
};

#endif  // FSDB_ERROR_H_
