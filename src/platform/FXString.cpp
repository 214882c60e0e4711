#include "platform/FXString.h"

#include <cstdio>
#include <cstring>

std::string FXString::Format(const char* format, ...) {
  FX_FORMAT_VARIADIC(text, format);
  return text;
}

std::string FXString::FormatV(const char* format, va_list args) {
  if (format == nullptr)
    return std::string();

  // Most texts are short: one pass into a stack buffer, and a second, exactly sized pass only when the
  // text did not fit.
  char buffer[512];
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(buffer, sizeof(buffer), format, copy);
  va_end(copy);
  if (size < 0)
    return std::string();
  if (static_cast<size_t>(size) < sizeof(buffer))
    return std::string(buffer, static_cast<size_t>(size));

  std::string text(static_cast<size_t>(size), '\0');
  va_copy(copy, args);
  std::vsnprintf(&text[0], text.size() + 1, format, copy);
  va_end(copy);
  return text;
}

void FXString::RemoveRight(std::string& text, const std::string& suffix) {
  if (suffix.empty())
    return;
  size_t end = text.size();
  while (end >= suffix.size() && text.compare(end - suffix.size(), suffix.size(), suffix) == 0) {
    end -= suffix.size();
  }
  text.erase(end);
}

bool FXString::MatchesNoCase(const std::string& a, const std::string& b) {
  // Compared by hand rather than with strcasecmp: the process's locale must not change which bytes
  // fold, and the lengths must match even if a string holds a NUL.
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z')
      x = static_cast<unsigned char>(x + ('a' - 'A'));
    if (y >= 'A' && y <= 'Z')
      y = static_cast<unsigned char>(y + ('a' - 'A'));
    if (x != y)
      return false;
  }
  return true;
}

int FXString::CompareFSCase(const std::string& a, const std::string& b) {
  return std::strcmp(a.c_str(), b.c_str());
}
