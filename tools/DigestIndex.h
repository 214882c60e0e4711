// The digests of one scan by file identity, stored beside the scan so that a later scan can take over
// the digest of every file that did not change instead of reading it again.
//
// A file is known by its inode, size, modification and change time: not by its path. A file moved or
// linked elsewhere gets a new change time from the kernel, so the identity changes with it; and a file
// whose four values are all unchanged holds what it held, wherever it is now (see docs/digests.md for
// who can forge a change time). Keying by identity also makes the lookup a search in one sorted array
// held in memory: a file costs a scan a few hundred nanoseconds, where asking the earlier scan for each
// folder's files cost it as much as the walk itself.
//
// Stored in the tool table FsdbDigests(Chunk INTEGER PRIMARY KEY, Records BLOB NOT NULL). Each blob holds
// up to kChunkRecords records of 32 + N bytes, N being the digest's size (32 for sha256, 16 for xxh128):
// the inode, the size, the modification and the change time in nanoseconds as 64-bit little-endian
// integers, then the digest's bytes. A file recorded without a digest has no record.

#ifndef FSDB_TOOLS_DIGESTINDEX_H_
#define FSDB_TOOLS_DIGESTINDEX_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Digest.h"

namespace fsdbtool {

// What a scan records of a file that only changes when the file does.
struct FileIdentity {
  uint64_t inode = 0;
  int64_t size = 0, modificationNs = 0, changeNs = 0;
};

// The digest's size in bytes: 32, 16, or 0 for kNone.
size_t DigestBytes(DigestAlgorithm algorithm);

// Collects the records of one scan, in blobs ready to store. Not thread-safe.
class DigestIndexWriter {
 public:
  static constexpr size_t kChunkRecords = 16384;  // 1 MiB blobs for sha256

  explicit DigestIndexWriter(DigestAlgorithm algorithm) : digestSize_(DigestBytes(algorithm)) {}

  // Adds `file` with its digest, lower-case hex of the algorithm's length; anything else adds nothing.
  void Add(const FileIdentity& file, std::string_view hexDigest);
  // The blobs, in the order they are to be stored; the writer is empty afterwards.
  std::vector<std::string> TakeChunks() {
    records_ = 0;
    return std::move(chunks_);
  }
  uint64_t records() const { return records_; }

 private:
  const size_t digestSize_;
  std::vector<std::string> chunks_;
  uint64_t records_ = 0;
};

// The records of an earlier scan, in a hash table by inode. Filled by one thread; once Seal()ed, Find may
// run on any number of threads at once.
class DigestIndex {
 public:
  explicit DigestIndex(DigestAlgorithm algorithm) : digestSize_(DigestBytes(algorithm)) {}

  // Adds the records of one stored blob; false, adding nothing, when it is not a whole number of
  // records of this algorithm.
  [[nodiscard]] bool AddChunk(const unsigned char* data, size_t size);
  // Builds the table over what was added; call once, before the first Find.
  void Seal();
  size_t size() const { return entries_.size(); }

  // When the index holds `file` with all four values equal, writes its digest as lower-case hex into
  // `hex` (reusing its memory) and returns true.
  bool Find(const FileIdentity& file, std::string& hex) const;

 private:
  struct Entry {
    FileIdentity file;
    std::array<unsigned char, 32> digest;
  };
  static constexpr uint32_t kEmpty = UINT32_MAX;
  size_t Slot(uint64_t inode) const;

  const size_t digestSize_;
  std::vector<Entry> entries_;
  // Open addressing with linear probing: the position in entries_ of a record, or kEmpty. A power
  // of two at least twice the records, so that a probe ends after a slot or two.
  std::vector<uint32_t> slots_;
};

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_DIGESTINDEX_H_
