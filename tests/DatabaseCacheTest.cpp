#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "support/DatabaseCache.h"
#include "support/LRUCache.h"

namespace FSDB {
namespace {

// ---------------------------------------------------------------------------------------------------
// LRUCache

class LRUCacheTest : public ::testing::Test {
 protected:
  // A loader that answers key * 10 for keys below 100 and "not found" for the rest.
  LRUCacheTest()
      : cache_(3, [this](const int& key, int& value) {
          ++loads_;
          if (key >= 100)
            return FXErrorUtil::ErrorWin32(FX_LOCATION, 1168, "no %d", key);
          value = key * 10;
          return CYaError::Success();
        }) {}

  void Put(int key, int value) { ASSERT_OK(cache_.Put(key, value)); }
  // Asked without touching the recency order.
  bool Cached(int key) const { return cache_.Contains(key); }

  LRUCache<int, int> cache_;
  int loads_ = 0;
};

TEST_F(LRUCacheTest, MissAsksTheLoaderAndStoresOnlyWhatItFound) {
  int value = -1;
  ASSERT_OK(cache_.Get(7, value));
  EXPECT_EQ(70, value);
  ASSERT_OK(cache_.Get(7, value));
  EXPECT_EQ(1, loads_);  // the second read was a hit

  value = -1;
  CYaError error = cache_.Get(100, value);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168)) << error.AsString();
  EXPECT_EQ(2u, error.GetLocationCount());  // the loader's location and Get's own
  EXPECT_EQ(-1, value);
  EXPECT_FALSE(Cached(100));
  EXPECT_EQ(1u, cache_.Size());
}

TEST_F(LRUCacheTest, RemoveIfKeepsListAndIndexTogether) {
  Put(1, 1);
  Put(2, 2);
  Put(3, 3);
  EXPECT_EQ(2u, cache_.RemoveIf([](int key) { return key != 2; }));
  EXPECT_EQ(1u, cache_.Size());
  // If the list still held the removed keys, these stores would evict 2 too early or not at all.
  Put(4, 4);
  Put(5, 5);
  EXPECT_TRUE(Cached(2));
  Put(6, 6);
  EXPECT_FALSE(Cached(2));
  EXPECT_EQ(3u, cache_.Size());
}

// ---------------------------------------------------------------------------------------------------
// CDatabaseCache: folder ids

class DatabaseCacheTest : public ::testing::Test {
 protected:
  static std::string Folder(int n) { return "/scan/f" + std::to_string(n) + "/"; }

  void Put(const std::string& path, int64_t id) { ASSERT_OK(cache_.PutFolderId(path, id)); }
  bool Hit(const std::string& path) {
    int64_t id = 0;
    return !cache_.GetFolderId(path, id).IsError();
  }
  std::string Statistics() {
    std::string text;
    EXPECT_OK(cache_.GetCacheStatistics(text));
    return text;
  }
  void FillToCapacity() {
    for (int n = 1; n <= static_cast<int>(CDatabaseCache::kFolderIdCacheCapacity); ++n)
      Put(Folder(n), n);
  }

  CDatabaseCache cache_;
};

TEST_F(DatabaseCacheTest, MissFailsWith1168NamingThePathAndIsCounted) {
  int64_t id = 42;
  CYaError error = cache_.GetFolderId("/a/b/", id);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168)) << error.AsString();
  EXPECT_EQ("Cache Miss. Item [/a/b/] not found.", error.GetMessage());
  EXPECT_EQ(42, id);
  EXPECT_EQ(0, cache_.GetHitCount());
  EXPECT_EQ(1, cache_.GetMissCount());
  EXPECT_EQ("Folder ID Cache Hit : [0] - Miss : [1]", Statistics());
  // A miss stores nothing: asking again is another miss.
  EXPECT_FALSE(Hit("/a/b/"));
  EXPECT_EQ(2, cache_.GetMissCount());
}

TEST_F(DatabaseCacheTest, StoredIdIsFoundAndCountedAsHit) {
  const int64_t bigId = (int64_t{1} << 40) + 3;  // row ids are 64-bit
  Put("/a", 5);
  Put("/a/", bigId);  // a different key: the two spellings are cached separately
  int64_t id = 0;
  ASSERT_OK(cache_.GetFolderId("/a", id));
  EXPECT_EQ(5, id);
  ASSERT_OK(cache_.GetFolderId("/a/", id));
  EXPECT_EQ(bigId, id);
  EXPECT_EQ("Folder ID Cache Hit : [2] - Miss : [0]", Statistics());
}

TEST_F(DatabaseCacheTest, FullCacheEvictsTheOldestPathOnTheNextStore) {
  FillToCapacity();
  Put(Folder(2001), 2001);
  EXPECT_FALSE(Hit(Folder(1)));
  EXPECT_TRUE(Hit(Folder(2)));
  EXPECT_TRUE(Hit(Folder(2001)));
}

TEST_F(DatabaseCacheTest, HitProtectsAPathFromEviction) {
  FillToCapacity();
  ASSERT_TRUE(Hit(Folder(1)));
  Put(Folder(2001), 2001);
  EXPECT_FALSE(Hit(Folder(2)));
  EXPECT_TRUE(Hit(Folder(1)));
  EXPECT_TRUE(Hit(Folder(3)));
}

TEST_F(DatabaseCacheTest, StoringACachedPathReplacesItsIdAndRefreshesIt) {
  FillToCapacity();
  Put(Folder(1), 99);
  Put(Folder(2001), 2001);
  // Exactly one path went, the oldest one after the refresh: every other path answers.
  EXPECT_FALSE(Hit(Folder(2)));
  int64_t id = 0;
  ASSERT_OK(cache_.GetFolderId(Folder(1), id));
  EXPECT_EQ(99, id);
  for (int n = 3; n <= 2001; ++n)
    ASSERT_TRUE(Hit(Folder(n))) << Folder(n);
}

// Removing a folder must drop it under both of its spellings and everything beneath it, but not a
// sibling whose name merely starts with the same letters.
class RemoveFolderTreeTest : public DatabaseCacheTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RemoveFolderTreeTest, DropsTheFolderAndItsSubtreeOnComponentBoundaries) {
  const std::vector<std::string> removed = {"/a/b", "/a/b/", "/a/b/c", "/a/b/c/", "/a/b/c/d/"};
  const std::vector<std::string> kept = {"/", "/a", "/a/", "/a/bc", "/a/bc/", "/a/b.c/", "/x/a/b/"};
  for (const std::string& path : removed)
    Put(path, 1);
  for (const std::string& path : kept)
    Put(path, 2);
  ASSERT_OK(cache_.RemoveFolderTree(GetParam()));
  for (const std::string& path : removed)
    EXPECT_FALSE(Hit(path)) << path;
  for (const std::string& path : kept)
    EXPECT_TRUE(Hit(path)) << path;
}

INSTANTIATE_TEST_SUITE_P(BothSpellings, RemoveFolderTreeTest, ::testing::Values("/a/b/", "/a/b", "/a/b//"));

TEST_F(DatabaseCacheTest, RemovingTheRootOrClearingDropsEveryPathButKeepsTheCounts) {
  Put("/", 2);
  Put("/a/", 3);
  Put("/a/b", 4);
  ASSERT_TRUE(Hit("/a/"));
  ASSERT_OK(cache_.RemoveFolderTree("/"));
  EXPECT_FALSE(Hit("/"));
  EXPECT_FALSE(Hit("/a/"));
  EXPECT_FALSE(Hit("/a/b"));

  Put("/c/", 5);
  cache_.ClearFolderIds();
  EXPECT_FALSE(Hit("/c/"));
  EXPECT_EQ("Folder ID Cache Hit : [1] - Miss : [4]", Statistics());
}

// ---------------------------------------------------------------------------------------------------
// CDatabaseCache: file queue

CDatabaseItemPtr MakeItem(const std::string& name, int64_t size) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetFileName(name);
  item->SetFileSize(size);
  return item;
}

TEST_F(DatabaseCacheTest, QueueIsFullFrom3000EntriesOn) {
  for (size_t n = 0; n + 1 < CDatabaseCache::kFileQueueLimit; ++n)
    ASSERT_OK(cache_.InsertIntoFileQueue(7, "f", CDatabaseItemPtr()));
  EXPECT_EQ(2999u, cache_.GetFileQueueSize());
  EXPECT_FALSE(cache_.IsFileQueueFull());
  ASSERT_OK(cache_.InsertIntoFileQueue(7, "f", CDatabaseItemPtr()));
  EXPECT_TRUE(cache_.IsFileQueueFull());
  // The queue itself has no bound; the caller flushes.
  ASSERT_OK(cache_.InsertIntoFileQueue(7, "f", CDatabaseItemPtr()));
  EXPECT_EQ(3001u, cache_.GetFileQueueSize());
  EXPECT_TRUE(cache_.IsFileQueueFull());
  ASSERT_OK(cache_.ClearFileQueue());
  EXPECT_FALSE(cache_.IsFileQueueFull());
}

TEST_F(DatabaseCacheTest, QueueKeepsInsertionOrderUntilCleared) {
  const std::vector<std::string> names = {"c", "a", "b"};
  for (size_t n = 0; n < names.size(); ++n)
    ASSERT_OK(cache_.InsertIntoFileQueue(static_cast<int64_t>(n) + 10, names[n], MakeItem(names[n], n)));
  const FileQueue& queue = cache_.GetFileQueue();
  ASSERT_EQ(3u, queue.size());
  size_t n = 0;
  for (const FileQueueEntry& entry : queue) {
    EXPECT_EQ(static_cast<int64_t>(n) + 10, std::get<0>(entry));
    EXPECT_EQ(names[n], std::get<1>(entry));
    EXPECT_EQ(names[n], std::get<2>(entry)->GetFileName());
    ++n;
  }
  ASSERT_OK(cache_.ClearFileQueue());
  EXPECT_TRUE(cache_.GetFileQueue().empty());
}

TEST(DatabaseCacheLifetimeTest, DestroyingWithQueuedFilesLogsTheCountAndEachItem) {
  fsdbtest::ScopedCaptureLog log(3);
  CDatabaseItemPtr first = MakeItem("one.txt", 1);
  CDatabaseItemPtr second = MakeItem("two.txt", 2);
  {
    CDatabaseCache cache;
    ASSERT_OK(cache.InsertIntoFileQueue(3, "one.txt", first));
    ASSERT_OK(cache.InsertIntoFileQueue(3, "two.txt", second));
  }
  std::vector<fsdbtest::LogLine> lines = log->Lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(0, lines[0].level);
  EXPECT_EQ("The File Queue is not empty. Some items may not be flushed to database. Number of Items : [2]",
            lines[0].text);
  EXPECT_EQ(3, lines[1].level);
  EXPECT_EQ("Item : " + first->AsString(), lines[1].text);
  EXPECT_EQ(3, lines[2].level);
  EXPECT_EQ("Item : " + second->AsString(), lines[2].text);
}

TEST(DatabaseCacheLifetimeTest, DestroyingAnEmptyOrFlushedQueueLogsNothing) {
  fsdbtest::ScopedCaptureLog log(30);
  { CDatabaseCache cache; }
  {
    CDatabaseCache cache;
    ASSERT_OK(cache.InsertIntoFileQueue(3, "x", MakeItem("x", 0)));
    ASSERT_OK(cache.ClearFileQueue());
  }
  EXPECT_TRUE(log->Lines().empty());
}

}  // namespace
}  // namespace FSDB
