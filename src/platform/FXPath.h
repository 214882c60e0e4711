// Path helpers. Paths are narrow strings with '/' as the separator; a folder's stored form ends with
// the separator (/a/b/), the root is "/". Repeated separators count as one.

#ifndef FSDB_PLATFORM_FXPATH_H_
#define FSDB_PLATFORM_FXPATH_H_

#include <string>

#include "fsdb/Error.h"

class FXPath {
 public:
  // Splits `path` into its parent folder, in separator-terminated form, and its last component. One
  // trailing separator of the input is ignored and repeated separators count as one:
  //   /a/b/f -> /a/b/ + f      /a/b/ -> /a/ + b      /a -> / + a
  //   / -> "" + ""             a (relative) -> "" + a     a/b -> a/ + b      //a//b// -> /a/ + b
  // The parent is always strictly shorter than `path`, so a walk up the tree ends (at "/" or "").
  // Fails with 87 for an empty path (both outputs then empty).
  static CYaError SplitParentPath(const std::string& path, std::string& parent, std::string& name);

  // Joins `path` and `component` with exactly one separator between them (flags are unused, pass 0).
  // Appending "/" to a path that already ends with the separator leaves it unchanged; appending to an
  // empty path gives the component.
  static CYaError Append(std::string& path, const std::string& component, unsigned flags);

  // Whether `path` lies strictly beneath `ancestor`, on component boundaries: /a is an ancestor of
  // /a/b and /a/b/, not of /ab nor of /a or /a/. "" and "/" are ancestors of every other absolute path.
  // With `ignoreCase`, ASCII letters compare regardless of case.
  static bool IsAncestorOf(const std::string& ancestor, const std::string& path, bool ignoreCase);

  // Append(path, "/", 0): the path ends with the separator afterwards.
  static CYaError AppendTrailingDelimiter(std::string& path);
  // Removes trailing separators ("/" becomes "").
  static CYaError RemoveTrailingDelimiter(std::string& path);
  // IsAncestorOf(ancestor, path, ignoreCase).
  static bool IsDescendantOf(const std::string& path, const std::string& ancestor, bool ignoreCase);
};

#endif  // FSDB_PLATFORM_FXPATH_H_
