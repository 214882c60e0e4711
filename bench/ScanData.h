// The generated scans the benchmark records: developer home folders of the shape
//   /home/user<k>/projects/p<j>/src/module_<i>/file_<n>.<ext>
// with 50 files per leaf folder, 20 modules per project, 10 projects per user. Items carry realistic
// values (inode, sizes, times, mode, links) and their metadata document is formed beforehand, as a
// scanner does before it calls AddFile.

#ifndef FSDB_BENCH_SCANDATA_H_
#define FSDB_BENCH_SCANDATA_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fsdb/DatabaseItem.h"

namespace bench {

constexpr uint64_t kFilesPerFolder = 50;

// One folder: its stored path (ending with the separator), its own name and its parent's index in
// ScanTree::folders (-1 for a child of the root).
struct FolderEntry {
  std::string path;
  std::string name;
  int32_t parent;
};

// One file: its folder's index, its name, its whole path and its item.
struct FileEntry {
  int32_t folder;
  std::string name;
  std::string path;
  FSDB::CDatabaseItemPtr item;
};

// A whole scan. `folders` lists every folder, ancestors included, in the order in which a scan
// meets them (a parent before its children); `files` is grouped by folder in the same order.
struct ScanTree {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  std::vector<int32_t> leafFolders;  // the folders that hold files, in order
};

// The path of leaf folder `leaf` (ending with the separator).
std::string LeafFolderPath(uint64_t leaf);
// The name of the `n`-th file of the scan (n counts over the whole scan).
std::string FileName(uint64_t n);

// Walks the folders of `leafCount` leaves in scan order, ancestors first: calls `visit(path, name,
// parentIndex)` once per folder; the index of a folder is the number of calls before it.
template <class Visit>
void ForEachFolder(uint64_t leafCount, Visit visit) {
  std::vector<std::string> chain;  // the components of the previous leaf's path
  std::vector<int32_t> chainIndex;
  int32_t next = 0;
  for (uint64_t leaf = 0; leaf < leafCount; ++leaf) {
    const std::string path = LeafFolderPath(leaf);
    std::vector<std::string> components;
    for (size_t start = 1; start < path.size();) {
      const size_t end = path.find('/', start);
      components.push_back(path.substr(start, end - start));
      start = end + 1;
    }
    size_t same = 0;
    while (same < chain.size() && same < components.size() && chain[same] == components[same])
      ++same;
    chain.resize(same);
    chainIndex.resize(same);
    std::string prefix = "/";
    for (size_t d = 0; d < same; ++d)
      prefix += components[d] + "/";
    for (size_t d = same; d < components.size(); ++d) {
      prefix += components[d] + "/";
      visit(prefix, components[d], d == 0 ? -1 : chainIndex[d - 1]);
      chain.push_back(components[d]);
      chainIndex.push_back(next++);
    }
  }
}

// A file's item: inode, size, times, mode 0100644, one link, size on disk, creation time; selected.
FSDB::CDatabaseItemPtr MakeFileItem(std::mt19937_64& random, int64_t inode, const std::string& name,
                                    const std::string& path);
// A folder's item: a directory, mode 040755, selected.
FSDB::CDatabaseItemPtr MakeFolderItem(std::mt19937_64& random, int64_t inode, const std::string& path);

// The scan of `fileCount` files (the last folder may hold fewer than 50).
ScanTree MakeScanTree(uint64_t fileCount, uint64_t seed);

}  // namespace bench

#endif  // FSDB_BENCH_SCANDATA_H_
