#include "DigestIndex.h"

#include <cstring>

namespace fsdbtool {

namespace {

constexpr size_t kIdentityBytes = 32;

// Fixed little-endian, so that a database moved to another machine reads back the same.
void PutLittleEndian(uint64_t value, unsigned char* out) {
  for (int i = 0; i < 8; ++i)
    out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLittleEndian(const unsigned char* in) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t value;
  std::memcpy(&value, in, sizeof(value));  // one load where the host's order is the stored one
  return value;
#else
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = (value << 8) | in[i];
  return value;
#endif
}

// The value of each lower-case hex digit; -1 for every other byte. A table: the branches of a
// comparison mispredict at almost every digit of a digest.
struct HexValues {
  signed char value[256];
  constexpr HexValues() : value() {
    for (int c = 0; c < 256; ++c)
      value[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                                        : static_cast<signed char>(-1);
  }
};
constexpr HexValues kHexValues;

int HexValue(char c) {
  return kHexValues.value[static_cast<unsigned char>(c)];
}

bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.inode == b.inode && a.size == b.size && a.modificationNs == b.modificationNs &&
         a.changeNs == b.changeNs;
}

}  // namespace

size_t DigestBytes(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kSha256:
      return 32;
    case DigestAlgorithm::kXxh128:
      return 16;
    case DigestAlgorithm::kNone:
      break;
  }
  return 0;
}

void DigestIndexWriter::Add(const FileIdentity& file, std::string_view hexDigest) {
  if (digestSize_ == 0 || hexDigest.size() != 2 * digestSize_)
    return;
  unsigned char record[kIdentityBytes + 32];
  PutLittleEndian(file.inode, record);
  PutLittleEndian(static_cast<uint64_t>(file.size), record + 8);
  PutLittleEndian(static_cast<uint64_t>(file.modificationNs), record + 16);
  PutLittleEndian(static_cast<uint64_t>(file.changeNs), record + 24);
  for (size_t i = 0; i < digestSize_; ++i) {
    const int high = HexValue(hexDigest[2 * i]), low = HexValue(hexDigest[2 * i + 1]);
    if (high < 0 || low < 0)
      return;
    record[kIdentityBytes + i] = static_cast<unsigned char>(high << 4 | low);
  }
  const size_t recordSize = kIdentityBytes + digestSize_;
  if (chunks_.empty() || chunks_.back().size() == kChunkRecords * recordSize) {
    chunks_.emplace_back();
    chunks_.back().reserve(kChunkRecords * recordSize);
  }
  chunks_.back().append(reinterpret_cast<const char*>(record), recordSize);
  ++records_;
}

bool DigestIndex::AddChunk(const unsigned char* data, size_t size) {
  const size_t recordSize = kIdentityBytes + digestSize_;
  if (digestSize_ == 0 || size % recordSize != 0 || entries_.size() + size / recordSize >= kEmpty)
    return false;
  for (const unsigned char* record = data; record < data + size; record += recordSize) {
    Entry& entry = entries_.emplace_back();
    entry.file.inode = GetLittleEndian(record);
    entry.file.size = static_cast<int64_t>(GetLittleEndian(record + 8));
    entry.file.modificationNs = static_cast<int64_t>(GetLittleEndian(record + 16));
    entry.file.changeNs = static_cast<int64_t>(GetLittleEndian(record + 24));
    std::memcpy(entry.digest.data(), record + kIdentityBytes, digestSize_);
  }
  return true;
}

size_t DigestIndex::Slot(uint64_t inode) const {
  // Inodes are often consecutive numbers: a multiplicative hash spreads them over the table.
  return static_cast<size_t>((inode * 0x9E3779B97F4A7C15ull) >> 32) & (slots_.size() - 1);
}

void DigestIndex::Seal() {
  size_t capacity = 16;
  while (capacity < 2 * entries_.size())
    capacity *= 2;
  slots_.assign(capacity, kEmpty);
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t slot = Slot(entries_[i].file.inode);
    while (slots_[slot] != kEmpty)
      slot = (slot + 1) & (slots_.size() - 1);
    slots_[slot] = static_cast<uint32_t>(i);
  }
}

bool DigestIndex::Find(const FileIdentity& file, std::string& hex) const {
  if (slots_.empty())
    return false;
  // Hard links give one inode several equal records: any of them will do.
  for (size_t slot = Slot(file.inode); slots_[slot] != kEmpty; slot = (slot + 1) & (slots_.size() - 1)) {
    const Entry& entry = entries_[slots_[slot]];
    if (entry.file == file) {
      hex.resize(2 * digestSize_);
      WriteLowerHex(entry.digest.data(), digestSize_, hex.data());
      return true;
    }
  }
  return false;
}

}  // namespace fsdbtool
