#include "fsdb/Error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "platform/FXString.h"

namespace {

// The high halves that tell the two kinds of codes apart, HRESULT-fashion: severity bit plus a facility.
constexpr uint32_t kWin32Facility = 0x80070000u;
constexpr uint32_t kSQLiteFacility = 0x80FA0000u;
constexpr uint32_t kFacilityMask = 0xFFFF0000u;
constexpr uint32_t kCodeMask = 0x0000FFFFu;

// Locations carry __FILE__, which may be a long absolute path; the file name alone identifies it well
// enough in a one-line error text.
const char* BaseName(const char* file) {
  if (file == nullptr)
    return "?";
  const char* slash = std::strrchr(file, '/');
  return slash ? slash + 1 : file;
}

}  // namespace

// One hop of the error: where it was, and what was said there (possibly nothing).
struct CYaError::Details {
  struct Entry {
    Entry(const FXCodeLocation& location, std::string message)
        : location(location), message(std::move(message)) {}
    FXCodeLocation location;
    std::string message;
  };

  // True when entries.front() is where the error was made (a factory), false when the details were
  // started by a Push on a success value.
  bool hasOrigin = false;
  // Innermost first: the origin, then each Push in the order it happened.
  std::vector<Entry> entries;
};

CYaError::CYaError(int32_t code, const FXCodeLocation& location, std::string message)
    : code_(code), details_(boost::make_shared<Details>()) {
  details_->hasOrigin = true;
  details_->entries.emplace_back(location, std::move(message));
}

CYaError::Details& CYaError::MutableDetails() {
  if (!details_)
    details_ = boost::make_shared<Details>();
  return *details_;
}

std::string CYaError::AsString() const {
  if (code_ == 0 && !details_)
    return "Success";

  const uint32_t raw = static_cast<uint32_t>(code_);
  std::string text;
  if (code_ == 0) {
    text = "Success";
  } else if ((raw & kFacilityMask) == kWin32Facility) {
    text = FXString::Format("Error 0x%08X (Win32 %u)", raw, raw & kCodeMask);
  } else if ((raw & kFacilityMask) == kSQLiteFacility) {
    text = FXString::Format("Error 0x%08X (SQLite %u)", raw, raw & kCodeMask);
  } else {
    text = FXString::Format("Error 0x%08X", raw);
  }
  if (!details_)
    return text;

  const char* separator = ": ";
  for (const Details::Entry& entry : details_->entries) {
    text += separator;
    separator = " <- ";
    if (!entry.message.empty()) {
      text += entry.message;
      text += ' ';
    }
    text += FXString::Format("[%s:%d %s]", BaseName(entry.location.file), entry.location.line,
                             entry.location.function ? entry.location.function : "?");
  }
  return text;
}

std::string CYaError::GetMessage() const {
  if (!details_ || !details_->hasOrigin)
    return std::string();
  return details_->entries.front().message;
}

size_t CYaError::GetLocationCount() const {
  return details_ ? details_->entries.size() : 0;
}

CYaError& CYaError::Push(const FXCodeLocation& location) {
  MutableDetails().entries.emplace_back(location, std::string());
  return *this;
}

CYaError& CYaError::Push(const FXCodeLocation& location, const char* format, ...) {
  FX_FORMAT_VARIADIC(message, format);
  MutableDetails().entries.emplace_back(location, std::move(message));
  return *this;
}

CYaError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned code) {
  return CYaError(Win32Code(code), location, std::string());
}

CYaError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned code, const char* format, ...) {
  FX_FORMAT_VARIADIC(message, format);
  return CYaError(Win32Code(code), location, std::move(message));
}

CYaError FXErrorUtil::ErrorSQLite(const FXCodeLocation& location, int sqliteCode, const char* format, ...) {
  FX_FORMAT_VARIADIC(message, format);
  return CYaError(SQLiteCode(sqliteCode), location, std::move(message));
}

bool FXErrorUtil::IsWin32(const CYaError& error, unsigned code) {
  return error.GetCode() == Win32Code(code);
}

bool FXErrorUtil::IsSQLite(const CYaError& error, int* sqliteCode) {
  const uint32_t raw = static_cast<uint32_t>(error.GetCode());
  if ((raw & kFacilityMask) != kSQLiteFacility)
    return false;
  if (sqliteCode != nullptr)
    *sqliteCode = static_cast<int>(raw & kCodeMask);
  return true;
}

// Both encodings keep only the low 16 bits of the code, as HRESULT_FROM_WIN32 does, so that a code can
// never spill into the facility and be mistaken for the other kind. Win32 and SQLite codes (extended
// SQLite codes included) all fit.
int32_t FXErrorUtil::Win32Code(unsigned code) {
  return static_cast<int32_t>(kWin32Facility | (static_cast<uint32_t>(code) & kCodeMask));
}

int32_t FXErrorUtil::SQLiteCode(int sqliteCode) {
  return static_cast<int32_t>(kSQLiteFacility | (static_cast<uint32_t>(sqliteCode) & kCodeMask));
}
