#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "support/DatabaseCache.h"

namespace FSDB {
namespace {

CDatabaseItemPtr MakeItem(const std::string& name) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetFileName(name);
  return item;
}

class DatabaseCacheTest : public ::testing::Test {
 protected:
  static std::string Folder(int n) { return "/scan/f" + std::to_string(n) + "/"; }
  void Put(const std::string& path, int64_t id) { ASSERT_OK(cache_.PutFolderId(path, id)); }
  // The cached id of `path`, -1 after a miss.
  int64_t Get(const std::string& path) { return cache_.GetFolderId(path, id_).IsError() ? -1 : id_; }

  CDatabaseCache cache_;
  int64_t id_ = 0;
};

TEST_F(DatabaseCacheTest, MissFailsWith1168AndHitsAndMissesAreCounted) {
  int64_t id = 42;
  const CYaError error = cache_.GetFolderId("/a/b/", id);
  EXPECT_WIN32(error, 1168);
  EXPECT_EQ("Cache Miss. Item [/a/b/] not found.", error.GetMessage());
  EXPECT_EQ(42, id);
  EXPECT_EQ(-1, Get("/a/b/"));  // a miss stores nothing
  Put("/a", 5);
  Put("/a/", (int64_t{1} << 40) + 3);  // another key; ids are 64-bit
  EXPECT_EQ(5, Get("/a"));
  EXPECT_EQ((int64_t{1} << 40) + 3, Get("/a/"));
  std::string statistics;
  ASSERT_OK(cache_.GetCacheStatistics(statistics));
  EXPECT_EQ("Folder ID Cache Hit : [2] - Miss : [2]", statistics);
}

// Storing a cached path again replaces its id and refreshes it without a second entry, as a hit does.
TEST_F(DatabaseCacheTest, FullCacheEvictsTheLeastRecentlyUsedPath) {
  for (int n = 1; n <= 2000; ++n)
    Put(Folder(n), n);
  EXPECT_EQ(1, Get(Folder(1)));
  Put(Folder(2), 99);
  Put(Folder(2001), 2001);
  Put(Folder(2002), 2002);
  for (int n = 1; n <= 2002; ++n)  // 3 and 4 went: the oldest once 1 and 2 were refreshed
    ASSERT_EQ(n == 3 || n == 4 ? -1 : n == 2 ? 99 : n, Get(Folder(n))) << n;
}

// A path asked for again and again (the folder of file after file) is answered without a lookup, but
// never with an id that a store, a removal or an eviction has changed since; and it stays the most
// recently used path, as every hit makes it.
TEST_F(DatabaseCacheTest, RepeatedHitSeesEveryChangeAndKeepsThePathRecent) {
  Put(Folder(1), 1);
  for (int n = 0; n < 3; ++n)
    ASSERT_EQ(1, Get(Folder(1)));
  Put(Folder(1), 11);
  EXPECT_EQ(11, Get(Folder(1)));
  ASSERT_OK(cache_.RemoveFolderTree("/scan/f1"));
  EXPECT_EQ(-1, Get(Folder(1)));
  Put(Folder(1), 12);
  EXPECT_EQ(12, Get(Folder(1)));
  cache_.ClearFolderIds();
  EXPECT_EQ(-1, Get(Folder(1)));
  Put(Folder(1), 13);
  for (int n = 2; n <= 2001; ++n) {  // folder 1, asked for between the stores, is never the oldest
    Put(Folder(n), n);
    ASSERT_EQ(13, Get(Folder(1))) << n;
    ASSERT_EQ(13, Get(Folder(1))) << n;
  }
  EXPECT_EQ(-1, Get(Folder(2)));  // the oldest went instead
  for (int n = 0; n < 2; ++n)
    ASSERT_EQ(3, Get(Folder(3)));
  std::string statistics;
  ASSERT_OK(cache_.GetCacheStatistics(statistics));
  EXPECT_EQ("Folder ID Cache Hit : [4007] - Miss : [3]", statistics);
}

// A folder goes under both of its spellings with everything beneath it, but not a sibling whose name
// merely starts with the same letters. The cases give the folder removed and which paths stay.
TEST_F(DatabaseCacheTest, RemoveFolderTreeDropsTheSubtreeOnComponentBoundaries) {
  const std::vector<std::string> paths = {"/",         "/a",    "/a/",    "/a/b",    "/a/b/",  "/a/b/c",
                                          "/a/b/c/d/", "/a/bc", "/a/bc/", "/a/b.c/", "/x/a/b/"};
  const std::pair<const char*, const char*> cases[] = {{"/a/b/", "11100001111"},
                                                       {"/a/b", "11100001111"},
                                                       {"/a/b//", "11100001111"},
                                                       {"/a", "10000000001"},
                                                       {"/", "00000000000"}};
  for (const auto& [folder, stay] : cases) {
    for (const std::string& path : paths)
      Put(path, 1);
    ASSERT_OK(cache_.RemoveFolderTree(folder));
    std::string left;
    for (const std::string& path : paths)
      left += Get(path) == 1 ? '1' : '0';
    EXPECT_EQ(stay, left) << folder;
  }
  for (int n = 1; n <= 2001; ++n)  // nothing removed still takes a place: the 2001st path evicts the first
    Put(Folder(n), n);
  EXPECT_EQ(-1, Get(Folder(1)));
}

TEST_F(DatabaseCacheTest, QueueKeepsInsertionOrderAndIsFullFrom3000EntriesOn) {
  for (int n = 0; n < 3000; ++n) {
    ASSERT_FALSE(cache_.IsFileQueueFull()) << n;
    ASSERT_OK(cache_.InsertIntoFileQueue(n, std::to_string(n), MakeItem(std::to_string(n))));
  }
  EXPECT_TRUE(cache_.IsFileQueueFull());
  int64_t n = 0;
  for (const FileQueueEntry& entry : cache_.GetFileQueue()) {
    ASSERT_EQ(n, std::get<0>(entry));
    ASSERT_EQ(std::to_string(n), std::get<1>(entry));
    ASSERT_EQ(std::to_string(n++), std::get<2>(entry)->GetFileName());
  }
  EXPECT_EQ(3000, n);
  ASSERT_OK(cache_.InsertIntoFileQueue(7, "f", CDatabaseItemPtr()));  // the caller flushes: no bound here
  EXPECT_EQ(3001u, cache_.GetFileQueueSize());
  ASSERT_OK(cache_.ClearFileQueue());
  EXPECT_EQ(0u, cache_.GetFileQueueSize());
}

// The flush takes the whole batch out; a batch it could not write goes back in front of the files queued
// since, in order; a folder whose row id changed takes its queued files (taken out or not) to the new id.
TEST_F(DatabaseCacheTest, BatchTakenOutGoesBackInFrontOfFilesQueuedSince) {
  const auto describe = [](const FileQueue& queue) {
    std::string text;
    for (const FileQueueEntry& entry : queue)
      text += std::to_string(std::get<0>(entry)) + ":" + std::get<1>(entry) + " ";
    return text;
  };
  for (const auto& [folder, name] : {std::make_pair(1, "a"), {2, "b"}, {1, "c"}})
    ASSERT_OK(cache_.InsertIntoFileQueue(folder, name, MakeItem(name)));
  FileQueue batch = cache_.TakeFileQueue();
  EXPECT_EQ("1:a 2:b 1:c ", describe(batch));
  EXPECT_EQ(0u, cache_.GetFileQueueSize());
  ASSERT_OK(cache_.InsertIntoFileQueue(1, "d", MakeItem("d")));
  ASSERT_OK(cache_.InsertIntoFileQueue(3, "e", MakeItem("e")));
  cache_.RestoreFileQueue(std::move(batch));
  cache_.MoveQueuedFiles({{1, 7}, {7, 9}});  // one step: the 7 it writes is not moved again
  EXPECT_EQ("7:a 2:b 7:c 7:d 3:e ", describe(cache_.GetFileQueue()));
}

// Destroying a cache logs the number of queued files (level 0) and each of them (level 3), if any.
TEST(DatabaseCacheLifetimeTest, DestroyingWithQueuedFilesLogsTheCountAndEachItem) {
  fsdbtest::ScopedCaptureLog log(30);
  {
    CDatabaseCache flushed, cache;
    ASSERT_OK(flushed.InsertIntoFileQueue(3, "one.txt", MakeItem("one.txt")));
    ASSERT_OK(flushed.ClearFileQueue());
    ASSERT_OK(cache.InsertIntoFileQueue(3, "one.txt", MakeItem("one.txt")));
    ASSERT_OK(cache.InsertIntoFileQueue(3, "two.txt", MakeItem("two.txt")));
  }
  EXPECT_EQ(
      (std::vector<std::string>{
          "0 The File Queue is not empty. Some items may not be flushed to database. Number of Items : [2]",
          "3 Item : " + MakeItem("one.txt")->AsString(), "3 Item : " + MakeItem("two.txt")->AsString()}),
      log->LevelsAndTexts());
}

}  // namespace
}  // namespace FSDB
