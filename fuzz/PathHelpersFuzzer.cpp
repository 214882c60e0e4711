// The path helpers against their documented behaviour, stated here on component lists: splitting a path
// into its parent folder and last component, joining, the trailing separator helpers, the ancestor test,
// and the check and normalisation that every recorded path goes through.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/PathOrdering.h"
#include "platform/FXPath.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& input, const std::string& detail) {
  std::fprintf(stderr, "%s\n  input (%zu bytes): [%s]\n  %s\n", what, input.size(), input.c_str(),
               detail.c_str());
  std::abort();
}

// The non-empty components of a path, in order.
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> components;
  std::string current;
  for (char c : path) {
    if (c == '/') {
      if (!current.empty())
        components.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty())
    components.push_back(current);
  return components;
}

bool IsAbsolute(const std::string& path) {
  return !path.empty() && path[0] == '/';
}

std::string FoldAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// `ancestor` lies above `path`: both absolute ("" counts as the root) or both relative, and the
// ancestor's components are a strict prefix of the path's.
bool ReferenceIsAncestor(const std::string& ancestor, const std::string& path, bool ignoreCase) {
  if ((ancestor.empty() || IsAbsolute(ancestor)) != IsAbsolute(path))
    return false;
  std::vector<std::string> above = Components(ignoreCase ? FoldAscii(ancestor) : ancestor);
  std::vector<std::string> below = Components(ignoreCase ? FoldAscii(path) : path);
  if (above.size() >= below.size())
    return false;
  below.resize(above.size());
  return above == below;
}

// The path with each run of separators folded into one.
std::string FoldRuns(const std::string& path) {
  std::string folded;
  for (char c : path)
    if (!(c == '/' && !folded.empty() && folded.back() == '/'))
      folded.push_back(c);
  return folded;
}

void CheckSplit(const std::string& path) {
  std::string parent = "stale", name = "stale";
  const CYaError error = FXPath::SplitParentPath(path, parent, name);
  if (path.empty()) {
    if (!FXErrorUtil::IsWin32(error, 87) || !parent.empty() || !name.empty())
      Fail("an empty path must fail with 87 and empty outputs", path, error.AsString());
    return;
  }
  if (error.IsError())
    Fail("SplitParentPath failed", path, error.AsString());
  const std::vector<std::string> components = Components(path);
  if (components.empty()) {
    if (!parent.empty() || !name.empty())
      Fail("a path of separators has no parent and no name", path, parent + " | " + name);
    return;
  }
  if (name != components.back())
    Fail("the name is not the last component", path, name);
  // The parent: the components before the name, separator-terminated, absolute when the path is.
  std::string expected = IsAbsolute(path) ? "/" : "";
  for (size_t i = 0; i + 1 < components.size(); ++i)
    expected += components[i] + "/";
  if (parent != expected)
    Fail("wrong parent", path, "got [" + parent + "] expected [" + expected + "]");
  if (parent.size() >= path.size())
    Fail("the parent is not shorter than the path", path, parent);
  if (!parent.empty() && !ReferenceIsAncestor(parent, path, false))
    Fail("the parent is not an ancestor", path, parent);
  // Joining them back gives the path without repeated or trailing separators.
  std::string joined = parent;
  (void)FXPath::Append(joined, name, 0);  // cannot fail
  std::string folded = FoldRuns(path);
  if (folded.size() > 1 && folded.back() == '/')
    folded.pop_back();
  if (joined != folded)
    Fail("parent + name is not the path", path, joined);
}

// A walk up the tree ends, one component per step.
void CheckWalkUp(const std::string& path) {
  std::string current = path;
  size_t steps = 0;
  while (!current.empty() && current != "/") {
    std::string parent, name;
    if (FXPath::SplitParentPath(current, parent, name).IsError())
      Fail("SplitParentPath failed on the walk up", path, current);
    if (parent.size() >= current.size() || ++steps > path.size())
      Fail("the walk up does not end", path, current);
    if (name.empty())
      break;  // a path of separators only
    current = parent;
  }
}

void CheckAppend(const std::string& path, const std::string& component) {
  std::string joined = path;
  if (FXPath::Append(joined, component, 0).IsError())
    Fail("Append failed", path, component);
  std::string expected;
  if (path.empty()) {
    expected = component;
  } else {
    expected = path.substr(0, path.find_last_not_of('/') + 1);  // npos + 1 == 0: a path of separators
    const size_t begin = component.find_first_not_of('/');
    expected += "/" + (begin == std::string::npos ? std::string() : component.substr(begin));
  }
  if (joined != expected)
    Fail("Append", path + " + " + component, "got [" + joined + "] expected [" + expected + "]");

  std::string terminated = path;
  (void)FXPath::AppendTrailingDelimiter(terminated);  // cannot fail
  if (terminated.empty() || terminated.back() != '/' || Components(terminated) != Components(path))
    Fail("AppendTrailingDelimiter", path, terminated);
  std::string trimmed = path;
  (void)FXPath::RemoveTrailingDelimiter(trimmed);  // cannot fail
  if ((!trimmed.empty() && trimmed.back() == '/') || path.compare(0, trimmed.size(), trimmed) != 0 ||
      path.find_first_not_of('/', trimmed.size()) != std::string::npos)
    Fail("RemoveTrailingDelimiter", path, trimmed);
}

void CheckAncestry(const std::string& a, const std::string& b) {
  for (bool ignoreCase : {false, true}) {
    const bool above = FXPath::IsAncestorOf(a, b, ignoreCase);
    if (above != ReferenceIsAncestor(a, b, ignoreCase))
      Fail(ignoreCase ? "IsAncestorOf (ignoring case)" : "IsAncestorOf", a + " above " + b,
           above ? "yes" : "no");
    if (FXPath::IsDescendantOf(b, a, ignoreCase) != above)
      Fail("IsDescendantOf is not IsAncestorOf reversed", a + " above " + b, "");
    if (above && FXPath::IsAncestorOf(b, a, ignoreCase))
      Fail("two paths above each other", a + " and " + b, "");
  }
  if (FXPath::IsAncestorOf(a, a, false))
    Fail("a path above itself", a, "");
}

// Whether a path can be recorded: absolute, no NUL, no "." or ".." component, and at most the length
// limit once runs of separators are folded (a folder's trailing separator not counted).
bool ReferenceRecordable(const std::string& path) {
  if (!IsAbsolute(path) || path.find('\0') != std::string::npos)
    return false;
  for (const std::string& component : Components(path))
    if (component == "." || component == "..")
      return false;
  const std::string folded = FoldRuns(path);
  return folded.size() - (folded.size() > 1 && folded.back() == '/' ? 1 : 0) <= FSDB::kMaxPathLength;
}

void CheckNormalize(const std::string& path) {
  std::string normalized = "stale";
  const CYaError error = FSDB::NormalizePath(path, normalized);
  if (ReferenceRecordable(path)) {
    if (error.IsError() || normalized != FoldRuns(path))
      Fail("NormalizePath of a recordable path", path, normalized + " " + error.AsString());
  } else if (!FXErrorUtil::IsWin32(error, 87)) {
    Fail("NormalizePath must refuse with 87", path, error.AsString());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string a = input.ConsumeRandomLengthString(1024);
  const std::string b = input.ConsumeRandomLengthString(1024);
  for (const std::string& path : {a, b, "/" + a, a + "/" + b}) {
    CheckSplit(path);
    CheckWalkUp(path);
    CheckNormalize(path);
  }
  // Around the length limit.
  CheckNormalize("/" + a + "/" + std::string(input.ConsumeIntegralInRange<size_t>(4000, 4200), 'p'));
  CheckAppend(a, b);
  CheckAncestry(a, b);
  CheckAncestry(a, a + "/" + b);
  CheckAncestry("/" + a, "/" + a + "/" + b);
  return 0;
}
