#include "ToolMetadata.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace fsdbtool {

namespace {

// The element that FormMetadata() writes the four documented attributes on. Its attribute values are
// numbers or hex digits, so the first '>' after its name ends its start tag.
constexpr char kElement[] = "<Filesystem";

// Where `needle` first occurs in metadata[from, to), or npos. memmem compares many bytes at a time, where
// string_view::find stops at every occurrence of the first character (each space, each '<').
size_t Find(std::string_view metadata, size_t from, size_t to, std::string_view needle) {
  const void* at = memmem(metadata.data() + from, to - from, needle.data(), needle.size());
  return at == nullptr ? std::string_view::npos
                       : static_cast<size_t>(static_cast<const char*>(at) - metadata.data());
}

// The start tag of the element as [begin, end) offsets, end at its '>' or "/>"; false when absent.
bool FindStartTag(std::string_view metadata, size_t& begin, size_t& end) {
  begin = Find(metadata, 0, metadata.size(), kElement);
  if (begin == std::string_view::npos)
    return false;
  end = metadata.find('>', begin);
  if (end == std::string_view::npos)
    return false;
  if (end > begin && metadata[end - 1] == '/')
    --end;
  return true;
}

// Where the value of the attribute `key` names starts inside [begin, end), or npos when it is absent.
// `key` is the attribute's name with a space before and `="` after it, e.g. " Uid=\"".
size_t FindValue(std::string_view metadata, size_t begin, size_t end, std::string_view key) {
  const size_t at = Find(metadata, begin, end, key);
  return at == std::string_view::npos ? std::string_view::npos : at + key.size();
}

// A table rather than two ranges: the loop over a digest's 64 digits then takes one well-predicted
// branch per digit instead of a mispredicted one at every change between digit and letter.
struct LowerHexTable {
  bool is[256] = {};
  constexpr LowerHexTable() {
    for (int c = '0'; c <= '9'; ++c)
      is[c] = true;
    for (int c = 'a'; c <= 'f'; ++c)
      is[c] = true;
  }
};
constexpr LowerHexTable kLowerHex;

bool IsLowerHex(char c) {
  return kLowerHex.is[static_cast<unsigned char>(c)];
}

// The unsigned decimal value of the attribute `key` names inside [begin, end); false when absent or not a
// number that fits in 32 bits.
bool ReadAttribute(std::string_view metadata, size_t begin, size_t end, std::string_view key,
                   uint32_t& value) {
  size_t i = FindValue(metadata, begin, end, key);
  if (i == std::string_view::npos)
    return false;
  uint64_t number = 0;
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

void AddToolAttributes(std::string_view metadata, uint32_t uid, uint32_t gid, std::string_view digest,
                       std::string& result) {
  size_t begin = 0, end = 0;
  if (!FindStartTag(metadata, begin, end)) {
    result.assign(metadata);
    return;
  }
  // Built with appends of known lengths into a buffer the caller may reuse: no allocation once it has
  // grown, no number formatted through a temporary string.
  char number[std::numeric_limits<uint32_t>::digits10 + 1];
  const auto append = [&](uint32_t value) {
    result.append(number,
                  static_cast<size_t>(std::to_chars(number, number + sizeof(number), value).ptr - number));
  };
  result.clear();
  result.reserve(metadata.size() + 40 + digest.size());
  result.append(metadata.substr(0, end));
  result += " Uid=\"";
  append(uid);
  result += "\" Gid=\"";
  append(gid);
  result += '"';
  if (!digest.empty()) {
    result += " Digest=\"";
    result += digest;
    result += '"';
  }
  result.append(metadata.substr(end));
}

std::string AddToolAttributes(const std::string& metadata, uint32_t uid, uint32_t gid,
                              std::string_view digest) {
  std::string result;
  AddToolAttributes(metadata, uid, gid, digest, result);
  return result;
}

Ownership ReadOwnership(const std::string& metadata) {
  Ownership ownership;
  size_t begin = 0, end = 0;
  if (!FindStartTag(metadata, begin, end))
    return ownership;
  ownership.known = ReadAttribute(metadata, begin, end, " Uid=\"", ownership.uid) &&
                    ReadAttribute(metadata, begin, end, " Gid=\"", ownership.gid);
  if (!ownership.known)
    ownership = Ownership();
  return ownership;
}

std::string_view DigestIn(std::string_view metadata) {
  size_t begin = 0, end = 0;
  if (!FindStartTag(metadata, begin, end))
    return {};
  const size_t first = FindValue(metadata, begin, end, " Digest=\"");
  if (first == std::string_view::npos)
    return {};
  size_t i = first;
  while (i < end && IsLowerHex(metadata[i]))
    ++i;
  // Anything but hex digits up to the closing quote is no digest this tool wrote.
  if (i == first || i >= end || metadata[i] != '"')
    return {};
  return metadata.substr(first, i - first);
}

std::string ReadDigest(const std::string& metadata) {
  return std::string(DigestIn(metadata));
}

}  // namespace fsdbtool
