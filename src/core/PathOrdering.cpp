#include "core/PathOrdering.h"

#include <algorithm>

#include "platform/ErrorCodes.h"
#include "platform/FXPath.h"

namespace {

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// One comparison loop for both collations; `Fold` is applied to every byte before it is compared.
// The separator test comes before the count test so that it applies at the last compared position too.
template <unsigned char (*Fold)(unsigned char)>
inline int ComparePaths(const char* a, const char* b, int n) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (int i = 0; i < n; ++i) {
    const unsigned char cx = Fold(x[i]);
    const unsigned char cy = Fold(y[i]);
    const bool sx = cx == '/';
    const bool sy = cy == '/';
    if (sx != sy)
      return sx ? -1 : 1;
    if (i + 1 == n || cx == 0 || cx != cy)
      return static_cast<int>(cx) - static_cast<int>(cy);
  }
  return 0;
}

inline unsigned char Identity(unsigned char c) {
  return c;
}

}  // namespace

int path_strcmp(const char* a, const char* b, int n) {
  return ComparePaths<Identity>(a, b, n);
}

int path_stricmp(const char* a, const char* b, int n) {
  return ComparePaths<FoldAscii>(a, b, n);
}

int sqlite_collation_bypath(void* /*context*/, int lengthA, const void* a, int lengthB, const void* b) {
  const int result =
      path_strcmp(static_cast<const char*>(a), static_cast<const char*>(b), std::min(lengthA, lengthB));
  return result != 0 ? result : lengthA - lengthB;
}

int sqlite_collation_bypath_nocase(void* /*context*/, int lengthA, const void* a, int lengthB,
                                   const void* b) {
  const int result =
      path_stricmp(static_cast<const char*>(a), static_cast<const char*>(b), std::min(lengthA, lengthB));
  return result != 0 ? result : lengthA - lengthB;
}

namespace FSDB {

int ComparePaths(const std::string& a, const std::string& b, bool caseSensitive) {
  const int lengthA = static_cast<int>(a.size());
  const int lengthB = static_cast<int>(b.size());
  return caseSensitive ? sqlite_collation_bypath(nullptr, lengthA, a.data(), lengthB, b.data())
                       : sqlite_collation_bypath_nocase(nullptr, lengthA, a.data(), lengthB, b.data());
}

CYaError NormalizePath(const std::string& path, std::string& normalized) {
  // The collation and SQLite's text functions stop at a NUL: "/d/n\0a" and "/d/n\0b" would be one row,
  // read back as "/d/n".
  if (path.find('\0') != std::string::npos) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "Invalid path [%s]: a path must not contain a NUL byte", path.c_str());
  }
  if (path.empty()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "Invalid path [%s]: a path must not be empty", path.c_str());
  }
  if (path[0] != '/') {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "Invalid path [%s]: a path must be absolute (start with /)", path.c_str());
  }
  // The common case, no repeated separator and no component that starts with a dot, costs one scan
  // and one copy (into the caller's buffer). The scan looks at each separator's neighbour directly:
  // find("//") restarts a memchr and a memcmp at every separator, and paths are full of them.
  bool repeated = false;
  bool dotted = false;
  const char* const text = path.data();
  for (size_t i = 0, last = path.size() - 1; i < last; ++i) {
    if (text[i] == '/') {
      repeated |= text[i + 1] == '/';
      dotted |= text[i + 1] == '.';
    }
  }
  if (!repeated) {
    normalized = path;
  } else {
    normalized.clear();
    normalized.reserve(path.size());
    for (char c : path) {
      if (c == '/' && !normalized.empty() && normalized.back() == '/')
        continue;
      normalized.push_back(c);
    }
  }
  // "." and ".." name no folder of their own: recorded as names they would make a second spelling of
  // another folder (or of one outside the scan). No scan reports them. Folding a run of separators
  // never makes a dot follow one that did not before.
  for (size_t dot = dotted ? normalized.find("/.") : std::string::npos; dot != std::string::npos;
       dot = normalized.find("/.", dot + 1)) {
    size_t end = dot + 2;
    if (end < normalized.size() && normalized[end] == '.')
      ++end;
    if (end == normalized.size() || normalized[end] == '/') {
      return FXErrorUtil::ErrorWin32(
          FX_LOCATION, 87, "Invalid path [%.200s]: \".\" and \"..\" are not names of folders or files",
          normalized.c_str());
    }
  }
  // A folder's trailing separator does not count: "/a/" names the same folder as "/a".
  const size_t length = normalized.size() - (normalized.size() > 1 && normalized.back() == '/' ? 1 : 0);
  if (length > kMaxPathLength) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "Invalid path [%.200s...]: %zu bytes, more than %zu", normalized.c_str(),
                                   length, kMaxPathLength);
  }
  return CYaError::Success();
}

}  // namespace FSDB
