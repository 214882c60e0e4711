#include "platform/FXPath.h"

#include "platform/ErrorCodes.h"
#include "platform/FXString.h"

namespace {

constexpr char kSeparator = '/';

// Walks the components of a path, skipping any run of separators, without allocating.
class ComponentCursor {
 public:
  explicit ComponentCursor(const std::string& path) : path_(path), position_(0) {}

  // Moves to the next component; false when there is none left.
  bool Next() {
    while (position_ < path_.size() && path_[position_] == kSeparator)
      ++position_;
    if (position_ == path_.size())
      return false;
    begin_ = position_;
    while (position_ < path_.size() && path_[position_] != kSeparator)
      ++position_;
    return true;
  }
  size_t begin() const { return begin_; }
  size_t size() const { return position_ - begin_; }

 private:
  const std::string& path_;
  size_t position_;
  size_t begin_ = 0;
};

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool SameComponent(const std::string& a, const ComponentCursor& ca, const std::string& b,
                   const ComponentCursor& cb, bool ignoreCase) {
  if (ca.size() != cb.size())
    return false;
  for (size_t i = 0; i < ca.size(); ++i) {
    char x = a[ca.begin() + i];
    char y = b[cb.begin() + i];
    if (ignoreCase) {
      x = FoldAscii(x);
      y = FoldAscii(y);
    }
    if (x != y)
      return false;
  }
  return true;
}

}  // namespace

CYaError FXPath::SplitParentPath(const std::string& path, std::string& parent, std::string& name) {
  parent.clear();
  name.clear();
  if (path.empty())
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter, "Cannot split an empty path");

  // Trailing separators name the same folder as the path without them.
  size_t end = path.size();
  while (end > 0 && path[end - 1] == kSeparator)
    --end;
  if (end == 0)
    return CYaError::Success();  // "/" (or "//"): the root has no parent and no name.

  size_t nameBegin = end;
  while (nameBegin > 0 && path[nameBegin - 1] != kSeparator)
    --nameBegin;
  name.assign(path, nameBegin, end - nameBegin);

  // The parent is everything before the name, with each run of separators folded into one. It is never
  // longer than that prefix, and the name is not empty, so the parent is strictly shorter than the path
  // and a walk up the tree always ends.
  parent.reserve(nameBegin);
  for (size_t i = 0; i < nameBegin; ++i) {
    if (path[i] == kSeparator && !parent.empty() && parent.back() == kSeparator)
      continue;
    parent.push_back(path[i]);
  }
  return CYaError::Success();
}

CYaError FXPath::Append(std::string& path, const std::string& component, unsigned /*flags*/) {
  if (path.empty()) {
    path = component;
    return CYaError::Success();
  }
  // Drop the separators on both sides of the joint and put exactly one back.
  size_t end = path.size();
  while (end > 0 && path[end - 1] == kSeparator)
    --end;
  size_t begin = 0;
  while (begin < component.size() && component[begin] == kSeparator)
    ++begin;
  path.erase(end);
  path.push_back(kSeparator);
  path.append(component, begin, std::string::npos);
  return CYaError::Success();
}

bool FXPath::IsAncestorOf(const std::string& ancestor, const std::string& path, bool ignoreCase) {
  // "" stands for the root as well as "/", so both are absolute here.
  const bool ancestorAbsolute = ancestor.empty() || ancestor[0] == kSeparator;
  const bool pathAbsolute = !path.empty() && path[0] == kSeparator;
  if (ancestorAbsolute != pathAbsolute)
    return false;

  ComponentCursor a(ancestor);
  ComponentCursor p(path);
  while (a.Next()) {
    if (!p.Next())
      return false;  // The path ends first: it is the ancestor itself or above it.
    if (!SameComponent(ancestor, a, path, p, ignoreCase))
      return false;
  }
  // Strictly beneath: at least one component must remain.
  return p.Next();
}

CYaError FXPath::AppendTrailingDelimiter(std::string& path) {
  return Append(path, "/", 0);
}

CYaError FXPath::RemoveTrailingDelimiter(std::string& path) {
  FXString::RemoveRight(path, "/");
  return CYaError::Success();
}

bool FXPath::IsDescendantOf(const std::string& path, const std::string& ancestor, bool ignoreCase) {
  return IsAncestorOf(ancestor, path, ignoreCase);
}
