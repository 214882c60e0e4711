// The optimized layout: a folder row holds only its parent's id and its own name. A rename or a move
// rewrites one row whatever lies beneath; a path becomes an id by walking its components from the
// nearest cached ancestor; whole paths are rebuilt by the recursive views FilesystemView and
// FullyQualifiedFolders when needed.
//
// Thread-safety: as CPathDatabase.

#ifndef FSDB_CORE_OPTIMIZEDPATHDATABASE_H_
#define FSDB_CORE_OPTIMIZEDPATHDATABASE_H_

#include <cstdint>
#include <list>
#include <string>

#include "core/PathDatabase.h"

namespace FSDB {

class COptimizedPathDatabase : public CPathDatabase {
 public:
  COptimizedPathDatabase();
  COptimizedPathDatabase(const std::string& path, bool readOnly);
  ~COptimizedPathDatabase() override;

  CYaError DeleteStatements() override;
  // Records the folder, adding missing ancestors first with empty items; an existing folder keeps its
  // id and gets the new attributes; "/" updates the root. Caches the id of the row written.
  CYaError AddFolder(const std::string& path, const CDatabaseItemPtr& item) override;
  // Deletes the folder with every folder and file beneath it. The root cannot be deleted (87).
  CYaError DeleteFolder(const std::string& path, const CDatabaseItemPtr& item) override;
  // Gives the folder the parent and name of `newPath`: one row, whatever the subtree. A folder cannot
  // move into its own subtree (87). An empty newItem keeps the attributes.
  CYaError RenameFolder(const std::string& oldPath, const std::string& newPath,
                        const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) override;
  CYaError QueryFolderItems(const std::string& path, int64_t folderId,
                            std::list<CDatabaseItemPtr>& items) override;
  CYaError QuerySelectedFolders(CDatabaseItemIteratorPtr& iterator) override;
  // The folder at `path`, field for field as the full-path layout returns it.
  CYaError QueryFolderItem(const std::string& path, CDatabaseItemPtr& item) override;
  // Walks the path's components from the nearest cached ancestor (or from the root); caches the
  // answer under `path` exactly as passed, unless it is relative or repeats a separator (such a
  // spelling would outlive a move of the folder). "" and "/" are the root.
  CYaError QueryFolderId(const std::string& path, int64_t& folderId) override;
  CYaError CreateFolderTable() override;
  const char* FolderNameColumn() const override { return "FolderName"; }
  CYaError CreateIndexes() override;
  CYaError CreateViews() override;
  CYaError CreateFolderTableStatements() override;
  // The generator of the selected-folders iterator: folders in path order.
  CDatabaseItemPtr GetNextSelectedFolderItem();

 private:
  // Reads one folder row by id: "SELECT * FROM Folders WHERE FolderId=?1".
  boost::shared_ptr<FX::CSQLite3Statement> SelectFolderByIdStatement;
  boost::shared_ptr<FX::CSQLite3Query> SelectedFoldersQuery;
};

}  // namespace FSDB

#endif  // FSDB_CORE_OPTIMIZEDPATHDATABASE_H_
