// Content digests: agreement with sha256sum and `xxhsum -H2`, refusal of whatever is not the regular
// file the walk listed, the page cache left as found, a file shrinking under a mapping, the pool's
// bookkeeping, and the metadata attribute that carries a digest.

#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "../tools/Digest.h"
#include "../tools/DigestIndex.h"
#include "../tools/ToolMetadata.h"
#include "TestUtil.h"

namespace fsdbtool {
namespace {

using fsdbtest::TempDir;

constexpr uint64_t kMiB = uint64_t{1} << 20;

// The first word that `command` prints, or "" when it fails.
std::string FirstWord(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  char chunk[256];
  while (pipe != nullptr && std::fgets(chunk, sizeof(chunk), pipe) != nullptr)
    output += chunk;
  return pipe == nullptr || pclose(pipe) != 0 ? "" : output.substr(0, output.find_first_of(" \t\n"));
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string RandomBytes(size_t size, std::mt19937_64& random) {
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(random());
  return bytes;
}

struct AlgorithmCase {
  DigestAlgorithm algorithm;
  const char* referenceTool;  // prints the same digest in its first word
};

class DigestAlgorithmTest : public testing::TestWithParam<AlgorithmCase> {
 protected:
  DigestResult Hash(const std::string& path, const ExpectedFile* expected = nullptr) {
    return HashFile(AT_FDCWD, path.c_str(), GetParam().algorithm, buffer_, expected);
  }
  std::string Reference(const std::string& path) {
    return FirstWord(std::string(GetParam().referenceTool) + " -- '" + path + "'");
  }

  TempDir dir_;
  DigestBuffer buffer_;
};

// Sizes around the read size (a read that fills the buffer is never taken for the last one) and the
// hashes' own block sizes, plus random ones; half the files are reached through a folder descriptor, as
// the walk hands them over.
TEST_P(DigestAlgorithmTest, AgreesWithReferenceToolOnEveryFileOfATree) {
  std::mt19937_64 random(42);
  constexpr size_t kRead = DigestBuffer::kReadSize;
  std::vector<size_t> sizes = {0,         1,     63,        64,        65,       240,           4096,
                               kRead - 1, kRead, kRead + 1, 2 * kRead, kMiB + 1, 3 * kMiB + 17, 9 * kMiB + 5};
  for (int i = 0; i < 6; ++i)
    sizes.push_back(random() % (2 * kMiB));
  const UniqueFd folder(open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_GE(folder.Get(), 0);
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = "file" + std::to_string(i);
    WriteFile(dir_.File(name), RandomBytes(sizes[i], random));
    const DigestResult result = i % 2 == 0
                                    ? Hash(dir_.File(name))
                                    : HashFile(folder.Get(), name.c_str(), GetParam().algorithm, buffer_);
    ASSERT_TRUE(result.IsOk()) << name << ": " << result.error;
    EXPECT_EQ(result.Digest(), Reference(dir_.File(name))) << "size " << sizes[i];
    EXPECT_EQ(result.bytesRead, sizes[i]);
  }
}

// Reading 3 GiB of holes takes seconds for either side; the cache must not keep them either.
TEST_P(DigestAlgorithmTest, HashesA3GiBSparseFile) {
  const std::string path = dir_.File("sparse");
  WriteFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(3 * 1024 * kMiB)), 0);
  const DigestResult result = Hash(path);
  ASSERT_TRUE(result.IsOk()) << result.error;
  EXPECT_EQ(result.bytesRead, 3 * 1024 * kMiB);
  EXPECT_EQ(result.Digest(), Reference(path));
}

// Root reads anything, so the file is hashed by a child that has become nobody.
TEST_P(DigestAlgorithmTest, UnreadableFileGivesAnErrorAndNoDigest) {
  const std::string path = dir_.File("secret");
  WriteFile(path, "not for everyone");
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  if (geteuid() != 0) {
    const DigestResult result = Hash(path);
    EXPECT_EQ(result.errorNumber, EACCES) << result.error;
    EXPECT_TRUE(result.Digest().empty());
    return;
  }
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only async-signal-safe work would be strictly proper here; the test process has no other threads.
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      _exit(2);
    const DigestResult result = Hash(path);
    const std::string report = std::to_string(result.errorNumber) + " " + std::string(result.Digest());
    _exit(write(writeEnd.Get(), report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 3);
  }
  writeEnd.Reset();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2)
    GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
  char report[128] = {};
  ASSERT_GT(read(readEnd.Get(), report, sizeof(report) - 1), 0);
  EXPECT_EQ(std::string(report), std::to_string(EACCES) + " ");  // the error, and no digest after it
}

// What the walk listed as a file may be something else by the time it is hashed; none of it is
// followed, opened for long or hashed.
TEST_P(DigestAlgorithmTest, RefusesWhatReplacedTheFile) {
  WriteFile(dir_.File("target"), "content");
  ASSERT_EQ(symlink("target", dir_.File("link").c_str()), 0);
  ASSERT_EQ(mkdir(dir_.File("folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0644), 0);  // opening it for reading must not wait for a writer
  const struct {
    const char* name;
    int errorNumber;
  } cases[] = {{"link", ELOOP}, {"folder", 0}, {"fifo", 0}, {"missing", ENOENT}};
  for (const auto& replaced : cases) {
    const DigestResult result = Hash(dir_.File(replaced.name));
    EXPECT_FALSE(result.IsOk()) << replaced.name;
    EXPECT_EQ(result.errorNumber, replaced.errorNumber) << replaced.name << ": " << result.error;
    EXPECT_TRUE(result.Digest().empty()) << replaced.name;
  }
}

// A file the walk listed without reading its status is examined where it is opened: what is recorded is
// the status of what was read, or of whatever took the name, and only a regular file gets a digest.
TEST_P(DigestAlgorithmTest, ExaminesTheListedFileThroughWhatItOpens) {
  WriteFile(dir_.File("file"), "content");
  ASSERT_EQ(symlink("file", dir_.File("link").c_str()), 0);
  ASSERT_EQ(mkdir(dir_.File("folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0644), 0);
  const UniqueFd folder(open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_GE(folder.Get(), 0);
  const auto examine = [&](const char* name, FileStatus& status, DigestResult& result,
                           const ExpectedFile& expected = {}) {
    return ExamineAndHash(folder.Get(), name, expected, GetParam().algorithm, buffer_, nullptr, status,
                          result);
  };
  FileStatus status;
  DigestResult result;

  struct stat listed;
  ASSERT_EQ(stat(dir_.File("file").c_str(), &listed), 0);
  ASSERT_EQ(examine("file", status, result), 0);
  EXPECT_EQ(result.Digest(), Reference(dir_.File("file"))) << result.error;
  EXPECT_EQ(status.inode, listed.st_ino);
  EXPECT_EQ(status.size, 7);
  EXPECT_EQ(status.modificationNs, Nanoseconds(listed.st_mtim));
  EXPECT_TRUE(S_ISREG(status.mode));

  // Something else in its place is recorded as what it is, without a digest; a link is not followed.
  const struct {
    const char* name;
    mode_t type;
    int errorNumber;
  } others[] = {{"link", S_IFLNK, ELOOP}, {"fifo", S_IFIFO, 0}};
  for (const auto& other : others) {
    ASSERT_EQ(examine(other.name, status, result), 0) << other.name;
    EXPECT_EQ(status.mode & S_IFMT, other.type) << other.name;
    EXPECT_FALSE(result.IsOk()) << other.name;
    EXPECT_EQ(result.errorNumber, other.errorNumber) << other.name << ": " << result.error;
    EXPECT_TRUE(result.Digest().empty()) << other.name;
  }
  // Gone, or a folder the walk did not list: nothing to record.
  EXPECT_EQ(examine("missing", status, result), ENOENT);
  EXPECT_EQ(examine("folder", status, result), EISDIR);
  EXPECT_TRUE(result.Digest().empty());

  // What the walk saw, when it looked, must still be there.
  const ExpectedFile other{listed.st_ino + 1, listed.st_size};
  ASSERT_EQ(examine("file", status, result, other), 0);
  EXPECT_EQ(result.error, "changed since it was listed");
  EXPECT_EQ(status.inode, listed.st_ino);
}

// A file renamed over the listed one, or rewritten to another size, is not hashed under the old listing.
TEST_P(DigestAlgorithmTest, RefusesAFileThatIsNotTheOneListed) {
  const std::string path = dir_.File("file");
  WriteFile(path, "listed");
  struct stat listed;
  ASSERT_EQ(stat(path.c_str(), &listed), 0);
  const ExpectedFile asListed{listed.st_ino, listed.st_size};
  EXPECT_TRUE(Hash(path, &asListed).IsOk());

  WriteFile(path, "listed, then grown");
  EXPECT_EQ(Hash(path, &asListed).error, "changed since it was listed");

  WriteFile(dir_.File("other"), "listed");
  ASSERT_EQ(rename(dir_.File("other").c_str(), path.c_str()), 0);
  EXPECT_EQ(Hash(path, &asListed).error, "changed since it was listed");
}

// /proc files say they are empty and are not, /sys files say 4096 bytes and hold a few: the bytes read
// must match the size that is recorded, also when a short read seems to end the file early.
TEST_P(DigestAlgorithmTest, RefusesAFileWhoseSizeBeliesItsContent) {
  struct Case {
    const char* path;
    bool sizeIsZero;
  } cases[] = {{"/proc/self/status", true}, {"/sys/kernel/mm/transparent_hugepage/enabled", false}};
  int tried = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    struct stat status;
    if (stat(c.path, &status) != 0 || (status.st_size == 0) != c.sizeIsZero)
      continue;
    ++tried;
    const DigestResult result = Hash(c.path);
    EXPECT_EQ(result.error, "changed while being read");
    EXPECT_GT(result.bytesRead, 0u);
    EXPECT_NE(result.bytesRead, static_cast<uint64_t>(status.st_size));
    EXPECT_TRUE(result.Digest().empty());
  }
  if (tried == 0)
    GTEST_SKIP() << "no /proc or /sys file whose size belies its content here";
}

INSTANTIATE_TEST_SUITE_P(Algorithms, DigestAlgorithmTest,
                         testing::Values(AlgorithmCase{DigestAlgorithm::kSha256, "sha256sum"},
                                         AlgorithmCase{DigestAlgorithm::kXxh128, "xxhsum -H2"}),
                         [](const testing::TestParamInfo<AlgorithmCase>& info) {
                           return std::string(DigestAlgorithmName(info.param.algorithm));
                         });

TEST(DigestAlgorithmNameTest, ReadsBackWhatItWritesAndNothingElse) {
  for (DigestAlgorithm algorithm :
       {DigestAlgorithm::kNone, DigestAlgorithm::kSha256, DigestAlgorithm::kXxh128}) {
    DigestAlgorithm parsed =
        algorithm == DigestAlgorithm::kNone ? DigestAlgorithm::kSha256 : DigestAlgorithm::kNone;
    EXPECT_TRUE(ParseDigestAlgorithm(DigestAlgorithmName(algorithm), parsed));
    EXPECT_EQ(parsed, algorithm);
  }
  for (const char* wrong : {"", "SHA256", "sha-256", "xxh64", "md5", "sha256 "}) {
    DigestAlgorithm parsed = DigestAlgorithm::kXxh128;
    EXPECT_FALSE(ParseDigestAlgorithm(wrong, parsed)) << wrong;
    EXPECT_EQ(parsed, DigestAlgorithm::kXxh128);
  }
}

// A file that shrinks while it is hashed, from a mapping or not, never crashes the hash and never gets
// a digest of a mix: only of its whole content, or of what is left when the truncation came before the
// hash began (a slow start, as under ThreadSanitizer, lets it). The truncation comes at a random moment
// of each round.
TEST_P(DigestAlgorithmTest, AFileTruncatedWhileHashedGivesAnErrorOrTheWholeDigest) {
  std::mt19937_64 random(11);
  const std::string path = dir_.File("shrinking");
  const std::string content = RandomBytes(24 * kMiB, random);
  WriteFile(path, content.substr(0, kMiB / 2));
  const std::string head = std::string(Hash(path).Digest());
  WriteFile(path, content);
  const std::string whole = std::string(Hash(path).Digest());
  ASSERT_FALSE(whole.empty());
  ASSERT_FALSE(head.empty());
  int errors = 0;
  for (int round = 0; round < 12; ++round) {
    WriteFile(path, content);  // written, hence in the page cache: hashed from a mapping
    const auto delay = std::chrono::microseconds(random() % 4000);
    std::thread truncating([&] {
      std::this_thread::sleep_for(delay);
      EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(kMiB / 2)), 0);
    });
    const DigestResult result = Hash(path);
    truncating.join();
    if (result.IsOk()) {
      EXPECT_TRUE(result.Digest() == whole || (result.Digest() == head && result.bytesRead == kMiB / 2))
          << "round " << round << ": " << result.Digest();
    } else {
      ++errors;
      EXPECT_EQ(result.error, "changed while being read") << "round " << round;
      EXPECT_TRUE(result.Digest().empty());
    }
  }
  RecordProperty("errors", errors);
}

// The digests of a scan go out as stored blobs and come back as a table that finds each file only by all
// four of its values: over several blobs, for both algorithms, with inodes that crowd the table (many
// consecutive ones and many that share their low bits) and hard links recorded twice.
TEST(DigestIndexTest, FindsEveryRecordedFileByItsWholeIdentityAndNothingElse) {
  for (const DigestAlgorithm algorithm : {DigestAlgorithm::kSha256, DigestAlgorithm::kXxh128}) {
    SCOPED_TRACE(DigestAlgorithmName(algorithm));
    const size_t hexSize = 2 * DigestBytes(algorithm);
    std::mt19937_64 random(7);
    std::vector<std::pair<FileIdentity, std::string>> files;
    for (uint64_t i = 0; i < DigestIndexWriter::kChunkRecords + 1000; ++i) {
      FileIdentity file;
      file.inode = i % 2 == 0 ? 1000 + i : (i << 32) | 5;  // the same low bits for half of them
      file.size = static_cast<int64_t>(random() % 100000);
      file.modificationNs = static_cast<int64_t>(random() >> 1);
      file.changeNs = -static_cast<int64_t>(random() >> 2);  // before 1970 is a time like any other
      std::string hex(hexSize, '0');
      for (char& digit : hex)
        digit = "0123456789abcdef"[random() % 16];
      files.emplace_back(file, hex);
    }
    files.push_back(files[3]);  // a hard link: the same file under a second name

    DigestIndexWriter writer(algorithm);
    for (const auto& [file, hex] : files)
      writer.Add(file, hex);
    FileIdentity ignored;
    writer.Add(ignored, std::string(hexSize - 2, '0'));        // too short
    writer.Add(ignored, std::string(hexSize - 1, '0') + "A");  // upper case is not what we write
    EXPECT_EQ(writer.records(), files.size());
    const std::vector<std::string> chunks = writer.TakeChunks();
    ASSERT_EQ(chunks.size(), 2u);

    DigestIndex index(algorithm);
    for (const std::string& chunk : chunks)
      ASSERT_TRUE(index.AddChunk(reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size()));
    index.Seal();
    EXPECT_EQ(index.size(), files.size());
    std::string found;
    for (const auto& [file, hex] : files) {
      ASSERT_TRUE(index.Find(file, found)) << file.inode;
      EXPECT_EQ(found, hex);
      for (int field = 0; field < 4; ++field) {
        FileIdentity other = file;
        int64_t* values[] = {nullptr, &other.size, &other.modificationNs, &other.changeNs};
        if (field == 0)
          other.inode += 2;  // another recorded inode, or none
        else
          *values[field] += 1;
        if (index.Find(other, found)) {
          EXPECT_EQ(field, 0) << "a file that differs in one value was found";
          EXPECT_NE(found, hex);
        }
      }
    }

    // A blob cut short or of the other algorithm's record size is refused whole.
    DigestIndex damaged(algorithm);
    EXPECT_FALSE(
        damaged.AddChunk(reinterpret_cast<const unsigned char*>(chunks[1].data()), chunks[1].size() - 1));
    damaged.Seal();
    EXPECT_EQ(damaged.size(), 0u);
    EXPECT_FALSE(damaged.Find(files[0].first, found));
  }
  DigestIndex none(DigestAlgorithm::kNone);
  const unsigned char record[48] = {};
  EXPECT_FALSE(none.AddChunk(record, sizeof(record)));
}

// The digest travels as an attribute of the document's Filesystem element: what AddToolAttributes writes
// reads back, whatever the buffer held before, and only hex digits inside that element's start tag count.
TEST(ToolMetadataTest, WritesAndReadsBackTheDigestAndOwnerAndNothingElse) {
  const std::string formed = "<Metadata><Filesystem Attributes=\"33188\" Links=\"1\"/></Metadata>";
  const std::string digest(64, 'e');
  std::string buffer(300, 'x');  // a reused buffer's old content must not leak into the next document
  AddToolAttributes(formed, 4294967295u, 0, digest, buffer);
  EXPECT_EQ(buffer,
            "<Metadata><Filesystem Attributes=\"33188\" Links=\"1\" Uid=\"4294967295\" Gid=\"0\" Digest=\"" +
                digest + "\"/></Metadata>");
  EXPECT_EQ(buffer, AddToolAttributes(formed, 4294967295u, 0, digest));
  EXPECT_EQ(DigestIn(buffer), digest);
  const Ownership owner = ReadOwnership(buffer);
  EXPECT_TRUE(owner.known);
  EXPECT_EQ(owner.uid, 4294967295u);
  AddToolAttributes(formed, 7, 8, {}, buffer);
  EXPECT_TRUE(DigestIn(buffer).empty());
  EXPECT_EQ(ReadOwnership(buffer).gid, 8u);

  const struct {
    const char* document;
    const char* digest;  // what DigestIn finds
  } cases[] = {
      {"<Metadata><Filesystem Links=\"1\" Digest=\"0a9f\"/></Metadata>", "0a9f"},
      {"<Metadata><Filesystem Digest=\"0a9f\"></Filesystem></Metadata>", "0a9f"},
      {"<Metadata><Filesystem Digest=\"0A9F\"/></Metadata>", ""},          // upper case is not ours
      {"<Metadata><Filesystem Digest=\"0a9g\"/></Metadata>", ""},          // not hex
      {"<Metadata><Filesystem Digest=\"\"/></Metadata>", ""},              // empty
      {"<Metadata><Filesystem Digest=\"0a9f/></Metadata>", ""},            // no closing quote in the tag
      {"<Metadata><Filesystem/><Other Digest=\"0a9f\"/></Metadata>", ""},  // another element's
      {"<Metadata><Other Digest=\"0a9f\"/></Metadata>", ""},               // no Filesystem element
      {"<Metadata><Filesystem XDigest=\"0a9f\"/></Metadata>", ""},         // another attribute
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DigestIn(c.document), c.digest) << c.document;
  EXPECT_FALSE(ReadOwnership("<Metadata><Filesystem Uid=\"4294967296\" Gid=\"0\"/></Metadata>").known);
}

// Which pages of `path` the page cache holds (as root, mincore sees the cache itself).
std::vector<bool> HeldPages(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status;
  if (fd.Get() < 0 || fstat(fd.Get(), &status) != 0 || status.st_size == 0)
    return {};
  const size_t size = static_cast<size_t>(status.st_size);
  void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.Get(), 0);
  if (map == MAP_FAILED)
    return {};
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> flags((size + page - 1) / page);
  std::vector<bool> held(flags.size(), false);
  if (mincore(map, size, flags.data()) == 0)
    for (size_t i = 0; i < flags.size(); ++i)
      held[i] = (flags[i] & 1) != 0;
  munmap(map, size);
  return held;
}

// Pages of `path` held by the page cache, out of all its pages.
std::pair<size_t, size_t> ResidentPages(const std::string& path) {
  const std::vector<bool> held = HeldPages(path);
  return {static_cast<size_t>(std::count(held.begin(), held.end(), true)), held.size()};
}

// Whether this kernel tells which parts of a file its cache holds (cachestat, Linux 6.5).
bool HasCachestat(int fd) {
  uint64_t range[2] = {0, 0}, counts[5] = {};
  return syscall(451, fd, range, counts, 0) == 0;
}

TEST(DigestCacheTest, DropsWhatItBroughtInAndKeepsWhatWasThere) {
  if (geteuid() != 0)
    GTEST_SKIP() << "mincore reports the page cache only to the file's owner or root";
  TempDir dir;
  std::mt19937_64 random(7);
  const std::string cold = dir.File("cold"), warm = dir.File("warm");
  WriteFile(cold, RandomBytes(8 * kMiB, random));
  WriteFile(warm, RandomBytes(8 * kMiB, random));
  for (const std::string& path : {cold, warm}) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(fdatasync(fd.Get()), 0);
    ASSERT_EQ(posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_DONTNEED), 0);
  }
  if (ResidentPages(cold).first != 0)
    GTEST_SKIP() << "this file system keeps pages that were asked to be dropped (tmpfs?)";
  ASSERT_FALSE(FirstWord("cat '" + warm + "' >/dev/null && echo read").empty());
  const size_t warmPages = ResidentPages(warm).second;
  ASSERT_EQ(ResidentPages(warm).first, warmPages);

  DigestBuffer buffer;
  for (const std::string& path : {cold, warm})
    ASSERT_TRUE(HashFile(AT_FDCWD, path.c_str(), DigestAlgorithm::kXxh128, buffer).IsOk()) << path;
  EXPECT_EQ(ResidentPages(cold).first, 0u) << "a cold file stays in the cache after hashing";
  EXPECT_EQ(ResidentPages(warm).first, warmPages) << "hashing evicted a file that was in the cache";
}

// A file of which the cache holds some parts and lacks others is hashed whole, from a mapping as far as
// the cache holds it from the start and read from there; afterwards the cache holds exactly the parts it
// held before: what the reads brought in is dropped, and nothing that was there, also past a part that
// was not. The kernel tells which parts it holds through cachestat (Linux 6.5); without it, everything
// past the first missing part counts as brought in, so only the cold tail is checked there.
TEST(DigestCacheTest, HashesAFileTheCacheHoldsInPartAndLeavesTheCacheAsFound) {
  if (geteuid() != 0)
    GTEST_SKIP() << "mincore reports the page cache only to the file's owner or root";
  TempDir dir;
  std::mt19937_64 random(8);
  const std::string path = dir.File("parts");
  WriteFile(path, RandomBytes(24 * kMiB, random));
  bool cachestat;
  {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(fdatasync(fd.Get()), 0);
    ASSERT_EQ(posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_DONTNEED), 0);
    cachestat = HasCachestat(fd.Get());
  }
  if (ResidentPages(path).first != 0)
    GTEST_SKIP() << "this file system does not drop pages on request (tmpfs?)";
  if (!cachestat)
    std::cerr << "[ NOTE     ] no cachestat here: the cold middle case is left out\n";
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t pages = 24 * kMiB / page;

  struct Layout {
    const char* name;
    uint64_t coldFrom, coldTo;  // the part the cache lacks
  };
  std::vector<Layout> layouts = {{"cold tail", 8 * kMiB, 24 * kMiB}};
  if (cachestat)
    layouts.push_back({"cold middle", 8 * kMiB, 16 * kMiB});
  for (const Layout& layout : layouts) {
    for (const AlgorithmCase& algorithm : {AlgorithmCase{DigestAlgorithm::kSha256, "sha256sum"},
                                           AlgorithmCase{DigestAlgorithm::kXxh128, "xxhsum -H2"}}) {
      SCOPED_TRACE(std::string(layout.name) + ", " + DigestAlgorithmName(algorithm.algorithm));
      // The reference tool reads the whole file into the cache: the layout is set up again each time.
      const std::string reference = FirstWord(std::string(algorithm.referenceTool) + " -- '" + path + "'");
      std::vector<bool> expected(pages, true);
      {
        const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(posix_fadvise(fd.Get(), static_cast<off_t>(layout.coldFrom),
                                static_cast<off_t>(layout.coldTo - layout.coldFrom), POSIX_FADV_DONTNEED),
                  0);
      }
      for (size_t i = layout.coldFrom / page; i < layout.coldTo / page; ++i)
        expected[i] = false;
      ASSERT_EQ(HeldPages(path), expected) << "the cache did not take the layout";

      DigestBuffer buffer;
      const DigestResult result = HashFile(AT_FDCWD, path.c_str(), algorithm.algorithm, buffer);
      ASSERT_TRUE(result.IsOk()) << result.error;
      EXPECT_EQ(result.bytesRead, 24 * kMiB);
      EXPECT_EQ(result.Digest(), reference);
      const std::vector<bool> held = HeldPages(path);
      EXPECT_EQ(ResidentPages(path).first,
                static_cast<size_t>(std::count(expected.begin(), expected.end(), true)));
      EXPECT_TRUE(held == expected) << "a part that was held was dropped, or one brought in was kept";
    }
  }
}

// The SIGBUS that a page past the end of a truncated file raises ends only the guarded read.
struct Summing {
  uint64_t sum = 0;
  bool refuse = false;
  static bool Consume(void* context, const unsigned char* data, size_t size) {
    auto* summing = static_cast<Summing*>(context);
    for (size_t i = 0; i < size; ++i)
      summing->sum += data[i];
    return !summing->refuse;
  }
};

// A file of `size` bytes of 1s mapped whole; Data() is null when that failed.
class MappedOnes {
 public:
  MappedOnes(const std::string& path, size_t size) : size_(size) {
    WriteFile(path, std::string(size, '\1'));
    fd_.Reset(open(path.c_str(), O_RDWR | O_CLOEXEC));
    void* map = fd_.Get() < 0 ? MAP_FAILED : mmap(nullptr, size, PROT_READ, MAP_SHARED, fd_.Get(), 0);
    data_ = map == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(map);
  }
  ~MappedOnes() {
    if (data_ != nullptr)
      munmap(const_cast<unsigned char*>(data_), size_);
  }
  MappedOnes(const MappedOnes&) = delete;
  MappedOnes& operator=(const MappedOnes&) = delete;

  const unsigned char* Data() const { return data_; }
  int Fd() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
  const unsigned char* data_ = nullptr;
  const size_t size_;
};

TEST(ReadMappedTest, ReportsAFileThatShrankUnderTheMappingAndGoesOnAfterwards) {
  TempDir dir;
  const size_t size = 4 * kMiB;
  MappedOnes mapping(dir.File("file"), size);
  ASSERT_NE(mapping.Data(), nullptr);
  Summing whole;
  ASSERT_EQ(ReadMapped(mapping.Data(), size, &Summing::Consume, &whole), MappedRead::kOk);
  EXPECT_EQ(whole.sum, size);
  Summing refused{0, true};
  EXPECT_EQ(ReadMapped(mapping.Data(), size, &Summing::Consume, &refused), MappedRead::kFailed);

  ASSERT_EQ(ftruncate(mapping.Fd(), static_cast<off_t>(kMiB)), 0);
  // Twice, and on two threads at once: a guard is armed once per read and per thread.
  for (int round = 0; round < 2; ++round) {
    std::vector<std::future<MappedRead>> reads;
    std::vector<Summing> sums(2);
    for (Summing& sum : sums)
      reads.push_back(std::async(std::launch::async,
                                 [&] { return ReadMapped(mapping.Data(), size, &Summing::Consume, &sum); }));
    for (auto& read : reads)
      EXPECT_EQ(read.get(), MappedRead::kBusError) << "round " << round;
  }
  // The same thread again and again: a guard that left SIGBUS blocked would let the next one kill.
  for (int round = 0; round < 3; ++round) {
    Summing sum;
    EXPECT_EQ(ReadMapped(mapping.Data(), size, &Summing::Consume, &sum), MappedRead::kBusError);
  }
  Summing head;
  EXPECT_EQ(ReadMapped(mapping.Data(), kMiB, &Summing::Consume, &head), MappedRead::kOk);
  EXPECT_EQ(head.sum, kMiB);
}

// Outside a guarded read a SIGBUS is what it was before: the process ends (under a sanitizer its own
// handler reports it and ends the process).
TEST(ReadMappedDeathTest, ASigbusOutsideAGuardedReadStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  MappedOnes mapping(dir.File("file"), 2 * kMiB);
  ASSERT_NE(mapping.Data(), nullptr);
  Summing sum;
  ASSERT_EQ(ReadMapped(mapping.Data(), kMiB, &Summing::Consume, &sum),
            MappedRead::kOk);  // installs the guard
  ASSERT_EQ(ftruncate(mapping.Fd(), 0), 0);
  const auto endedBySigbus = [](int status) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return (WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) ||
           (WIFEXITED(status) && WEXITSTATUS(status) != 0);
#else
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
#endif
  };
  EXPECT_EXIT(
      {
        volatile unsigned char byte = mapping.Data()[kMiB];
        (void)byte;
        std::_Exit(0);
      },
      endedBySigbus, "");
  EXPECT_EXIT(
      {
        (void)raise(SIGBUS);
        std::_Exit(0);
      },
      endedBySigbus, "");
}

// A pool whose hasher holds every call at a gate until the test opens it (or the pool stops), keeping
// the largest in-flight count any call saw.
class GatedPool {
 public:
  GatedPool(unsigned threads, size_t maxInFlight)
      : pool(threads, maxInFlight,
             [this](const DigestJob& job, DigestBuffer&, const std::atomic<bool>& stop) {
               std::unique_lock<std::mutex> lock(mutex_);
               ++started_;
               changed_.notify_all();
               maxInFlight_ = std::max(maxInFlight_, pool.InFlight());
               changed_.wait(lock, [&] { return open_ || stop.load(); });
               DigestResult result;
               const unsigned char id = static_cast<unsigned char>(job.id);
               if (stop.load())
                 result.error = "cancelled";
               else
                 result.SetDigest(&id, 1);
               return result;
             }) {}
  // A test that ends with the gate closed must not leave the workers held at it.
  ~GatedPool() {
    pool.Stop();
    Open();
  }

  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void WaitStarted(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return started_ >= count; });
  }
  size_t MaxInFlight() {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxInFlight_;
  }
  bool Submit(uint64_t id) {
    DigestJob job;
    job.id = id;
    return pool.Submit(std::move(job));
  }

 private:
  std::mutex mutex_;  // guards the members below; taken before the pool's own lock, never after
  std::condition_variable changed_;
  bool open_ = false;
  size_t started_ = 0;
  size_t maxInFlight_ = 0;

 public:
  DigestPool pool;  // last, so that it stops before the gate goes
};

// Pops until nothing is in flight; fails the test on an id that comes back twice.
std::vector<DigestOutcome> DrainOnce(DigestPool& pool) {
  std::vector<DigestOutcome> outcomes;
  std::set<uint64_t> seen;
  DigestOutcome outcome;
  while (pool.Pop(outcome)) {
    EXPECT_TRUE(seen.insert(outcome.id).second) << "job " << outcome.id << " came back twice";
    outcomes.push_back(std::move(outcome));
  }
  return outcomes;
}

// Jobs submitted one by one and in groups (SubmitAll) come back once each, with the digest HashFile
// gives, never more than the bound in flight; the folder each job kept open is let go once it is done.
// The pool's bound on files in flight follows the descriptors the process may open, raising the soft
// limit as far as the hard one lets it. Run in a child, whose limits the other tests do not share; each
// check that fails sets a bit of its exit status.
TEST(DigestPoolTest, DescriptorBoundRaisesTheSoftLimitOnlyAsFarAsTheHardOne) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int failed = 0;
    const auto limitTo = [](rlim_t soft, rlim_t hard) {
      const struct rlimit limit = {soft, hard};
      return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    };
    const auto soft = [] {
      struct rlimit limit;
      return getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 0;
    };
    // The hard limit only goes down from here (raising it takes a privilege).
    struct rlimit start;
    if (getrlimit(RLIMIT_NOFILE, &start) != 0 || start.rlim_max < 1000)
      _exit(64);
    // Raised only to four times what is wanted.
    if (!limitTo(20, 1000) || DigestPool::DescriptorBound(100) != 100 || soft() != 400)
      failed |= 8;
    // Raised from 40 to the hard 100: a quarter of it.
    if (!limitTo(40, 100) || DigestPool::DescriptorBound(2048) != 25 || soft() != 100)
      failed |= 1;
    // Nothing to raise: a quarter of 40, and never under 8.
    if (!limitTo(40, 40) || DigestPool::DescriptorBound(2048) != 10 || DigestPool::DescriptorBound(2) != 8)
      failed |= 2;
    // Enough already: all that is wanted, and the limit left as it was.
    if (!limitTo(40, 40) || DigestPool::DescriptorBound(9) != 9 || soft() != 40)
      failed |= 4;
    _exit(failed);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 64)
    GTEST_SKIP() << "the hard limit on descriptors is under 1,000 here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks, as bits: " << WEXITSTATUS(status);
}

TEST(DigestPoolTest, ReturnsEveryJobOnceWithMatchingDigests) {
  TempDir dir;
  std::mt19937_64 random(3);
  constexpr int kFiles = 60;
  std::vector<std::string> expected;
  DigestBuffer buffer;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i);
    WriteFile(dir.File(name), RandomBytes(random() % (kMiB + kMiB / 2), random));
    expected.emplace_back(
        HashFile(AT_FDCWD, dir.File(name).c_str(), DigestAlgorithm::kSha256, buffer).Digest());
  }
  const UniqueFd folder(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_GE(folder.Get(), 0);
  for (const size_t group : {size_t{1}, size_t{7}}) {
    SCOPED_TRACE("groups of " + std::to_string(group));
    const auto hold = std::make_shared<int>(0);
    std::vector<DigestOutcome> outcomes;
    DigestPool pool(DigestAlgorithm::kSha256, 2, 4);
    DigestOutcome outcome;
    std::vector<DigestJob> jobs;
    for (int i = 0; i < kFiles; ++i) {
      DigestJob& job = jobs.emplace_back();
      job.id = static_cast<uint64_t>(i);
      job.folder = folder.Get();
      job.folderHold = hold;
      job.name = "f" + std::to_string(i);
      if (group == 1) {
        ASSERT_TRUE(pool.Submit(std::move(jobs.back())));
        jobs.clear();
      } else if (jobs.size() == group || i == kFiles - 1) {
        ASSERT_TRUE(pool.SubmitAll(jobs));
        EXPECT_TRUE(jobs.empty());
      }
      EXPECT_LE(pool.InFlight(), 4u);
      while (pool.TryPop(outcome))
        outcomes.push_back(std::move(outcome));
    }
    for (DigestOutcome& rest : DrainOnce(pool))
      outcomes.push_back(std::move(rest));
    std::set<uint64_t> seen;
    for (const DigestOutcome& each : outcomes) {
      EXPECT_TRUE(seen.insert(each.id).second) << "job " << each.id << " came back twice";
      ASSERT_LT(each.id, expected.size());
      EXPECT_EQ(each.result.Digest(), expected[each.id]) << each.result.error;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kFiles));
    EXPECT_EQ(pool.InFlight(), 0u);
    EXPECT_EQ(hold.use_count(), 1) << "a finished job still keeps its folder";
  }
}

// One worker held at a gate: the fourth Submit must wait. The wait for it is bounded by a deadline
// that only a broken pool lets pass early.
TEST(DigestPoolTest, SubmitWaitsWhileTheBoundIsInFlight) {
  GatedPool gated(1, 3);
  std::mutex mutex;
  std::condition_variable progressed;
  size_t submitted = 0;
  std::thread submitter([&] {
    for (uint64_t id = 0; id < 10; ++id) {
      EXPECT_TRUE(gated.Submit(id));
      std::lock_guard<std::mutex> lock(mutex);
      ++submitted;
      progressed.notify_all();
    }
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    progressed.wait(lock, [&] { return submitted >= 3; });
    EXPECT_FALSE(progressed.wait_for(lock, std::chrono::milliseconds(200), [&] { return submitted > 3; }))
        << "Submit did not wait with 3 jobs in flight";
  }
  gated.Open();
  submitter.join();
  EXPECT_EQ(DrainOnce(gated.pool).size(), 10u);
  EXPECT_LE(gated.MaxInFlight(), 3u);
}

TEST(DigestPoolTest, StopEndsRunningAndQueuedJobsAndWaitingSubmits) {
  GatedPool gated(2, 4);
  for (uint64_t id = 0; id < 4; ++id)
    ASSERT_TRUE(gated.Submit(id));
  gated.WaitStarted(2);
  std::thread blocked([&] { EXPECT_FALSE(gated.Submit(4)); });
  gated.pool.Stop();
  blocked.join();
  gated.Open();  // the held hashers look at the stop flag as they leave
  const std::vector<DigestOutcome> outcomes = DrainOnce(gated.pool);
  EXPECT_EQ(outcomes.size(), 4u);
  for (const DigestOutcome& outcome : outcomes)
    EXPECT_EQ(outcome.result.error, "cancelled") << outcome.id;
  EXPECT_FALSE(gated.Submit(5));
}

// A thread that would wait for the pool hashes queued jobs itself: with the only worker held at a gate
// and room for two in flight, SubmitAll of six jobs could only wait for ever; with help it returns, and
// Help takes what is left. Each outcome carries its job's context back, and TryPopAll takes every
// outcome ready at once.
TEST(DigestPoolTest, ASubmitterThatHelpsHashesQueuedJobsInsteadOfWaiting) {
  const std::thread::id self = std::this_thread::get_id();
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  std::set<uint64_t> hashedHere;
  DigestPool pool(1, 2, [&](const DigestJob& job, DigestBuffer&, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex);
    if (std::this_thread::get_id() == self)
      hashedHere.insert(job.id);
    else
      changed.wait(lock, [&] { return open || stop.load(); });
    DigestResult result;
    const unsigned char id = static_cast<unsigned char>(job.id);
    result.SetDigest(&id, 1);
    return result;
  });
  DigestBuffer buffer;
  EXPECT_FALSE(pool.Help(buffer)) << "nothing was queued";

  constexpr uint64_t kJobs = 6;
  int contexts[kJobs] = {};
  std::vector<DigestJob> jobs(kJobs);
  for (uint64_t id = 0; id < kJobs; ++id) {
    jobs[id].id = id;
    jobs[id].context = &contexts[id];
  }
  ASSERT_TRUE(pool.SubmitAll(jobs, &buffer));
  while (pool.Help(buffer)) {
  }
  const size_t held = pool.InFlight();
  EXPECT_LE(held, 1u) << "only the worker's own job may still be in flight";
  std::vector<DigestOutcome> outcomes;
  EXPECT_EQ(pool.TryPopAll(outcomes), kJobs - held);
  EXPECT_EQ(outcomes.size(), kJobs - held);
  EXPECT_EQ(hashedHere.size(), kJobs - held);
  {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  for (DigestOutcome& rest : DrainOnce(pool))
    outcomes.push_back(std::move(rest));
  ASSERT_EQ(outcomes.size(), kJobs);
  std::set<uint64_t> seen;
  for (const DigestOutcome& outcome : outcomes) {
    ASSERT_LT(outcome.id, kJobs);
    EXPECT_TRUE(seen.insert(outcome.id).second) << "job " << outcome.id << " came back twice";
    EXPECT_EQ(outcome.context, &contexts[outcome.id]);
    const unsigned char id = static_cast<unsigned char>(outcome.id);
    DigestResult expected;
    expected.SetDigest(&id, 1);
    EXPECT_EQ(outcome.result.Digest(), expected.Digest());
  }
}

// A real hash of a large file ends between two reads when the pool stops.
TEST(DigestPoolTest, StopCancelsAHashInProgress) {
  TempDir dir;
  const std::string path = dir.File("sparse");
  WriteFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(64 * 1024 * kMiB)), 0);
  std::promise<void> started;
  DigestPool pool(1, 1, [&](const DigestJob& job, DigestBuffer& buffer, const std::atomic<bool>& stop) {
    started.set_value();
    return HashFile(AT_FDCWD, job.name.c_str(), DigestAlgorithm::kSha256, buffer, nullptr, &stop);
  });
  DigestJob job;
  job.name = path;
  ASSERT_TRUE(pool.Submit(std::move(job)));
  started.get_future().wait();
  pool.Stop();
  DigestOutcome outcome;
  ASSERT_TRUE(pool.Pop(outcome));
  EXPECT_EQ(outcome.result.error, "cancelled");
  EXPECT_LT(outcome.result.bytesRead, 64 * 1024 * kMiB);
}

}  // namespace
}  // namespace fsdbtool
