// The default layout: every folder is one row of Folders identified by its whole path, which always
// ends with the separator (/a/b/; the root is "/"). Looking a folder up is one indexed equality search
// on the path, behind the folder-id cache. A rename rewrites the stored paths of the whole subtree in
// one statement.
//
// Thread-safety: as CPathDatabase.

#ifndef FSDB_CORE_FULLPATHDATABASE_H_
#define FSDB_CORE_FULLPATHDATABASE_H_

#include <cstdint>
#include <list>
#include <string>

#include "core/PathDatabase.h"

namespace FSDB {

class CFullPathDatabase : public CPathDatabase {
 public:
  // The statements and cursors are members of the engine, gone before its connection closes.
  using CPathDatabase::CPathDatabase;

  // The folder whose stored path equals `path` exactly (with its trailing separator).
  CYaError QueryFolderItem(const std::string& path, CDatabaseItemPtr& item) override;
  CYaError CreateFolderTable() override;
  const char* FolderNameColumn() const override { return "FullyQualifiedPath"; }
  CYaError CreateIndexes() override;
  CYaError CreateViews() override;
  CYaError CreateFolderTableStatements() override;
  // The generator of the selected-folders iterator: folders in path order.
  CDatabaseItemPtr GetNextSelectedFolderItem() override;

 protected:
  CYaError WriteFolderRow(const std::string& folderPath, const CDatabaseItemPtr& item,
                          int64_t& folderId) override;
  CYaError MoveFolderRows(const FolderMove& move) override;
  // The id of the folder stored under `path` exactly as passed.
  CYaError LookUpFolderId(const std::string& path, int64_t& folderId) override;
  CYaError AppendChildFolders(const std::string& folderPath, int64_t folderId,
                              std::list<CDatabaseItemPtr>& items) override;

 private:
  boost::shared_ptr<FX::CSQLite3Statement> RenameFolderPathsStatement;
};

}  // namespace FSDB

#endif  // FSDB_CORE_FULLPATHDATABASE_H_
