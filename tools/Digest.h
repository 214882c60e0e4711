// Content digests of regular files: a one-file hasher that hashes what the page cache holds in place and
// reads the rest in large sequential reads, keeping the page cache of the watched machine as it found it, and
// a small pool of threads that hashes the files a walk hands it while one thread drives the database.

#ifndef FSDB_TOOLS_DIGEST_H_
#define FSDB_TOOLS_DIGEST_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct evp_md_ctx_st;
struct evp_md_st;
struct XXH3_state_s;

namespace fsdbtool {

// kSha256 guards against tampering (OpenSSL uses the CPU's SHA instructions); kXxh128 (XXH3, 128 bits)
// is a fast, non-cryptographic change detector.
enum class DigestAlgorithm { kNone, kSha256, kXxh128 };

// "sha256", "xxh128" and "none" (which gives kNone). Returns false, leaving `algorithm` alone, for any
// other name.
[[nodiscard]] bool ParseDigestAlgorithm(std::string_view name, DigestAlgorithm& algorithm);
// The name ParseDigestAlgorithm reads back: "sha256", "xxh128" or "none".
const char* DigestAlgorithmName(DigestAlgorithm algorithm);

// Writes the `size` bytes at `bytes` as 2 * `size` lower-case hex digits at `hex`.
void WriteLowerHex(const unsigned char* bytes, size_t size, char* hex);

// The status of a file as a scan records it (times in ns since the epoch).
struct FileStatus {
  uint64_t inode = 0;
  int64_t size = 0, sizeOnDisk = 0;
  int64_t accessNs = 0, modificationNs = 0, changeNs = 0, creationNs = 0;  // creation 0: not kept
  uint32_t mode = 0, links = 0, uid = 0, gid = 0;
  dev_t device = 0;
};

// Reads the status of `name` relative to the open folder `folder` (or of the file open as `folder`
// itself, with AT_EMPTY_PATH and ""), never following a link and never triggering an automount.
// Returns 0 or an errno value.
int StatusAt(int folder, const char* name, int flags, FileStatus& status);

int64_t Nanoseconds(const struct timespec& time);

// What the walk saw of a file, checked again once the file is open so that a digest is never recorded
// against an entry that was replaced or rewritten in between. Zero or negative means "not known".
struct ExpectedFile {
  uint64_t inode = 0;
  int64_t size = -1;

  // Whether a file of this inode and size may be the one expected.
  bool Matches(uint64_t actualInode, int64_t actualSize) const {
    return (inode == 0 || inode == actualInode) && (size < 0 || size == actualSize);
  }
};

// The outcome of hashing one file: a digest, or an error and no digest. Cheap to move; a success owns no
// heap memory.
struct DigestResult {
  // Bytes read from the file, also when the hash failed half way.
  uint64_t bytesRead = 0;
  // errno of the failing call, or 0 (a success, or a failure that is no system error such as "not a
  // regular file" or "changed while being read").
  int errorNumber = 0;
  // Empty on success, else words saying what failed, e.g. "open: Permission denied".
  std::string error;

  bool IsOk() const { return error.empty(); }
  // Lower-case hex: the form sha256sum and `xxhsum -H2` print. Empty unless IsOk().
  std::string_view Digest() const { return std::string_view(hex_.data(), hexLength_); }

  // For the hasher: stores `size` bytes of digest as hex.
  void SetDigest(const unsigned char* bytes, size_t size);
  // For the hasher: the failure "`what`: <strerror of errorNumber>", or just `what` when errorNumber is 0.
  DigestResult& Fail(int errorNumber, const char* what);

 private:
  std::array<char, 64> hex_{};  // SHA-256 is the longest digest: 32 bytes
  size_t hexLength_ = 0;
};

// One thread's reusable state for HashFile: a read buffer and both hash states, so that hashing a file
// allocates nothing. The buffer is small enough to stay in the core's own cache, so that the bytes copied
// out of the page cache are hashed from there instead of going through memory twice. Not thread-safe:
// one per thread.
class DigestBuffer {
 public:
  static constexpr size_t kReadSize = size_t{256} << 10;

  DigestBuffer();
  ~DigestBuffer();
  DigestBuffer(const DigestBuffer&) = delete;
  DigestBuffer& operator=(const DigestBuffer&) = delete;

 private:
  friend class FileHasher;
  struct Free {
    void operator()(unsigned char* data) const;
    void operator()(evp_md_ctx_st* context) const;
    void operator()(evp_md_st* method) const;
    void operator()(XXH3_state_s* state) const;
  };
  std::unique_ptr<unsigned char, Free> data_;
  std::unique_ptr<evp_md_st, Free> sha256Method_;  // fetched once, not at every file
  std::unique_ptr<evp_md_ctx_st, Free> sha256_;
  std::unique_ptr<XXH3_state_s, Free> xxh128_;
};

// Hashes the content of the regular file `name` in the folder open as `folder` (or AT_FDCWD with a path).
// A symbolic link, folder, FIFO, device or socket is refused, never followed or waited on; so is a file
// whose inode or size differs from `expected` (when given), and a file whose size, modification or change
// time moved while it was read, or that shrank under its mapping (error "changed while being read").
// Large files whose pages are all in the cache are hashed from a mapping (see ReadMapped), the rest is
// read. When `stop` becomes true the read ends with error "cancelled". The page cache is left as found: what
// it did not hold before is dropped again once hashed, and what it held stays. Never returns a digest
// together with an error. REQUIRES: algorithm != kNone.
[[nodiscard]] DigestResult HashFile(int folder, const char* name, DigestAlgorithm algorithm,
                                    DigestBuffer& buffer, const ExpectedFile* expected = nullptr,
                                    const std::atomic<bool>* stop = nullptr);

// Opens `name` in `folder` (or a path with AT_FDCWD) for hashing: read-only, without following a final
// symbolic link, and without waiting on a FIFO or taking a terminal. Returns the descriptor, or -1 with
// errno set.
int OpenForReading(int folder, const char* name);

// The status of a file taken once it was open, which the file must still have once read.
struct OpenedFile {
  int64_t size = 0;
  int64_t modificationNs = 0, changeNs = 0;
};

// HashFile for a regular file the caller opened with OpenForReading and examined already (that it is a
// regular file, and the one expected): `opened` is its status taken after the open. The descriptor stays
// the caller's.
[[nodiscard]] DigestResult HashOpenFile(int fd, const OpenedFile& opened, DigestAlgorithm algorithm,
                                        DigestBuffer& buffer, const std::atomic<bool>* stop = nullptr);

// Opens a regular file the walk listed, `name` in the open folder `folder`, reads its status through the
// descriptor (so that the status is that of what is read) and hashes it when it is a regular file that
// `expected` allows; `result` receives the digest or why there is none. A file that cannot be opened gets
// the status of its name and no digest. Returns 0 with `status` set, or the errno value when not even
// the name could be examined (ENOENT: the file vanished since it was listed), or EISDIR when a folder
// took its place.
int ExamineAndHash(int folder, const char* name, const ExpectedFile& expected, DigestAlgorithm algorithm,
                   DigestBuffer& buffer, const std::atomic<bool>* stop, FileStatus& status,
                   DigestResult& result);

// What ReadMapped did.
enum class MappedRead { kOk, kFailed, kBusError };
// Takes `size` bytes of a file mapping; false when it could not. Left by a long jump when a page is
// missing, so it must hold no resource of its own while it runs (a hash update does not).
using MappedConsumer = bool (*)(void* context, const unsigned char* data, size_t size);

// Hands `size` bytes at `data`, part of a file mapping, to `consume`. Touching a page past the end of a
// file that was truncated after it was mapped raises SIGBUS; the signal then ends the read on that
// thread only, and the result is kBusError instead of a crash. A SIGBUS anywhere else is handled as it
// was before the first call (by default it ends the process). kFailed when `consume` returned false, or
// when the guard could not be installed (nothing was read then).
// Thread-safe.
[[nodiscard]] MappedRead ReadMapped(const unsigned char* data, size_t size, MappedConsumer consume,
                                    void* context);

// Owns a file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// One file for the pool: `name` inside the open folder `folder`, or a path when `folder` is -1. The walk's
// own folder descriptor is shared rather than duplicated: `folderHold` keeps it open until the job is done
// and is released before the job stops counting as in flight.
struct DigestJob {
  uint64_t id = 0;
  // The submitter's own: handed to the hasher with the job and back with its outcome, untouched. While
  // the job is in flight, what it points to belongs to the hasher.
  void* context = nullptr;
  int folder = -1;
  std::shared_ptr<const void> folderHold;
  std::string name;
  ExpectedFile expected;
};

struct DigestOutcome {
  uint64_t id = 0;
  void* context = nullptr;  // the job's
  DigestResult result;
};

// Hashes files on a few threads for one thread that walks and records. The driving thread Submits a job
// per file and drains outcomes with TryPop/Pop; every submitted job comes back exactly once (as
// "cancelled" when the pool stopped before it was read).
// "In flight" counts jobs waiting or being hashed, each keeping its folder open; once `maxInFlight`
// are, Submit blocks until half of them are done. Outcomes hold no descriptor and wait in an unbounded queue,
// so a thread that both submits and pops never deadlocks: Submit only waits for a worker to finish, never for
// a Pop. Thread-safe. mutex_ guards jobs_, outcomes_, running_, submitters_, stopping_; stop_ is also read,
// without the lock, by hashers between reads so that a long file ends at once.
class DigestPool {
 public:
  // Computes one job's result; the default reads the file with HashFile. Tests swap it to control timing.
  // Called from several workers at once; must return soon after `stop` becomes true.
  using Hasher =
      std::function<DigestResult(const DigestJob& job, DigestBuffer& buffer, const std::atomic<bool>& stop)>;

  // Starts `threads` workers (at least one) hashing with `algorithm`. REQUIRES: algorithm != kNone.
  DigestPool(DigestAlgorithm algorithm, unsigned threads, size_t maxInFlight);
  DigestPool(unsigned threads, size_t maxInFlight, Hasher hasher);
  // Stops and joins the workers.
  ~DigestPool();
  DigestPool(const DigestPool&) = delete;
  DigestPool& operator=(const DigestPool&) = delete;

  // Queues `job`; when maxInFlight jobs are in flight, first waits until half of them are done. Returns
  // false (and drops the job) once the pool is stopping.
  bool Submit(DigestJob job);
  // Submits every job of `jobs` in turn under one lock and one wake-up of the workers, and empties it.
  // On false the jobs not queued yet are dropped. With `help`, a full pool has the calling thread hash
  // queued jobs (with `help` as its buffer) while there are any, instead of waiting for the workers.
  bool SubmitAll(std::vector<DigestJob>& jobs, DigestBuffer* help = nullptr);
  // Hashes one queued job on the calling thread, as a worker would, with `buffer`: for a thread that
  // would otherwise wait. Returns false at once when no job is queued.
  bool Help(DigestBuffer& buffer);
  // Moves a finished job's outcome into `outcome`: returns false at once when none is ready.
  bool TryPop(DigestOutcome& outcome);
  // Appends every outcome ready to `outcomes`, under one lock, without waiting; returns how many.
  size_t TryPopAll(std::vector<DigestOutcome>& outcomes);
  // Like TryPop but waits while jobs are in flight; returns false only when nothing is in flight and
  // no outcome is left.
  bool Pop(DigestOutcome& outcome);
  // Jobs waiting or being hashed.
  size_t InFlight() const;
  // Ends at once: waiting Submits return false, queued jobs come back "cancelled", running hashes end
  // between two reads. Idempotent.
  void Stop();

  // Threads a pool should use on this machine: the available cores, at least one.
  static unsigned DefaultThreads();
  // How many of `wanted` files may be in flight when each may keep a folder of its own open: at most a
  // quarter of the descriptors this process may open, so that the walk and SQLite keep theirs, and at
  // least 8. The soft limit is raised towards 4 * `wanted` first, as far as the hard limit allows (the
  // tool waits on no descriptor with select, whose sets stop at 1,024).
  static size_t DescriptorBound(size_t wanted);

 private:
  bool Queue(DigestJob* jobs, size_t count, DigestBuffer* help);
  void Work();
  // Takes the first queued job and hashes it with the lock released. REQUIRES: `lock` holds mutex_ and
  // a job is queued; holds it again on return.
  void RunOne(std::unique_lock<std::mutex>& lock, DigestBuffer& buffer);
  // Records a job's outcome. REQUIRES: mutex_ held.
  void Finished(const DigestJob& job, DigestResult result);

  const size_t maxInFlight_;
  const Hasher hasher_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::condition_variable jobReady_;      // a job was queued, or stopping
  std::condition_variable slotFree_;      // in flight dropped below the bound, or stopping
  std::condition_variable outcomeReady_;  // an outcome was queued, or nothing is in flight
  std::deque<DigestJob> jobs_;
  std::deque<DigestOutcome> outcomes_;
  size_t running_ = 0;
  size_t submitters_ = 0;  // Submits waiting for room
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_DIGEST_H_
