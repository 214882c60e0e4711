#include "Scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include <boost/make_shared.hpp>

#include "DigestIndex.h"
#include "Format.h"
#include "ToolMetadata.h"
#include "fsdb/DatabaseItem.h"

namespace fsdbtool {

namespace {

std::string Reason(int err) {
  std::string text = std::strerror(err);
  if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && !(text[1] >= 'A' && text[1] <= 'Z'))
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

int64_t NowNs() {
  struct timespec now;
  (void)clock_gettime(CLOCK_REALTIME, &now);  // cannot fail for CLOCK_REALTIME
  return Nanoseconds(now);
}

// StatusAt for a walk entry, which also learns whether it is a folder.
int StatAt(int folder, const char* name, int flags, WalkEntry& entry) {
  const int err = StatusAt(folder, name, flags, entry);
  entry.folder = err == 0 && S_ISDIR(entry.mode);
  return err;
}

// `folder`/`name` into `path`, whose buffer is reused.
void JoinPath(const std::string& folder, const std::string& name, std::string& path) {
  path.assign(folder);
  if (path.empty() || path.back() != '/')
    path += '/';
  path += name;
}

// "/a//b/" -> "/a/b"; "/" stays.
std::string NormalizeAbsolute(const std::string& path) {
  std::string result;
  for (char c : path) {
    if (c == '/' && !result.empty() && result.back() == '/')
      continue;
    result += c;
  }
  while (result.size() > 1 && result.back() == '/')
    result.pop_back();
  return result;
}

std::string LastName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One line on stderr, refreshed at most ten times a second, only when enabled (a terminal). Warnings
// clear it first so they never share a line with it.
class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

  void Update(uint64_t folders, uint64_t files, const std::string& folder) {
    if (!enabled_)
      return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100))
      return;
    last_ = now;
    shown_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char head[160];
    std::snprintf(head, sizeof(head), "%llu folders, %llu files, %.0f/s, %.1f s, ",
                  static_cast<unsigned long long>(folders), static_cast<unsigned long long>(files),
                  seconds > 0 ? static_cast<double>(folders + files) / seconds : 0.0, seconds);
    struct winsize size {};
    const size_t width = ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
    std::string line = head;
    std::string shown = EscapePath(folder);
    const size_t room = width > line.size() + 4 ? width - line.size() - 1 : 3;
    if (shown.size() > room)
      shown = "..." + shown.substr(shown.size() - (room - 3));
    line = "\r\033[K" + line + shown;
    (void)!write(2, line.data(), line.size());  // a lost progress line is harmless
  }

  void Clear() {
    if (!shown_)
      return;
    shown_ = false;
    (void)!write(2, "\r\033[K", 4);
  }

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_, last_;
};

// The digests of an earlier scan, loaded whole before the walk: looked up on the walking thread.
// Returns null when `path` holds none of `algorithm`, or only a damaged index, after saying so: every
// file is read then.
ToolStatus LoadPreviousDigests(const std::string& path, DigestAlgorithm algorithm,
                               std::unique_ptr<DigestIndex>& index) {
  index.reset();
  ScanInfo info;
  ToolStatus status = ReadScanInfo(path, info);
  if (!status.ok)
    return status;
  if (info.hash != DigestAlgorithmName(algorithm)) {
    std::cerr << "fsdb: " << EscapePath(path) << " holds no " << DigestAlgorithmName(algorithm)
              << " digests; every file is read\n";
    return ToolStatus::Ok();
  }
  auto loaded = std::make_unique<DigestIndex>(algorithm);
  bool stored = false;
  status = ReadDigestChunks(path, stored, [&loaded](const unsigned char* data, size_t size) {
    return loaded->AddChunk(data, size);
  });
  if (!status.ok && !stored)
    return status;  // the database could not be read at all
  if (!status.ok || !stored) {
    std::cerr << "fsdb: " << EscapePath(path)
              << (stored ? " has a damaged digest index"
                         : " has no digest index (made by an earlier version)")
              << "; every file is read\n";
    return ToolStatus::Ok();
  }
  loaded->Seal();
  index = std::move(loaded);
  return ToolStatus::Ok();
}

// The counts of the digest work of one scan.
struct DigestCounts {
  uint64_t bytesRead = 0, hashed = 0, reused = 0, unreadable = 0;
};

// What the walk found, ready to be recorded: the item is formed (metadata document included) on the
// walking thread, so the thread that writes the database only does database work. A regular file of a
// scan with digests leaves the walk complete when the earlier scan recorded it unchanged, and as kToHash
// otherwise, to be formed on the hashing thread.
struct ReadyEntry {
  enum class Kind : uint8_t {
    kFolder,      // item complete
    kFile,        // item complete; `reused` when its digest (`digest`, hex) came from the earlier scan,
                  // `reason` set when it has none because it could not be hashed
    kToHash,      // a regular file whose digest is still to be taken: `folderFd` is its folder, kept
                  // open by `folderHold`; the item has its name, path and selection, and the hashing
                  // thread sets the rest from the file it opens
    kUnreadable,  // a folder not completely listed, for `reason`
    kVanished,    // an entry gone before it was examined
  };
  Kind kind = Kind::kFile;
  bool reused = false;
  std::string path, reason, digest;
  FSDB::CDatabaseItemPtr item;
  // kToHash only.
  int folderFd = -1;
  std::shared_ptr<const void> folderHold;
  std::string name;
  ExpectedFile expected;  // what the walk saw of it, if it looked
};

// Items the walk made, kept for reuse once nobody else holds them. A reused item keeps the buffers of
// its strings, so a file costs the walk no allocation, and the database thread frees no memory that
// another thread allocated (which costs glibc more than freeing its own). The library keeps a queued
// file's item until it writes the file's batch, and writes batches in the order they came: the oldest
// item handed back is the first to be free again, so only that one is looked at. Used by one thread;
// other threads only drop their references, which the count reads with the ordering it needs.
class ItemPool {
 public:
  // An item with every property at its default value, reused when the oldest returned one is free.
  FSDB::CDatabaseItemPtr Get() {
    if (count_ > 0 && ring_[head_].use_count() == 1) {
      FSDB::CDatabaseItemPtr item = std::move(ring_[head_]);
      head_ = (head_ + 1) % ring_.size();
      --count_;
      *item = blank_;  // copies empty strings into the kept buffers: no allocation
      return item;
    }
    return boost::make_shared<FSDB::CDatabaseItem>();
  }

  // Takes back an item that others may still hold; the oldest one is dropped when the pool is full.
  void Return(FSDB::CDatabaseItemPtr&& item) {
    if (!item)
      return;
    if (count_ == ring_.size()) {
      ring_[head_] = std::move(item);
      head_ = (head_ + 1) % ring_.size();
      return;
    }
    ring_[(head_ + count_) % ring_.size()] = std::move(item);
    ++count_;
  }

 private:
  // Room for what the library's queue and the batches between the threads hold, and more.
  static constexpr size_t kCapacity = 8192;

  const FSDB::CDatabaseItem blank_;
  std::vector<FSDB::CDatabaseItemPtr> ring_ = std::vector<FSDB::CDatabaseItemPtr>(kCapacity);
  size_t head_ = 0, count_ = 0;
};

// Batches of ready entries from the walking thread to the writing thread, at most `capacity` of them
// waiting, so a walk faster than the database holds a bounded amount of memory. Spent batches go back to
// the walker with their entries' strings, whose buffers are reused. Thread-safe.
class EntryQueue {
 public:
  struct Batch {
    std::vector<ReadyEntry> entries;
    size_t used = 0;
    size_t descriptors = 0;  // entries keeping their folder open
  };

  explicit EntryQueue(size_t capacity) : capacity_(capacity) {}

  // A batch to fill: a spent one when there is one. The items of its entries go back to `items`, on
  // the thread that made them, rather than being freed on the one that writes the database.
  Batch Take(ItemPool& items) {
    Batch batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (spent_.empty())
        return batch;
      batch = std::move(spent_.back());
      spent_.pop_back();
    }
    for (size_t i = 0; i < batch.used; ++i) {
      items.Return(std::move(batch.entries[i].item));
      batch.entries[i].folderHold.reset();
    }
    batch.used = 0;
    batch.descriptors = 0;
    return batch;
  }

  // Waits for room; false when the reader stopped (the batch is then dropped). A full queue is left to
  // drain to half before the writer goes on, and a reader waiting on an empty queue is woken once half
  // of it is filled: each thread then sleeps and wakes once for several batches rather than for every
  // one, which spares both cores many context switches when one side is faster.
  bool Push(Batch&& batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!stopped_ && full_.size() >= capacity_)
      room_.wait(lock, [this] { return stopped_ || full_.size() <= capacity_ / 2; });
    if (stopped_)
      return false;
    full_.push_back(std::move(batch));
    if (full_.size() >= WakeReaderAt())
      ready_.notify_one();
    return true;
  }

  // No more batches will come.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    ready_.notify_one();
  }

  // The next batch, waiting for it; false once the queue is closed and empty.
  bool Pop(Batch& batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (full_.empty())
      ready_.wait(lock, [this] { return closed_ || full_.size() >= WakeReaderAt(); });
    return TakeFront(batch);
  }

  // The next batch if one is there; false at once otherwise.
  bool TryPop(Batch& batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    return TakeFront(batch);
  }

  // Hands a batch back once its entries are written.
  void Recycle(Batch&& batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    spent_.push_back(std::move(batch));
  }

  // The reader gives up: a waiting and every later Push fails.
  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    room_.notify_one();
  }

 private:
  // Half the capacity, at least one batch.
  size_t WakeReaderAt() const { return std::max<size_t>(capacity_ / 2, 1); }

  // REQUIRES: mutex_ held.
  bool TakeFront(Batch& batch) {
    if (full_.empty())
      return false;
    batch = std::move(full_.front());
    full_.pop_front();
    if (full_.size() == capacity_ / 2)
      room_.notify_one();
    return true;
  }

  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable room_, ready_;
  std::deque<Batch> full_;
  std::vector<Batch> spent_;
  bool closed_ = false, stopped_ = false;
};

// Ends the walk's thread, which fills `queue`: stops the queue, so that the walk fails at its next
// batch, and joins it. Done at the latest on destruction.
struct JoinedWalk {
  EntryQueue& queue;
  std::thread& thread;
  ~JoinedWalk() { End(); }
  void End() const {
    queue.Stop();
    if (thread.joinable())
      thread.join();
  }
};

// Adds owner, group and `digest` (empty: none) to the item's metadata document. The document is built in
// a buffer of the calling thread and copied into the item once: one allocation per item at most.
void AddAttributes(FSDB::CDatabaseItem& item, uint32_t uid, uint32_t gid, std::string_view digest = {}) {
  thread_local std::string metadata;
  AddToolAttributes(item.GetMetadataRef(), uid, gid, digest, metadata);
  item.SetMetadata(metadata);
}

// Sets the item's properties from the status of its entry, and forms its metadata document with the
// tool's attributes (and `digest`, when given). The name, path and selection are set already.
CYaError FormItem(FSDB::CDatabaseItem& item, const WalkEntry& entry, std::string_view digest = {}) {
  item.SetFileId(static_cast<int64_t>(entry.inode));
  item.SetFileSize(entry.size);
  item.SetAccessTime(entry.accessNs);
  item.SetModificationTime(entry.modificationNs);
  item.SetChangeTime(entry.changeNs);
  item.SetAttributes(static_cast<int>(entry.mode));
  item.SetLinks(static_cast<int>(entry.links));
  item.SetFileSizeOnDisk(entry.sizeOnDisk);
  item.SetCreationTime(entry.creationNs);
  item.SetAsDirectory(entry.folder);
  CYaError error = item.FormMetadata();
  if (!error.IsError())
    AddAttributes(item, entry.uid, entry.gid, digest);
  return error;
}

// Runs on the walking thread: forms each entry's item and passes the entries on in batches.
class FormingSink : public WalkSink {
 public:
  // A batch goes when it holds this many entries, or files to hash in this many folders: each keeps
  // its folder open until it is hashed (the hashing threads read through the walk's own descriptor), so
  // a walk through many small folders keeps at most (kQueuedBatches + 1) * kBatchDescriptors folders
  // open beyond its own per queue between threads, and usually one or two.
  static constexpr size_t kBatchEntries = 512;
  static constexpr size_t kBatchDescriptors = 8;
  static constexpr size_t kQueuedBatches = 4;

  // `previous`, when given, holds the digests of an earlier scan to take over.
  FormingSink(const ScanOptions& options, const DigestIndex* previous, EntryQueue& queue)
      : select_(options.select),
        hash_(options.hash != DigestAlgorithm::kNone),
        previous_(previous),
        queue_(queue),
        batch_(queue.Take(items_)) {}

  ToolStatus OnEntry(const WalkEntry& entry) override {
    FSDB::CDatabaseItemPtr item = items_.Get();
    item->SetFileName(entry.name);
    item->SetFullyQualifiedPath(entry.path);
    item->SetAsSelected(select_);
    // A regular file to hash leaves its item to the hashing thread, which forms it from the status of
    // the file it opens; one that the earlier scan recorded unchanged takes its digest over.
    const bool toHash = hash_ && !entry.folder && S_ISREG(entry.mode);
    const bool reused =
        toHash && entry.examined && previous_ != nullptr &&
        previous_->Find(FileIdentity{entry.inode, entry.size, entry.modificationNs, entry.changeNs}, digest_);
    if (!toHash || reused) {
      const CYaError error = FormItem(*item, entry, reused ? std::string_view(digest_) : std::string_view());
      if (error.IsError())
        return FromLibraryError(error, "cannot record", entry.path);
    }
    ReadyEntry& ready = Next(entry.folder ? ReadyEntry::Kind::kFolder : ReadyEntry::Kind::kFile, entry.path);
    if (reused) {
      ready.reused = true;
      ready.digest = digest_;
    } else if (toHash) {
      ToHash(entry, ready);
    }
    ready.item = std::move(item);
    return Sent();
  }

  // Without an earlier scan to take digests from, every regular file is opened: its status is read
  // there rather than by the walk as well.
  bool ExaminesRegularFiles() const override { return hash_ && previous_ == nullptr; }

  void OnUnreadable(const std::string& path, const std::string& reason) override {
    Next(ReadyEntry::Kind::kUnreadable, path).reason = reason;
    (void)Sent();  // a stopped writer is noticed at the next entry
  }

  void OnVanished(const std::string& path) override {
    Next(ReadyEntry::Kind::kVanished, path);
    (void)Sent();
  }

  // Passes on the last batch and closes the queue. The walk is over.
  void Finish() {
    if (batch_.used > 0)
      (void)queue_.Push(std::move(batch_));
    queue_.Close();
  }

 private:
  ReadyEntry& Next(ReadyEntry::Kind kind, const std::string& path) {
    if (batch_.used == batch_.entries.size())
      batch_.entries.emplace_back();
    ReadyEntry& ready = batch_.entries[batch_.used++];
    ready.kind = kind;
    ready.reused = false;
    ready.path = path;
    ready.reason.clear();
    return ready;
  }

  // Keeps the file's folder open for the hashing threads. The files of one folder come one after the
  // other and share its descriptor; each batch holds at most kBatchDescriptors folders. While the batch
  // holds an entry of lastFolder_, that folder cannot go and its address cannot be taken by another.
  void ToHash(const WalkEntry& entry, ReadyEntry& ready) {
    ready.kind = ReadyEntry::Kind::kToHash;
    ready.folderFd = entry.folderFd;
    ready.folderHold = entry.folderHold;
    ready.name = entry.name;
    ready.expected = entry.examined ? ExpectedFile{entry.inode, entry.size} : ExpectedFile{};
    if (batch_.descriptors == 0 || entry.folderHold.get() != lastFolder_) {
      ++batch_.descriptors;
      lastFolder_ = entry.folderHold.get();
    }
  }

  // Sends the batch once full; fails when the writer stopped, which ends the walk.
  ToolStatus Sent() {
    if (batch_.used < kBatchEntries && batch_.descriptors < kBatchDescriptors)
      return ToolStatus::Ok();
    if (!queue_.Push(std::move(batch_)))
      return ToolStatus::Fail("the scan stopped");
    batch_ = queue_.Take(items_);
    return ToolStatus::Ok();
  }

  const bool select_, hash_;
  const DigestIndex* const previous_;
  ItemPool items_;  // before batch_, which is taken from the queue with it
  EntryQueue& queue_;
  EntryQueue::Batch batch_;
  const void* lastFolder_ = nullptr;  // of the batch's last file to hash
  std::string digest_;                // of the file last taken over, its buffer kept
};

// Runs on the one thread that drives the database: writes every entry and keeps the counts and the
// unreadable folders. With digests, a file to hash goes to a pool of hashing threads and is written once
// its digest is back, in whatever order digests come back (its folder is written already).
class DatabaseWriter {
 public:
  DatabaseWriter(FSDB::CScanDatabase& database, const ScanOptions& options, ProgressLine& progress)
      : database_(database), progress_(progress), index_(options.hash) {
    if (options.hash != DigestAlgorithm::kNone) {
      // This thread hashes too whenever it would otherwise wait (for the walk, or for room in the pool),
      // so the pool has one thread fewer than there are cores. Two threads handing work to each other
      // through a sleep and a wake-up lose the most: the kernel often wakes a thread on the busy core
      // and leaves it waiting there for a time slice while the other core idles.
      const unsigned threads = std::max(DigestPool::DefaultThreads(), 2u) - 1;
      const DigestAlgorithm algorithm = options.hash;
      help_ = std::make_unique<DigestBuffer>();
      // A hashing thread also forms the item of each file it hashes: when files are small, this thread
      // is the one that every other waits for, and the hashing threads have time to spare.
      pool_ = std::make_unique<DigestPool>(
          threads, DigestPool::DescriptorBound(kInFlightPerThread * threads),
          [algorithm](const DigestJob& job, DigestBuffer& buffer, const std::atomic<bool>& stop) {
            return HashAndForm(job, *static_cast<Waiting*>(job.context), algorithm, buffer, stop);
          });
    }
  }

  ToolStatus Write(ReadyEntry& ready) {
    switch (ready.kind) {
      case ReadyEntry::Kind::kFolder: {
        const CYaError error = database_.AddFolder(ready.path, ready.item);
        if (error.IsError())
          return FromLibraryError(error, "cannot record", ready.path);
        ++folders_;
        currentFolder_ = ready.path;
        progress_.Update(folders_, files_, currentFolder_);
        return ToolStatus::Ok();
      }
      case ReadyEntry::Kind::kFile:
        if (ready.reused) {
          ++digests_.reused;
          index_.Add(IdentityOf(*ready.item), ready.digest);
        }
        if (!ready.reason.empty())
          NotHashed(ready.path, ready.reason);
        return AddFile(ready.path, ready.item);
      case ReadyEntry::Kind::kToHash:
        return Queue(ready);
      case ReadyEntry::Kind::kUnreadable:
        Warn("cannot list " + EscapePath(ready.path) + ": " + ready.reason);
        unreadable_.push_back({ready.path, ready.reason});
        ++skipped_;
        return ToolStatus::Ok();
      case ReadyEntry::Kind::kVanished:
        Warn("vanished during the scan: " + EscapePath(ready.path));
        ++skipped_;
        return ToolStatus::Ok();
    }
    return ToolStatus::Ok();
  }

  // A batch is written: hands its files to hash to the pool, and writes those whose digests are back.
  ToolStatus EndBatch() { return SubmitQueued(); }

  // Hashes a file queued for the hashing threads on this thread, which has nothing else to do, and
  // writes what is back; `helped` is false when no file was queued.
  ToolStatus Help(bool& helped) {
    helped = pool_ != nullptr && pool_->Help(*help_);
    return helped ? Drain(false) : ToolStatus::Ok();
  }

  // Writes the files whose digests are still being computed. The walk is over.
  ToolStatus Finish() {
    ToolStatus status = SubmitQueued();
    return status.ok ? Drain(true) : status;
  }

  uint64_t folders() const { return folders_; }
  uint64_t files() const { return files_; }
  uint64_t skipped() const { return skipped_; }
  const DigestCounts& digests() const { return digests_; }
  // The digests recorded, for the next scan to take over.
  DigestIndexWriter& index() { return index_; }
  std::vector<UnreadableFolder>& unreadable() { return unreadable_; }

 private:
  // A file waiting for its digest: the job's context. Kept from file to file with its strings' buffers.
  struct Waiting {
    std::string path, name;
    FSDB::CDatabaseItemPtr item;
    // Set by the hashing thread: whether it formed the item (and how that went), or else the errno of
    // examining the file (ENOENT: it vanished).
    bool formed = false;
    ToolStatus formStatus;
    int missing = 0;
  };

  // Runs on a hashing thread: examines and hashes the file, and forms its item from the status found,
  // with the digest when there is one.
  static DigestResult HashAndForm(const DigestJob& job, Waiting& file, DigestAlgorithm algorithm,
                                  DigestBuffer& buffer, const std::atomic<bool>& stop) {
    DigestResult result;
    WalkEntry status;
    file.missing = ExamineAndHash(job.folder >= 0 ? job.folder : AT_FDCWD, file.name.c_str(), job.expected,
                                  algorithm, buffer, &stop, status, result);
    if (file.missing != 0)
      return result;
    const CYaError error = FormItem(*file.item, status, result.IsOk() ? result.Digest() : std::string_view());
    file.formStatus =
        error.IsError() ? FromLibraryError(error, "cannot record", file.path) : ToolStatus::Ok();
    file.formed = true;
    return result;
  }

  ToolStatus AddFile(const std::string& path, const FSDB::CDatabaseItemPtr& item) {
    const CYaError error = database_.AddFile(path, item);
    if (error.IsError())
      return FromLibraryError(error, "cannot record", path);
    ++files_;
    progress_.Update(folders_, files_, currentFolder_);
    return ToolStatus::Ok();
  }

  // Files to hash go to the pool in groups, so that the hashing threads wake once for many files.
  ToolStatus Queue(ReadyEntry& ready) {
    if (spare_.empty()) {
      waiting_.push_back(std::make_unique<Waiting>());
      spare_.push_back(waiting_.back().get());
    }
    Waiting& file = *spare_.back();
    spare_.pop_back();
    file.path = ready.path;
    file.name = ready.name;
    // Shared, not taken: the batch's reference goes back to the walk's pool with the batch, which
    // reuses the item once this thread and the library are done with it. Taken, every hashed file
    // would cost the walk a new item and this thread the freeing of memory that thread allocated.
    file.item = ready.item;
    file.formed = false;
    file.missing = 0;
    DigestJob& job = queued_.emplace_back();
    job.context = &file;
    job.folder = ready.folderFd;
    job.folderHold = std::move(ready.folderHold);
    job.expected = ready.expected;
    return queued_.size() < kGroup ? ToolStatus::Ok() : SubmitQueued();
  }

  ToolStatus SubmitQueued() {
    if (!pool_)
      return ToolStatus::Ok();
    // Waits while the pool is full; outcomes keep queueing meanwhile and are written just below.
    if (!pool_->SubmitAll(queued_, help_.get()))
      return ToolStatus::Fail("cannot hash files in " + EscapePath(currentFolder_) +
                              ": the hashing threads stopped");
    return Drain(false);
  }

  // Writes the files whose digests are back, taken all at once; with `wait`, until none is being
  // computed.
  ToolStatus Drain(bool wait) {
    if (!pool_)
      return ToolStatus::Ok();
    for (;;) {
      outcomes_.clear();
      if (pool_->TryPopAll(outcomes_) == 0) {
        if (!wait)
          return ToolStatus::Ok();
        if (pool_->Help(*help_))
          continue;  // what this thread hashed is among the outcomes now
        DigestOutcome outcome;
        if (!pool_->Pop(outcome))
          return ToolStatus::Ok();
        outcomes_.push_back(std::move(outcome));
      }
      for (DigestOutcome& outcome : outcomes_) {
        ToolStatus status = WriteHashed(outcome);
        if (!status.ok)
          return status;
      }
    }
  }

  // The item was formed by the hashing thread, with the digest or without.
  ToolStatus WriteHashed(const DigestOutcome& outcome) {
    Waiting& file = *static_cast<Waiting*>(outcome.context);
    digests_.bytesRead += outcome.result.bytesRead;
    ToolStatus status;
    if (file.missing != 0) {
      Warn(file.missing == ENOENT ? "vanished during the scan: " + EscapePath(file.path)
                                  : "cannot examine " + EscapePath(file.path) + ": " + Reason(file.missing));
      ++skipped_;
    } else if (!file.formed) {  // the pool stopped before it came to the file
      status = ToolStatus::Fail("cannot hash " + EscapePath(file.path) + ": " + outcome.result.error);
    } else if (!file.formStatus.ok) {
      status = file.formStatus;
    } else {
      if (outcome.result.IsOk()) {
        ++digests_.hashed;
        index_.Add(IdentityOf(*file.item), outcome.result.Digest());
      } else {
        NotHashed(file.path, outcome.result.error);
      }
      status = AddFile(file.path, file.item);
    }
    file.item.reset();
    spare_.push_back(&file);
    return status;
  }

  static FileIdentity IdentityOf(const FSDB::CDatabaseItem& item) {
    return FileIdentity{static_cast<uint64_t>(item.GetFileId()), item.GetFileSize(),
                        item.GetModificationTime(), item.GetChangeTime()};
  }

  // A regular file recorded without a digest.
  void NotHashed(const std::string& path, const std::string& reason) {
    Warn("cannot hash " + EscapePath(path) + ": " + reason);
    ++digests_.unreadable;
  }

  void Warn(const std::string& text) {
    progress_.Clear();
    std::cerr << "fsdb: " << text << '\n';
  }

  FSDB::CScanDatabase& database_;
  ProgressLine& progress_;
  uint64_t folders_ = 0, files_ = 0, skipped_ = 0;
  std::string currentFolder_;
  std::vector<UnreadableFolder> unreadable_;
  DigestCounts digests_;
  DigestIndexWriter index_;
  // Every file waiting there has been (each job's context), and those free for the next file.
  std::vector<std::unique_ptr<Waiting>> waiting_;
  std::vector<Waiting*> spare_;
  static constexpr size_t kGroup = 16;
  // Files in flight per hashing thread: enough small files to keep the threads busy while this thread
  // writes a batch of the library's or hashes a large file itself, also while the pool drains to half
  // before this thread submits again. On /usr, 16 per thread cost an xxh128 scan about 5% against 256,
  // and 256 about 6% against 2,048 once the hashing threads read each file's status themselves; 4,096
  // gave no more.
  static constexpr size_t kInFlightPerThread = 2048;

  std::vector<DigestJob> queued_;  // not submitted yet, at most kGroup
  std::vector<DigestOutcome> outcomes_;
  std::unique_ptr<DigestBuffer> help_;  // this thread's, for the files it hashes itself
  std::unique_ptr<DigestPool> pool_;    // last: stopped and joined before anything it reports to goes
};

}  // namespace

struct TreeWalker::Handle {
  explicit Handle(int fd) : fd(fd) {}
  ~Handle() {
    if (fd >= 0)
      (void)close(fd);  // a read-only folder descriptor: nothing to lose
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  int fd;
};

struct TreeWalker::Pending {
  std::shared_ptr<Handle> parent;
  std::string relative;
  WalkEntry entry;  // as listed in the parent
};

TreeWalker::TreeWalker(const ScanOptions& options, const std::vector<std::string>& ownDatabases,
                       WalkSink& sink)
    : options_(options), sink_(sink) {
  // A database's folder is identified by device and inode, so the exclusion holds however the walk
  // reaches it.
  for (const std::string& database : ownDatabases) {
    const size_t slash = database.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : database.substr(0, slash);
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) {
      const std::string name = slash == std::string::npos ? database : database.substr(slash + 1);
      own_.push_back({st.st_dev, st.st_ino, name, "." + name + ".fsdb-tmp-"});
    }
  }
}

bool TreeWalker::IsExcluded(const std::string& relative, const std::string& name) const {
  for (const std::string& pattern : options_.excludes) {
    if (fnmatch(pattern.c_str(), relative.c_str(), FNM_PATHNAME) == 0 ||
        fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
      return true;
  }
  return false;
}

// The database being written changes while it is walked; it, SQLite's companion files and the
// temporary files of scans into it are left out rather than recorded half-written.
bool TreeWalker::IsOwnFile(const WalkEntry& folder, const std::string& name) const {
  for (const OwnDatabase& own : own_) {
    if (folder.device != own.device || folder.inode != own.folderInode)
      continue;
    if (name.compare(0, own.name.size(), own.name) == 0) {
      const std::string rest = name.substr(own.name.size());
      if (rest.empty() || rest == "-journal" || rest == "-wal" || rest == "-shm")
        return true;
    }
    if (name.compare(0, own.tempPrefix.size(), own.tempPrefix) == 0)
      return true;
  }
  return false;
}

ToolStatus TreeWalker::Walk() {
  char real[PATH_MAX];
  if (realpath(options_.root.c_str(), real) == nullptr)
    return ToolStatus::Fail("cannot scan " + EscapePath(options_.root) + ": " + Reason(errno));
  scannedRoot_ = real;
  auto root = std::make_shared<Handle>(open(real, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root->fd < 0) {
    const int err = errno;
    return ToolStatus::Fail("cannot scan " + EscapePath(options_.root) + ": " +
                            (err == ENOTDIR ? std::string("not a folder") : Reason(err)));
  }
  if (!options_.as.empty() && options_.as[0] != '/')
    return ToolStatus::Fail("--as needs an absolute path: " + EscapePath(options_.as));
  recordedRoot_ = NormalizeAbsolute(options_.as.empty() ? scannedRoot_ : options_.as);

  WalkEntry rootEntry;
  if (const int err = StatAt(root->fd, "", AT_EMPTY_PATH, rootEntry); err != 0)
    return ToolStatus::Fail("cannot scan " + EscapePath(options_.root) + ": " + Reason(err));
  rootEntry.path = recordedRoot_;
  rootEntry.name = LastName(recordedRoot_);
  rootDevice_ = rootEntry.device;
  ToolStatus status = sink_.OnEntry(rootEntry);
  if (!status.ok)
    return status;

  // Depth first with an explicit stack, so a deep tree cannot exhaust the call stack. A folder stays
  // open while children of it wait on the stack: at most one open folder per level.
  std::vector<Pending> pending;
  status = ListFolder(root, rootEntry, "", pending);
  root.reset();
  while (status.ok && !pending.empty()) {
    Pending next = std::move(pending.back());
    pending.pop_back();
    auto folder = std::make_shared<Handle>(
        openat(next.parent->fd, next.entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    next.parent.reset();
    if (folder->fd < 0) {
      const int err = errno;
      // Gone, or replaced by something that is not a folder, since it was listed.
      if (err == ENOENT || err == ENOTDIR || err == ELOOP) {
        sink_.OnVanished(next.entry.path);
        continue;
      }
      status = sink_.OnEntry(next.entry);
      sink_.OnUnreadable(next.entry.path, Reason(err));
      continue;
    }
    // The values of the folder actually opened, not of what the name meant when it was listed.
    WalkEntry entry;
    if (StatAt(folder->fd, "", AT_EMPTY_PATH, entry) == 0) {
      entry.path = std::move(next.entry.path);
      entry.name = std::move(next.entry.name);
      next.entry = std::move(entry);
    }
    status = sink_.OnEntry(next.entry);
    if (status.ok)
      status = ListFolder(folder, next.entry, next.relative, pending);
  }
  return status;
}

ToolStatus TreeWalker::ListFolder(const std::shared_ptr<Handle>& handle, const WalkEntry& folder,
                                  const std::string& relative, std::vector<Pending>& pending) {
  // The names are read straight into the walker's own buffer through the folder's descriptor, whose
  // offset no *at call looks at: no second descriptor and no DIR to allocate per folder.
  bool incomplete = false;
  // A regular file is left to a sink that examines it itself only once an entry of this folder could be
  // examined: a folder that can be listed but not searched is reported here, once, as it is otherwise.
  const bool examinesFiles = sink_.ExaminesRegularFiles();
  bool examinedOne = false;
  WalkEntry child;
  child.folderFd = handle->fd;
  child.folderHold = handle;
  for (;;) {
    const ssize_t listed = getdents64(handle->fd, listing_.data(), listing_.size() * sizeof(listing_[0]));
    if (listed <= 0) {
      if (listed < 0 && !incomplete)
        sink_.OnUnreadable(folder.path, Reason(errno));
      return ToolStatus::Ok();
    }
    for (ssize_t at = 0; at < listed;) {
      const auto* found =
          reinterpret_cast<const dirent64*>(reinterpret_cast<const char*>(listing_.data()) + at);
      at += found->d_reclen;
      const char* name = found->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
        continue;
      child.name = name;
      // The relative path serves only the patterns; without any, it is never built.
      std::string childRelative;
      if (!options_.excludes.empty()) {
        childRelative = relative.empty() ? child.name : relative + "/" + child.name;
        if (IsExcluded(childRelative, child.name))
          continue;
      }
      if (IsOwnFile(folder, child.name))
        continue;
      // Built in place: a file costs the walk no allocation once its strings have grown.
      JoinPath(folder.path, child.name, child.path);
      child.examined = !(found->d_type == DT_REG && examinedOne && examinesFiles);
      if (!child.examined) {
        child.folder = false;
        child.mode = S_IFREG;
      } else if (const int err = StatAt(handle->fd, name, 0, child); err != 0) {
        if (err == ENOENT) {
          sink_.OnVanished(child.path);
        } else if (!incomplete) {
          // A folder that can be read but not searched lists names whose status cannot be read.
          incomplete = true;
          sink_.OnUnreadable(folder.path, Reason(err));
        }
        continue;
      }
      examinedOne = true;  // the folder can be searched
      if (child.folder && !(options_.oneFileSystem && child.device != rootDevice_)) {
        pending.push_back({handle, std::move(childRelative), child});
        pending.back().entry.folderFd = -1;  // its parent's descriptor may be closed when it is opened
        pending.back().entry.folderHold.reset();
        continue;
      }
      // A file, or the mount point of another file system recorded without its content.
      ToolStatus status = sink_.OnEntry(child);
      if (!status.ok)
        return status;
    }
  }
}

ToolStatus ScanIntoFile(const ScanOptions& options, const std::string& file, ScanInfo& info) {
  info = ScanInfo();
  info.startNs = NowNs();
  ProgressLine progress(options.progress);
  uint64_t folders = 0, files = 0, skipped = 0;
  std::vector<std::string> digestChunks;
  {
    FSDB::CScanDatabase database(file, options.layout, false);
    database.SetSingleThreaded(true);   // this thread alone drives it, below
    database.SetJournalInMemory(true);  // `file` is thrown away unless the scan finishes
    CYaError error = database.Open(false);
    if (error.IsError())
      return FromLibraryError(error, "cannot write", options.database);
    error = database.SetBulkInsertMode(true);
    if (error.IsError())
      return FromLibraryError(error, "cannot write", options.database);
    std::unique_ptr<DigestIndex> previous;
    if (options.hash != DigestAlgorithm::kNone && !options.reuse.empty()) {
      const ToolStatus loaded = LoadPreviousDigests(options.reuse, options.hash, previous);
      if (!loaded.ok)
        return loaded;
    }
    DatabaseWriter writer(database, options, progress);
    // The walk runs on a thread of its own and hands batches over to this thread, the only one that
    // drives the database; while one waits for the file system the other writes.
    EntryQueue walkedQueue(FormingSink::kQueuedBatches);
    FormingSink sink(options, previous.get(), walkedQueue);
    TreeWalker walker(options, {options.database, file}, sink);
    ToolStatus walked;
    std::thread walking([&] {
      try {
        walked = walker.Walk();
      } catch (const std::exception& e) {
        walked = ToolStatus::Fail(std::string("cannot scan: ") + e.what());
      }
      sink.Finish();
      // This core is free now: what the database thread wrote so far can go to the disk meanwhile.
      StartWriteback(file);
    });
    // Also on an exception of this thread: the walk must end before what it uses goes.
    const JoinedWalk joinedWalk{walkedQueue, walking};
    ToolStatus status;
    EntryQueue::Batch batch;
    while (status.ok) {
      // With nothing from the walk yet, this thread hashes a file rather than wait.
      if (!walkedQueue.TryPop(batch)) {
        bool helped = false;
        status = writer.Help(helped);
        if (helped)
          continue;
        if (!walkedQueue.Pop(batch))
          break;
      }
      for (size_t i = 0; i < batch.used && status.ok; ++i)
        status = writer.Write(batch.entries[i]);
      if (status.ok)
        status = writer.EndBatch();
      walkedQueue.Recycle(std::move(batch));
    }
    joinedWalk.End();  // a failed write stops the walk at its next batch
    if (status.ok)
      status = walked;
    if (status.ok)
      status = writer.Finish();
    progress.Clear();
    if (!status.ok)
      return status;
    // Close writes the queued files and rebuilds the index, so its failure is the scan's failure.
    error = database.Close();
    if (error.IsError())
      return FromLibraryError(error, "cannot write", options.database);
    folders = writer.folders();
    files = writer.files();
    skipped = writer.skipped();
    const DigestCounts& digests = writer.digests();
    info.bytesRead = digests.bytesRead;
    info.filesHashed = digests.hashed;
    info.filesReused = digests.reused;
    info.unreadableFiles = digests.unreadable;
    info.unreadable = std::move(writer.unreadable());
    digestChunks = writer.index().TakeChunks();
    info.root = walker.recordedRoot();
    info.scannedRoot = walker.scannedRoot();
  }
  info.hasToolTable = true;
  info.layout = options.layout;
  info.toolVersion = ToolVersion();
  info.timeUnit = "ns";
  char host[256] = {};
  if (gethostname(host, sizeof(host) - 1) == 0)
    info.host = host;
  info.endNs = NowNs();
  info.folders = folders;
  info.files = files;
  info.skipped = skipped;
  info.excludes = options.excludes;
  info.oneFileSystem = options.oneFileSystem;
  info.select = options.select;
  info.hash = DigestAlgorithmName(options.hash);
  return WriteScanInfo(file, info, digestChunks);
}

ToolStatus ScanToDatabase(const ScanOptions& options, ScanInfo& info) {
  // Replacing is fine for an earlier scan, never for a file of something else given by mistake.
  struct stat st;
  if (stat(options.database.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode))
      return ToolStatus::Fail("cannot write " + EscapePath(options.database) + ": " + Reason(EISDIR));
    ScanInfo existing;
    if (st.st_size != 0 && !ReadScanInfo(options.database, existing).ok)
      return ToolStatus::Fail("refusing to replace " + EscapePath(options.database) +
                              ": it is not an fsdb database");
  }
  (void)TempDatabaseFile::RemoveStale(options.database);  // best effort: a leftover costs only space
  TempDatabaseFile temp;
  ToolStatus status = temp.Create(options.database);
  if (!status.ok)
    return status;
  status = ScanIntoFile(options, temp.path(), info);
  if (!status.ok)
    return status;
  return temp.Commit();
}

std::string SummaryLine(const ScanInfo& info, const std::string& databasePath) {
  const double seconds = static_cast<double>(info.endNs - info.startNs) / 1e9;
  struct stat st;
  const double size = stat(databasePath.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0;
  char line[512];
  std::snprintf(line, sizeof(line),
                "%llu folders, %llu files, %llu skipped in %.2f s (%.0f entries/s), database %.1f %s",
                static_cast<unsigned long long>(info.folders), static_cast<unsigned long long>(info.files),
                static_cast<unsigned long long>(info.skipped), seconds,
                seconds > 0 ? static_cast<double>(info.folders + info.files) / seconds : 0.0,
                size >= 1048576.0 ? size / 1048576.0 : size / 1024.0, size >= 1048576.0 ? "MiB" : "KiB");
  std::string summary = "scanned " + EscapePath(info.root) + ": " + line;
  if (HasDigests(info)) {
    std::snprintf(line, sizeof(line),
                  "; %s: %llu files hashed, %llu reused, %llu unreadable, %llu bytes read (%.1f MiB/s)",
                  info.hash.c_str(), static_cast<unsigned long long>(info.filesHashed),
                  static_cast<unsigned long long>(info.filesReused),
                  static_cast<unsigned long long>(info.unreadableFiles),
                  static_cast<unsigned long long>(info.bytesRead),
                  seconds > 0 ? static_cast<double>(info.bytesRead) / seconds / 1048576.0 : 0.0);
    summary += line;
  }
  return summary;
}

}  // namespace fsdbtool
