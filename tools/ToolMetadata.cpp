#include "ToolMetadata.h"

#include <cstring>

namespace fsdbtool {

namespace {

// The element that FormMetadata() writes the four documented attributes on. Its attribute values are
// numbers, so the first '>' after its name ends its start tag.
constexpr char kElement[] = "<Filesystem";

// The start tag of the element as [begin, end) offsets, end at its '>' or "/>"; false when absent.
bool FindStartTag(const std::string& metadata, size_t& begin, size_t& end) {
  begin = metadata.find(kElement);
  if (begin == std::string::npos)
    return false;
  end = metadata.find('>', begin);
  if (end == std::string::npos)
    return false;
  if (end > begin && metadata[end - 1] == '/')
    --end;
  return true;
}

// The unsigned decimal value of attribute `name` inside [begin, end); false when absent or not a
// number that fits in 32 bits.
bool ReadAttribute(const std::string& metadata, size_t begin, size_t end, const char* name, uint32_t& value) {
  const std::string key = std::string(" ") + name + "=\"";
  const size_t at = metadata.find(key, begin);
  if (at == std::string::npos || at >= end)
    return false;
  uint64_t number = 0;
  size_t i = at + key.size();
  const size_t first = i;
  for (; i < end && metadata[i] >= '0' && metadata[i] <= '9'; ++i) {
    number = number * 10 + static_cast<uint64_t>(metadata[i] - '0');
    if (number > UINT32_MAX)
      return false;
  }
  if (i == first || i >= end || metadata[i] != '"')
    return false;
  value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

std::string AddOwnership(const std::string& metadata, uint32_t uid, uint32_t gid) {
  size_t begin = 0, end = 0;
  if (!FindStartTag(metadata, begin, end))
    return metadata;
  std::string result;
  result.reserve(metadata.size() + 32);
  result.append(metadata, 0, end);
  result += " Uid=\"";
  result += std::to_string(uid);
  result += "\" Gid=\"";
  result += std::to_string(gid);
  result += '"';
  result.append(metadata, end, std::string::npos);
  return result;
}

Ownership ReadOwnership(const std::string& metadata) {
  Ownership ownership;
  size_t begin = 0, end = 0;
  if (!FindStartTag(metadata, begin, end))
    return ownership;
  ownership.known = ReadAttribute(metadata, begin, end, "Uid", ownership.uid) &&
                    ReadAttribute(metadata, begin, end, "Gid", ownership.gid);
  if (!ownership.known)
    ownership = Ownership();
  return ownership;
}

}  // namespace fsdbtool
