// BENCHMARK, not a test: the least a hashed scan of a tree can cost on this machine. It lists the regular
// files of TREE first (not timed), then hashes every one of them with the tool's own HashFile on as many
// threads as a scan's pool uses, opening each relative to its folder as the scan does, and records nothing:
// no walk, no database, no status. What a hashed scan costs beyond this is the walk and the recording, which
// the plain scan measures on its own.
//
// Prints one line, "WALL USER SYS", in seconds, for the hashing alone (bench/digest_vs_sha256sum.sh reads
// it), and a summary on stderr.
//
// Usage: fsdb_digest_floor TREE sha256|xxh128
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Digest.h"

namespace {

// A folder and the names of the regular files in it: the scan opens each file by name relative to its
// folder, which it holds open, so a path is looked up one name at a time here too.
struct Folder {
  std::string path;
  std::vector<std::string> names;
};

std::vector<Folder>* listed = nullptr;  // nftw's callback takes no context

int ListRegular(const char* path, const struct stat* status, int type, struct FTW* where) {
  if (type != FTW_F || !S_ISREG(status->st_mode))
    return 0;  // unreadable folders are passed over, as the scan counts them apart
  const std::string folder(path, static_cast<size_t>(where->base));
  if (listed->empty() || listed->back().path != folder)
    listed->push_back({folder, {}});
  listed->back().names.emplace_back(path + where->base);
  return 0;
}

double Seconds(const struct timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  fsdbtool::DigestAlgorithm algorithm = fsdbtool::DigestAlgorithm::kNone;
  if (argc != 3 || !fsdbtool::ParseDigestAlgorithm(argv[2], algorithm) ||
      algorithm == fsdbtool::DigestAlgorithm::kNone) {
    std::fprintf(stderr, "usage: %s TREE sha256|xxh128\n", argv[0]);
    return 2;
  }
  std::vector<Folder> folders;
  listed = &folders;
  if (nftw(argv[1], ListRegular, 64, FTW_PHYS) != 0) {
    std::perror(argv[1]);
    return 1;
  }

  size_t files = 0;
  for (const Folder& folder : folders)
    files += folder.names.size();

  // A thread takes a folder at a time, opens it as the walk does, and hashes its files by name.
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> bytes{0}, failed{0};
  auto hash = [&] {
    fsdbtool::DigestBuffer buffer;
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < folders.size();) {
      const fsdbtool::UniqueFd folder(open(folders[i].path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      for (const std::string& name : folders[i].names) {
        const fsdbtool::DigestResult result = fsdbtool::HashFile(
            folder.Get() >= 0 ? folder.Get() : AT_FDCWD,
            (folder.Get() >= 0 ? name : folders[i].path + name).c_str(), algorithm, buffer);
        bytes.fetch_add(result.bytesRead, std::memory_order_relaxed);
        if (!result.IsOk())
          failed.fetch_add(1, std::memory_order_relaxed);
      }
    }
  };

  struct rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads(fsdbtool::DigestPool::DefaultThreads() - 1);
  for (std::thread& thread : threads)
    thread = std::thread(hash);
  hash();  // the calling thread hashes too, as a scan's database thread does when it would wait
  for (std::thread& thread : threads)
    thread.join();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  getrusage(RUSAGE_SELF, &after);

  std::printf("%.3f %.3f %.3f\n", wall, Seconds(after.ru_utime) - Seconds(before.ru_utime),
              Seconds(after.ru_stime) - Seconds(before.ru_stime));
  std::fprintf(stderr, "%s alone: %zu files, %llu bytes, %llu not hashed, %.3f s on %zu threads\n", argv[2],
               files, static_cast<unsigned long long>(bytes.load()),
               static_cast<unsigned long long>(failed.load()), wall, threads.size() + 1);
  return 0;
}
