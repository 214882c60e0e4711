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
  // The statements and cursors are members of the engine, gone before its connection closes.
  using CPathDatabase::CPathDatabase;

  // The folder at `path`, field for field as the full-path layout returns it.
  CYaError QueryFolderItem(const std::string& path, CDatabaseItemPtr& item) override;
  CYaError CreateFolderTable() override;
  const char* FolderNameColumn() const override { return "FolderName"; }
  CYaError CreateIndexes() override;
  CYaError CreateViews() override;
  CYaError CreateFolderTableStatements() override;
  // The generator of the selected-folders iterator: folders in path order.
  CDatabaseItemPtr GetNextSelectedFolderItem() override;

 protected:
  CYaError WriteFolderRow(const std::string& folderPath, const CDatabaseItemPtr& item,
                          int64_t& folderId) override;
  CYaError MoveFolderRows(const FolderMove& move) override;
  // Walks the path's components from the nearest cached ancestor (or from the root); caches the
  // answer under `path` exactly as passed, unless it is relative or repeats a separator (such a
  // spelling would outlive a move of the folder). "" and "/" are the root.
  CYaError LookUpFolderId(const std::string& path, int64_t& folderId) override;
  CYaError AppendChildFolders(const std::string& folderPath, int64_t folderId,
                              std::list<CDatabaseItemPtr>& items) override;
  // The path as NormalizePath gives it: no separator is added.
  CYaError NormalizeChangedFolderPath(const std::string& path, std::string& folderPath) override;

 private:
  // Reads one folder row by id: "SELECT * FROM Folders WHERE FolderId=?1".
  boost::shared_ptr<FX::CSQLite3Statement> SelectFolderByIdStatement;
};

}  // namespace FSDB

#endif  // FSDB_CORE_OPTIMIZEDPATHDATABASE_H_
