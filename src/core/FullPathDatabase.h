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
  CFullPathDatabase();
  CFullPathDatabase(const std::string& path, bool readOnly);
  ~CFullPathDatabase() override;

  CYaError DeleteStatements() override;
  // Records the folder (normalised to end with the separator), adding missing ancestors first with
  // empty items; an existing folder keeps its id and parent and gets the new attributes. "/" updates
  // the root's attributes. Empty and relative paths: 87.
  CYaError AddFolder(const std::string& path, const CDatabaseItemPtr& item) override;
  // Deletes the folder with every folder and file beneath it. The root cannot be deleted (87).
  CYaError DeleteFolder(const std::string& path, const CDatabaseItemPtr& item) override;
  // Moves the folder and rewrites the leading part of every descendant's path. The new parent must
  // exist; a folder cannot move into its own subtree (87). An empty newItem keeps the attributes.
  CYaError RenameFolder(const std::string& oldPath, const std::string& newPath,
                        const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) override;
  CYaError QueryFolderItems(const std::string& path, int64_t folderId,
                            std::list<CDatabaseItemPtr>& items) override;
  CYaError QuerySelectedFolders(CDatabaseItemIteratorPtr& iterator) override;
  // The folder whose stored path equals `path` exactly (with its trailing separator).
  CYaError QueryFolderItem(const std::string& path, CDatabaseItemPtr& item) override;
  // The id of the folder stored under `path` exactly as passed (cache first, then the table).
  CYaError QueryFolderId(const std::string& path, int64_t& folderId) override;
  CYaError CreateFolderTable() override;
  const char* FolderNameColumn() const override { return "FullyQualifiedPath"; }
  CYaError CreateIndexes() override;
  CYaError CreateViews() override;
  CYaError CreateFolderTableStatements() override;
  // The generator of the selected-folders iterator: folders in path order.
  virtual CDatabaseItemPtr GetNextSelectedFolderItem();

 private:
  boost::shared_ptr<FX::CSQLite3Statement> RenameFolderPathsStatement;
  boost::shared_ptr<FX::CSQLite3Query> SelectedFoldersQuery;
};

}  // namespace FSDB

#endif  // FSDB_CORE_FULLPATHDATABASE_H_
