#include "ScanData.h"

#include <algorithm>

#include <boost/make_shared.hpp>

#include "BenchUtil.h"

namespace bench {

namespace {

const uint64_t kModulesPerProject = 20;
const uint64_t kProjectsPerUser = 10;
const int64_t kNow = 1717000000;  // seconds; the scans are a few years' worth of files older
const int64_t kDay = 86400;
const char* const kExtensions[] = {"cpp", "h", "o", "txt", "cpp", "h", "py", "json"};

}  // namespace

std::string LeafFolderPath(uint64_t leaf) {
  const uint64_t module = leaf % kModulesPerProject;
  const uint64_t project = (leaf / kModulesPerProject) % kProjectsPerUser;
  const uint64_t user = leaf / (kModulesPerProject * kProjectsPerUser);
  return "/home/user" + std::to_string(user) + "/projects/p" + std::to_string(project) + "/src/module_" +
         std::to_string(module) + "/";
}

std::string FileName(uint64_t n) {
  return "file_" + std::to_string(n) + "." + kExtensions[n % 8];
}

FSDB::CDatabaseItemPtr MakeFileItem(std::mt19937_64& random, int64_t inode, const std::string& name,
                                    const std::string& path) {
  std::lognormal_distribution<double> sizes(8.5, 2.0);  // median about 5 KB, a long tail of large files
  std::uniform_int_distribution<int64_t> age(0, 3 * 365 * kDay);
  std::uniform_int_distribution<int64_t> lag(0, 30 * kDay);
  FSDB::CDatabaseItemPtr item = boost::make_shared<FSDB::CDatabaseItem>();
  const int64_t size = std::min<int64_t>(static_cast<int64_t>(sizes(random)), int64_t{1} << 34);
  const int64_t modified = kNow - age(random);
  item->SetFileId(inode);
  item->SetFileSize(size);
  item->SetFileSizeOnDisk((size + 4095) / 4096 * 4096);
  item->SetModificationTime(modified);
  item->SetAccessTime(std::min(kNow, modified + lag(random)));
  item->SetChangeTime(std::min(kNow, modified + lag(random) / 30));
  item->SetCreationTime(modified - lag(random));
  item->SetAttributes(0100644);
  item->SetLinks(1);
  item->SetFileName(name);
  item->SetFullyQualifiedPath(path);
  item->SetAsDirectory(false);
  item->SetAsSelected(true);
  item->SetAsCollect(inode % 10 == 0);
  ThrowIfError(item->FormMetadata(), "FormMetadata");
  return item;
}

FSDB::CDatabaseItemPtr MakeFolderItem(std::mt19937_64& random, int64_t inode, const std::string& path) {
  std::uniform_int_distribution<int64_t> age(0, 3 * 365 * kDay);
  FSDB::CDatabaseItemPtr item = boost::make_shared<FSDB::CDatabaseItem>();
  const int64_t modified = kNow - age(random);
  item->SetFileId(inode);
  item->SetFileSize(4096);
  item->SetFileSizeOnDisk(4096);
  item->SetModificationTime(modified);
  item->SetAccessTime(kNow);
  item->SetChangeTime(modified);
  item->SetCreationTime(modified);
  item->SetAttributes(040755);
  item->SetLinks(2);
  item->SetFullyQualifiedPath(path);
  item->SetAsDirectory(true);
  item->SetAsSelected(true);
  ThrowIfError(item->FormMetadata(), "FormMetadata");
  return item;
}

ScanTree MakeScanTree(uint64_t fileCount, uint64_t seed) {
  ScanTree tree;
  const uint64_t leafCount = (fileCount + kFilesPerFolder - 1) / kFilesPerFolder;
  ForEachFolder(leafCount, [&](const std::string& path, const std::string& name, int32_t parent) {
    tree.folders.push_back(FolderEntry{path, name, parent});
  });
  // Leaves are the folders at the deepest level; they come in leaf order.
  for (size_t i = 0; i < tree.folders.size(); ++i) {
    if (tree.folders[i].name.compare(0, 7, "module_") == 0)
      tree.leafFolders.push_back(static_cast<int32_t>(i));
  }
  std::mt19937_64 random(seed);
  tree.files.reserve(fileCount);
  for (uint64_t n = 0; n < fileCount; ++n) {
    const int32_t folder = tree.leafFolders[n / kFilesPerFolder];
    std::string name = FileName(n);
    std::string path = tree.folders[folder].path + name;
    FSDB::CDatabaseItemPtr item = MakeFileItem(random, static_cast<int64_t>(1000000 + n), name, path);
    tree.files.push_back(FileEntry{folder, std::move(name), std::move(path), std::move(item)});
  }
  return tree;
}

}  // namespace bench
