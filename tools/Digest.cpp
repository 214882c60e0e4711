#include "Digest.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include <openssl/evp.h>
#define XXH_DISPATCH_DISABLE_REPLACE  // the dispatching functions are called by name
#include <xxh_x86dispatch.h>
#include <xxhash.h>

namespace fsdbtool {

bool ParseDigestAlgorithm(std::string_view name, DigestAlgorithm& algorithm) {
  for (DigestAlgorithm candidate :
       {DigestAlgorithm::kNone, DigestAlgorithm::kSha256, DigestAlgorithm::kXxh128}) {
    if (name == DigestAlgorithmName(candidate)) {
      algorithm = candidate;
      return true;
    }
  }
  return false;
}

const char* DigestAlgorithmName(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kSha256:
      return "sha256";
    case DigestAlgorithm::kXxh128:
      return "xxh128";
    case DigestAlgorithm::kNone:
      break;
  }
  return "none";
}

void WriteLowerHex(const unsigned char* bytes, size_t size, char* hex) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    hex[2 * i] = kHex[bytes[i] >> 4];
    hex[2 * i + 1] = kHex[bytes[i] & 0x0f];
  }
}

void DigestResult::SetDigest(const unsigned char* bytes, size_t size) {
  size = std::min(size, hex_.size() / 2);
  WriteLowerHex(bytes, size, hex_.data());
  hexLength_ = 2 * size;
}

DigestResult& DigestResult::Fail(int number, const char* what) {
  errorNumber = number;
  error = what;
  if (number != 0) {
    char text[128];
    error += ": ";
    error += strerror_r(number, text, sizeof(text));  // the GNU form returns the text
  }
  return *this;
}

void DigestBuffer::Free::operator()(unsigned char* data) const {
  std::free(data);
}
void DigestBuffer::Free::operator()(evp_md_ctx_st* context) const {
  EVP_MD_CTX_free(context);
}
void DigestBuffer::Free::operator()(evp_md_st* method) const {
  EVP_MD_free(method);
}
void DigestBuffer::Free::operator()(XXH3_state_s* state) const {
  (void)XXH3_freeState(state);
}

// The buffer is page-aligned so that reads land on whole pages. A failed allocation leaves a member empty,
// which HashFile reports instead of hashing.
DigestBuffer::DigestBuffer()
    : data_(static_cast<unsigned char*>(std::aligned_alloc(4096, kReadSize))),
      sha256Method_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
      sha256_(EVP_MD_CTX_new()),
      xxh128_(XXH3_createState()) {}

DigestBuffer::~DigestBuffer() = default;

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other)
    Reset(other.Release());
  return *this;
}

int UniqueFd::Release() {
  return std::exchange(fd_, -1);
}

void UniqueFd::Reset(int fd) {
  // A close that fails still releases the descriptor on Linux; there is nothing to retry.
  if (fd_ >= 0)
    (void)close(fd_);
  fd_ = fd;
}

namespace {

// Files from this size on are hashed straight from a mapping of the page cache, which spares copying
// every byte into the buffer first. Below it, mapping, checking and unmapping cost as much as the copy
// or more (measured on /usr: files of 16-64 KiB hash 40% slower mapped, of 64-256 KiB 20% slower, of
// 256 KiB-1 MiB the same, of 1-4 MiB 2% faster, from 4 MiB on 25% faster with XXH3).
constexpr uint64_t kMapFrom = uint64_t{1} << 20;
// A mapped file is checked for pages missing from the cache, and hashed, this much at a time.
constexpr size_t kMapChunk = size_t{4} << 20;

// The SIGBUS guard of ReadMapped: the jump buffer of the thread's read in progress, or null. Plain
// thread-local storage of the executable, which a signal handler may touch.
thread_local sigjmp_buf* tMappedRead = nullptr;
struct sigaction gPreviousBusAction;

// A SIGBUS on a thread inside ReadMapped ends that read. Any other goes where it went before this
// handler came: the earlier action is put back and, for a fault, the faulting instruction runs again
// under it once this returns; a SIGBUS sent by another process is sent again.
void OnBusError(int signal, siginfo_t* info, void*) {
  if (sigjmp_buf* guard = tMappedRead) {
    tMappedRead = nullptr;
    siglongjmp(*guard, 1);
  }
  (void)sigaction(signal, &gPreviousBusAction, nullptr);
  if (info == nullptr || info->si_code <= 0)
    (void)raise(signal);
}

// Installs OnBusError once per process.
bool InstallBusGuard() {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    installed = sigaction(SIGBUS, &action, &gPreviousBusAction) == 0;
  });
  return installed;
}

int64_t Nanoseconds(const struct statx_timestamp& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// Whether the page cache holds every page of [offset, offset + length) of the file open as `fd`, asked of
// the kernel in one call (cachestat, Linux 6.5 on) rather than page by page: yes, no, or unknown where the
// kernel lacks the call or tells only a file's owner or a writer.
enum class Cached { kAll, kNotAll, kUnknown };

Cached CacheHolds(int fd, uint64_t offset, uint64_t length) {
  // The structures and the call's number are those of the kernel's ABI (the number is the same on every
  // architecture); the C library's headers of older systems lack them.
  struct Range {
    uint64_t offset, length;
  };
  struct Counts {
    uint64_t cache, dirty, writeback, evicted, recentlyEvicted;
  };
  constexpr long kCachestat = 451;
  static const uint64_t kPage = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  if (length == 0)
    return Cached::kAll;
  // The pages [offset, offset + length) touches.
  const uint64_t pages = (offset + length + kPage - 1) / kPage - offset / kPage;
  Range range{offset, length};
  Counts counts{};
  if (syscall(kCachestat, fd, &range, &counts, 0) != 0)
    return Cached::kUnknown;
  return counts.cache >= pages ? Cached::kAll : Cached::kNotAll;
}

// Reads a file front to back so that a scan leaves the page cache as it found it: what the cache held
// stays, what the scan brought in is dropped again once hashed (plus, at the end, the kernel's readahead
// past it). How it knows depends on what the caller learnt of the file beforehand:
//  - held in full: plain reads, nothing dropped;
//  - held in part: the kernel is asked up front, read by read, which parts it lacks, before any read of
//    ours pulls readahead in; only those are dropped, so the pages somebody uses keep their place even in a
//    file the kernel has evicted a page of;
//  - unknown (small files, and kernels that cannot say): each read is first asked for with RWF_NOWAIT,
//    which returns only what the cache holds; from the first byte it lacks the rest of the file counts as
//    brought in. Where RWF_NOWAIT is unsupported too, nothing is dropped: dropping blind could evict a
//    file that somebody uses.
class CacheKeepingReader {
 public:
  // Reading starts at `start`, the descriptor's offset; the file has `size` bytes, held by the cache as
  // `cached` says.
  CacheKeepingReader(int fd, off_t start, uint64_t size, Cached cached)
      : fd_(fd), start_(start), chunkStart_(start), offset_(start), probe_(cached == Cached::kUnknown) {
    // Readahead serves only what the cache lacks.
    if (cached != Cached::kAll && size - static_cast<uint64_t>(start) > DigestBuffer::kReadSize)
      (void)posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only: a refusal changes nothing
    if (cached == Cached::kNotAll) {
      // One question per read to come; a read past the size (the file grew) counts as brought in.
      for (uint64_t at = static_cast<uint64_t>(start); at < size; at += DigestBuffer::kReadSize) {
        const uint64_t length = std::min<uint64_t>(DigestBuffer::kReadSize, size - at);
        held_.push_back(CacheHolds(fd_, at, length) == Cached::kAll);
      }
    }
  }
  ~CacheKeepingReader() {
    if (cold_) {
      (void)posix_fadvise(fd_, coldFrom_, 0, POSIX_FADV_DONTNEED);  // advice only
      return;
    }
    // What a read that stopped early left unread, where readahead may have pulled it in.
    for (size_t i = Index(offset_); i < held_.size(); ++i) {
      if (!held_[i])
        (void)posix_fadvise(fd_, start_ + static_cast<off_t>(i * DigestBuffer::kReadSize),
                            DigestBuffer::kReadSize,
                            POSIX_FADV_DONTNEED);  // advice only
    }
  }
  CacheKeepingReader(const CacheKeepingReader&) = delete;
  CacheKeepingReader& operator=(const CacheKeepingReader&) = delete;

  // Reads up to `size` bytes at the current offset. Returns the count, 0 at the end of the file, or -1
  // with errno set. The bytes stay in the cache until Consumed() is called.
  ssize_t Read(unsigned char* data, size_t size) {
    iovec vector{data, size};
    ssize_t count;
    if (probe_ && !cold_) {
      do {
        count = preadv2(fd_, &vector, 1, -1, RWF_NOWAIT);
      } while (count < 0 && errno == EINTR);
      if (count >= 0)
        return Advance(count);
      if (errno == EAGAIN) {
        cold_ = true;
        coldFrom_ = offset_;
      } else if (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) {
        probe_ = false;
      } else {
        return -1;
      }
    }
    do {
      count = read(fd_, data, size);
    } while (count < 0 && errno == EINTR);
    return count < 0 ? -1 : Advance(count);
  }

  // The bytes of the last Read have been hashed: drop them from the cache if the scan brought them in.
  void Consumed() {
    if (offset_ <= chunkStart_)
      return;
    if (cold_) {
      const off_t start = std::max(chunkStart_, coldFrom_);
      (void)posix_fadvise(fd_, start, offset_ - start, POSIX_FADV_DONTNEED);  // advice only
    } else if (!held_.empty()) {
      bool held = true;
      for (size_t i = Index(chunkStart_); i <= Index(offset_ - 1); ++i)
        held = held && i < held_.size() && held_[i];
      if (!held)
        (void)posix_fadvise(fd_, chunkStart_, offset_ - chunkStart_, POSIX_FADV_DONTNEED);  // advice only
    }
  }

 private:
  size_t Index(off_t at) const { return static_cast<size_t>((at - start_) / DigestBuffer::kReadSize); }
  ssize_t Advance(ssize_t count) {
    chunkStart_ = offset_;
    offset_ += count;
    return count;
  }

  const int fd_;
  const off_t start_;
  off_t chunkStart_;
  off_t offset_;
  bool probe_;         // reads are probed with RWF_NOWAIT
  bool cold_ = false;  // a probe found a byte missing at coldFrom_
  off_t coldFrom_ = 0;
  std::vector<bool> held_;  // per read from start_: held in full by the cache before the first read
};

// A whole file mapped read-only; unmapped on destruction. Data() is null when the mapping failed.
class FileMapping {
 public:
  FileMapping(int fd, size_t size) : size_(size) {
    void* data = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    data_ = data == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(data);
  }
  ~FileMapping() {
    if (data_ != nullptr)
      (void)munmap(const_cast<unsigned char*>(data_), size_);  // cannot fail for a mapping we made
  }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  const unsigned char* Data() const { return data_; }

 private:
  const unsigned char* data_;
  const size_t size_;
};

// Whether the file open as `fd` lies on a file system whose regular files keep their content in the page
// cache, where a mapping reads what read() would. Elsewhere a "regular file" can be anything: on sysfs a
// PCI device's resourceN file maps the device's registers, which must never be read by a scan (read()
// refuses them). Unknown file systems, FUSE among them, are read.
bool MapsPageCache(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0)
    return false;
  switch (static_cast<uint64_t>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case SQUASHFS_MAGIC:
    case EROFS_SUPER_MAGIC_V1:
    case ISOFS_SUPER_MAGIC:
    case NFS_SUPER_MAGIC:
    case SMB2_SUPER_MAGIC:
    case CIFS_SUPER_MAGIC:
    case 0x2fc12fc1:  // ZFS, whose magic number is not in the kernel's headers
      return true;
    default:
      return false;
  }
}

// Whether every page of [data, data + size) of a file mapping is in the page cache. `data` is
// page-aligned and size at most kMapChunk. Where the kernel does not tell (mincore reports the cache of
// a file only to its owner, a writer or root), pages count as missing, so the caller reads instead.
bool Resident(const unsigned char* data, size_t size) {
  std::array<unsigned char, kMapChunk / 4096> pages;  // enough for any page size of 4 KiB or more
  if (mincore(const_cast<unsigned char*>(data), size, pages.data()) != 0)
    return false;
  static const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t count = (size + kPage - 1) / kPage;
  for (size_t i = 0; i < count; ++i) {
    if ((pages[i] & 1) == 0)
      return false;
  }
  return true;
}

}  // namespace

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// statx is the only call that reports the birth time; where it is missing, fstatat gives everything else.
int StatusAt(int folder, const char* name, int flags, FileStatus& entry) {
  flags |= AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
  struct statx sx;
  if (statx(folder, name, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    entry.inode = sx.stx_ino;
    entry.size = static_cast<int64_t>(sx.stx_size);
    entry.sizeOnDisk = static_cast<int64_t>(sx.stx_blocks) * 512;
    entry.accessNs = Nanoseconds(sx.stx_atime);
    entry.modificationNs = Nanoseconds(sx.stx_mtime);
    entry.changeNs = Nanoseconds(sx.stx_ctime);
    entry.creationNs = (sx.stx_mask & STATX_BTIME) != 0 ? Nanoseconds(sx.stx_btime) : 0;
    entry.mode = sx.stx_mode;
    entry.links = sx.stx_nlink;
    entry.uid = sx.stx_uid;
    entry.gid = sx.stx_gid;
    entry.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    return 0;
  }
  if (errno != ENOSYS)
    return errno;
  struct stat st;
  if (fstatat(folder, name, &st, flags) != 0)
    return errno;
  entry.inode = st.st_ino;
  entry.size = st.st_size;
  entry.sizeOnDisk = static_cast<int64_t>(st.st_blocks) * 512;
  entry.accessNs = Nanoseconds(st.st_atim);
  entry.modificationNs = Nanoseconds(st.st_mtim);
  entry.changeNs = Nanoseconds(st.st_ctim);
  entry.creationNs = 0;
  entry.mode = st.st_mode;
  entry.links = static_cast<uint32_t>(st.st_nlink);
  entry.uid = st.st_uid;
  entry.gid = st.st_gid;
  entry.device = st.st_dev;
  return 0;
}

// Opens for reading without following a final symbolic link. O_NONBLOCK keeps a FIFO swapped in after
// the walk from blocking the open (a regular file ignores it); O_NOATIME spares the inode a write where
// the caller owns the file or is privileged, and is dropped when the kernel refuses it with EPERM.
int OpenForReading(int folder, const char* name) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd;
  do {
    fd = openat(folder, name, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
      fd = openat(folder, name, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Streams bytes into the hash state of one algorithm kept in a DigestBuffer.
class FileHasher {
 public:
  FileHasher(DigestAlgorithm algorithm, DigestBuffer& buffer) : algorithm_(algorithm), buffer_(buffer) {}

  unsigned char* Data() const { return buffer_.data_.get(); }

  // Returns false when the state could not be set up (out of memory, or no SHA-256 in OpenSSL).
  bool Begin() {
    if (!buffer_.data_)
      return false;
    switch (algorithm_) {
      case DigestAlgorithm::kSha256:
        return buffer_.sha256Method_ && buffer_.sha256_ &&
               EVP_DigestInit_ex(buffer_.sha256_.get(), buffer_.sha256Method_.get(), nullptr) == 1;
      case DigestAlgorithm::kXxh128:
        return buffer_.xxh128_ && XXH3_128bits_reset(buffer_.xxh128_.get()) == XXH_OK;
      case DigestAlgorithm::kNone:
        break;
    }
    return false;
  }

  // A MappedConsumer: `context` is the FileHasher.
  static bool Consume(void* context, const unsigned char* data, size_t size) {
    return static_cast<FileHasher*>(context)->Update(data, size);
  }

  bool Update(const unsigned char* data, size_t size) {
    if (algorithm_ == DigestAlgorithm::kSha256)
      return EVP_DigestUpdate(buffer_.sha256_.get(), data, size) == 1;
    // The dispatching update uses the widest vector unit the CPU has (AVX-512, AVX2, else SSE2).
    return XXH3_128bits_update_dispatch(buffer_.xxh128_.get(), data, size) == XXH_OK;
  }

  bool Finish(DigestResult& result) {
    if (algorithm_ == DigestAlgorithm::kSha256) {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned size = 0;
      if (EVP_DigestFinal_ex(buffer_.sha256_.get(), digest, &size) != 1)
        return false;
      result.SetDigest(digest, size);
      return true;
    }
    // The canonical form is big-endian, which is what `xxhsum -H2` prints.
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(buffer_.xxh128_.get()));
    result.SetDigest(canonical.digest, sizeof(canonical.digest));
    return true;
  }

 private:
  const DigestAlgorithm algorithm_;
  DigestBuffer& buffer_;
};

MappedRead ReadMapped(const unsigned char* data, size_t size, MappedConsumer consume, void* context) {
  if (!InstallBusGuard())
    return MappedRead::kFailed;
  sigjmp_buf guard;
  // The signal mask is saved and restored by the jump: the handler runs with SIGBUS blocked (and, under
  // ThreadSanitizer, every signal), and a thread left with SIGBUS blocked would be killed outright by
  // the next one. One system call per mapped chunk of several MiB.
  if (sigsetjmp(guard, 1) != 0)
    return MappedRead::kBusError;  // the handler disarmed the guard
  tMappedRead = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const bool consumed = consume(context, data, size);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  tMappedRead = nullptr;
  return consumed ? MappedRead::kOk : MappedRead::kFailed;
}

namespace {

// Hashes the file open as `fd`, whose status taken through the descriptor is `status`, if it is a regular
// file that `expected` allows.
DigestResult HashIfExpected(int fd, const FileStatus& status, const ExpectedFile& expected,
                            DigestAlgorithm algorithm, DigestBuffer& buffer, const std::atomic<bool>* stop) {
  DigestResult result;
  if (!S_ISREG(status.mode))
    return result.Fail(0, "not a regular file");
  if (!expected.Matches(status.inode, status.size))
    return result.Fail(0, "changed since it was listed");
  return HashOpenFile(fd, OpenedFile{status.size, status.modificationNs, status.changeNs}, algorithm, buffer,
                      stop);
}

}  // namespace

DigestResult HashFile(int folder, const char* name, DigestAlgorithm algorithm, DigestBuffer& buffer,
                      const ExpectedFile* expected, const std::atomic<bool>* stop) {
  DigestResult result;
  const UniqueFd fd(OpenForReading(folder, name));
  if (fd.Get() < 0)
    return result.Fail(errno, "open");
  FileStatus status;
  if (const int err = StatusAt(fd.Get(), "", AT_EMPTY_PATH, status); err != 0)
    return result.Fail(err, "fstat");
  return HashIfExpected(fd.Get(), status, expected != nullptr ? *expected : ExpectedFile{}, algorithm, buffer,
                        stop);
}

DigestResult HashOpenFile(int fd, const OpenedFile& opened, DigestAlgorithm algorithm, DigestBuffer& buffer,
                          const std::atomic<bool>* stop) {
  DigestResult result;
  FileHasher hasher(algorithm, buffer);
  if (!hasher.Begin())
    return result.Fail(ENOMEM, "digest setup");
  const auto size = static_cast<uint64_t>(opened.size);
  // A file of more than one read is looked up in the page cache whole first: most are held in full, and
  // are then hashed without asking chunk by chunk.
  const Cached cached = size > DigestBuffer::kReadSize ? CacheHolds(fd, 0, size) : Cached::kUnknown;
  // What the page cache holds is hashed in place, up to the first chunk it lacks; from there the file
  // is read, which keeps the cache as found (see CacheKeepingReader).
  uint64_t offset = 0;
  // Without its SIGBUS guard (the handler could not be installed) nothing is mapped.
  if (size >= kMapFrom && size <= SIZE_MAX && MapsPageCache(fd) && InstallBusGuard()) {
    const FileMapping mapping(fd, static_cast<size_t>(size));
    for (const unsigned char* data = mapping.Data(); data != nullptr && offset < size;) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed))
        return result.Fail(0, "cancelled");
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kMapChunk, size - offset));
      if (cached != Cached::kAll && !Resident(data + offset, chunk))
        break;
      switch (ReadMapped(data + offset, chunk, &FileHasher::Consume, &hasher)) {
        case MappedRead::kOk:
          break;
        case MappedRead::kFailed:
          return result.Fail(0, "digest update failed");
        case MappedRead::kBusError:  // the file shrank under the mapping
          return result.Fail(0, "changed while being read");
      }
      offset += chunk;
      result.bytesRead = offset;
    }
  }
  if (offset < size || size == 0) {
    if (offset > 0 && lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
      return result.Fail(errno, "lseek");
    CacheKeepingReader reader(fd, static_cast<off_t>(offset), size, cached);
    for (;;) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed))
        return result.Fail(0, "cancelled");
      const ssize_t count = reader.Read(hasher.Data(), DigestBuffer::kReadSize);
      if (count < 0)
        return result.Fail(errno, "read");
      if (count == 0)
        break;
      result.bytesRead += static_cast<uint64_t>(count);
      if (!hasher.Update(hasher.Data(), static_cast<size_t>(count)))
        return result.Fail(0, "digest update failed");
      reader.Consumed();
      // A read that returned less than asked and reached the size fstat gave ends the file without a
      // read that returns nothing; a file that grew meanwhile changed its size and times, which the
      // second fstat sees.
      if (static_cast<size_t>(count) < DigestBuffer::kReadSize && result.bytesRead == size)
        break;
    }
  }

  // A writer that was active during the read leaves a mix of old and new content: no digest for that.
  // The byte count also catches files whose size says nothing about their content (/proc, /sys).
  struct stat after;
  if (fstat(fd, &after) != 0)
    return result.Fail(errno, "fstat");
  if (after.st_size != opened.size || Nanoseconds(after.st_mtim) != opened.modificationNs ||
      Nanoseconds(after.st_ctim) != opened.changeNs || result.bytesRead != size)
    return result.Fail(0, "changed while being read");
  if (!hasher.Finish(result))
    return result.Fail(0, "digest final failed");
  return result;
}

int ExamineAndHash(int folder, const char* name, const ExpectedFile& expected, DigestAlgorithm algorithm,
                   DigestBuffer& buffer, const std::atomic<bool>* stop, FileStatus& status,
                   DigestResult& result) {
  result = DigestResult();
  const UniqueFd fd(OpenForReading(folder, name));
  const int openError = fd.Get() < 0 ? errno : 0;
  // The status of what is read, taken through the descriptor once it is open.
  const int missing =
      fd.Get() >= 0 ? StatusAt(fd.Get(), "", AT_EMPTY_PATH, status) : StatusAt(folder, name, 0, status);
  // A folder in the place of the file listed is not recorded as a file: the file is gone, and the walk
  // did not list that folder.
  const int gone = missing != 0 ? missing : S_ISDIR(status.mode) ? EISDIR : 0;
  if (gone != 0) {
    result.Fail(gone, "examine");
    return gone;
  }
  if (openError != 0)
    result.Fail(openError, "open");
  else
    result = HashIfExpected(fd.Get(), status, expected, algorithm, buffer, stop);
  return 0;
}

DigestPool::DigestPool(DigestAlgorithm algorithm, unsigned threads, size_t maxInFlight)
    : DigestPool(threads, maxInFlight,
                 [algorithm](const DigestJob& job, DigestBuffer& buffer, const std::atomic<bool>& stop) {
                   return HashFile(job.folder >= 0 ? job.folder : AT_FDCWD, job.name.c_str(), algorithm,
                                   buffer, &job.expected, &stop);
                 }) {}

DigestPool::DigestPool(unsigned threads, size_t maxInFlight, Hasher hasher)
    : maxInFlight_(std::max<size_t>(maxInFlight, 1)), hasher_(std::move(hasher)) {
  threads = std::max(threads, 1u);
  workers_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i)
    workers_.emplace_back([this] { Work(); });
}

DigestPool::~DigestPool() {
  Stop();
  for (std::thread& worker : workers_)
    worker.join();
}

bool DigestPool::Submit(DigestJob job) {
  return Queue(&job, 1, nullptr);
}

bool DigestPool::SubmitAll(std::vector<DigestJob>& jobs, DigestBuffer* help) {
  const bool queued = Queue(jobs.data(), jobs.size(), help);
  jobs.clear();
  return queued;
}

bool DigestPool::Queue(DigestJob* jobs, size_t count, DigestBuffer* help) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (size_t i = 0; i < count; ++i) {
    // A submitter that can help hashes queued jobs itself rather than wait for room.
    while (help != nullptr && !stopping_ && jobs_.size() + running_ >= maxInFlight_ && !jobs_.empty())
      RunOne(lock, *help);
    if (jobs_.size() + running_ >= maxInFlight_) {
      // A full pool is left to drain to half the bound, so that the submitter wakes once for many
      // finished jobs rather than once for every one. The workers hear of what is queued first.
      jobReady_.notify_all();
      ++submitters_;
      slotFree_.wait(lock, [this] { return stopping_ || jobs_.size() + running_ <= maxInFlight_ / 2; });
      --submitters_;
    }
    if (stopping_)
      return false;
    jobs_.push_back(std::move(jobs[i]));
  }
  // One wake-up for a whole group: a worker that finds more queued takes it without sleeping between.
  if (count == 1)
    jobReady_.notify_one();
  else if (count > 1)
    jobReady_.notify_all();
  return true;
}

bool DigestPool::TryPop(DigestOutcome& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (outcomes_.empty())
    return false;
  outcome = std::move(outcomes_.front());
  outcomes_.pop_front();
  return true;
}

size_t DigestPool::TryPopAll(std::vector<DigestOutcome>& outcomes) {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t count = outcomes_.size();
  for (DigestOutcome& outcome : outcomes_)
    outcomes.push_back(std::move(outcome));
  outcomes_.clear();
  return count;
}

bool DigestPool::Help(DigestBuffer& buffer) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopping_ || jobs_.empty())
    return false;
  RunOne(lock, buffer);
  return true;
}

void DigestPool::RunOne(std::unique_lock<std::mutex>& lock, DigestBuffer& buffer) {
  DigestJob job = std::move(jobs_.front());
  jobs_.pop_front();
  ++running_;
  lock.unlock();
  DigestResult result;
  if (stop_.load(std::memory_order_relaxed))
    (void)result.Fail(0, "cancelled");  // the result is filled in place
  else
    result = hasher_(job, buffer, stop_);
  job.folderHold.reset();  // the folder goes before the job stops counting as in flight
  lock.lock();
  Finished(job, std::move(result));
}

bool DigestPool::Pop(DigestOutcome& outcome) {
  std::unique_lock<std::mutex> lock(mutex_);
  outcomeReady_.wait(lock, [this] { return !outcomes_.empty() || (jobs_.empty() && running_ == 0); });
  if (outcomes_.empty())
    return false;
  outcome = std::move(outcomes_.front());
  outcomes_.pop_front();
  return true;
}

size_t DigestPool::InFlight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + running_;
}

void DigestPool::Stop() {
  stop_.store(true, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  jobReady_.notify_all();
  slotFree_.notify_all();
}

unsigned DigestPool::DefaultThreads() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0)
    return std::max(CPU_COUNT(&set), 1);
  return std::max(std::thread::hardware_concurrency(), 1u);
}

size_t DigestPool::DescriptorBound(size_t wanted) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return std::max<size_t>(wanted, 8);
  const rlim_t needed = static_cast<rlim_t>(wanted) * 4;
  if (limit.rlim_cur < needed) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
    if (raised.rlim_cur > limit.rlim_cur && setrlimit(RLIMIT_NOFILE, &raised) == 0)
      limit = raised;
  }
  return std::max<size_t>(std::min<size_t>(wanted, static_cast<size_t>(limit.rlim_cur / 4)), 8);
}

// Each worker keeps one DigestBuffer for its life. Once the pool stops, queued jobs are answered
// "cancelled" without being opened, so the queue drains at once and every job still comes back.
void DigestPool::Work() {
  DigestBuffer buffer;
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty())
      return;
    RunOne(lock, buffer);
  }
}

void DigestPool::Finished(const DigestJob& job, DigestResult result) {
  --running_;
  outcomes_.push_back(DigestOutcome{job.id, job.context, std::move(result)});
  if (submitters_ > 0 && jobs_.size() + running_ <= maxInFlight_ / 2)
    slotFree_.notify_all();
  if (jobs_.empty() && running_ == 0)
    outcomeReady_.notify_all();
  else
    outcomeReady_.notify_one();
}

}  // namespace fsdbtool
