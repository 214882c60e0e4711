// Binding items to statements and decoding rows into items.

#include "core/PathDatabase.h"

#include <cinttypes>

#include <string>
#include <typeinfo>

#include <boost/make_shared.hpp>

#include "core/PathOrdering.h"
#include "platform/FXPath.h"
#include "platform/Log.h"

namespace FSDB {

void CPathDatabase::BindItemAttributes(FX::CSQLite3Statement& statement, int first, const CDatabaseItem& item,
                                       std::string* metadata) {
  statement.Bind(first, static_cast<long>(item.GetFileId()));
  statement.Bind(first + 1, static_cast<long>(item.GetFileSize()));
  statement.Bind(first + 2, static_cast<long>(item.GetAccessTime()));
  statement.Bind(first + 3, static_cast<long>(item.GetModificationTime()));
  statement.Bind(first + 4, static_cast<long>(item.GetChangeTime()));
  statement.Bind(first + 5, item.IsSelected() ? 1 : 0);
  statement.Bind(first + 6, item.IsCollect() ? 1 : 0);
  if (metadata == nullptr) {
    statement.Bind(first + 7, item.GetMetadata());
    return;
  }
  // The item's own string needs no copy, unless a derived class supplies its Metadata itself.
  if (typeid(item) == typeid(CDatabaseItem)) {
    statement.BindStatic(first + 7, item.GetMetadataRef());
    return;
  }
  *metadata = item.GetMetadata();
  statement.BindStatic(first + 7, *metadata);
}

void CPathDatabase::BindRowAttributes(FX::CSQLite3Statement& statement, int first,
                                      const FX::CSQLite3Query& row, int column) {
  const int kAttributeColumns = 8;  // Inode .. Metadata; the last one is text
  for (int i = 0; i < kAttributeColumns; ++i) {
    if (row.IsNull(column + i)) {
      statement.BindNull(first + i);
    } else if (i == kAttributeColumns - 1) {
      statement.Bind(first + i, row.GetStringField(column + i, ""));
    } else {
      statement.Bind(first + i, static_cast<long>(row.GetInt64Field(column + i, 0)));
    }
  }
}

void CPathDatabase::DecodeAttributes(const FX::CSQLite3Query& row, int column, CDatabaseItem& item) {
  item.SetFileId(row.GetInt64Field(column, 0));
  item.SetFileSize(row.GetInt64Field(column + 1, 0));
  item.SetAccessTime(row.GetInt64Field(column + 2, 0));
  item.SetModificationTime(row.GetInt64Field(column + 3, 0));
  item.SetChangeTime(row.GetInt64Field(column + 4, 0));
  item.SetAsSelected(row.GetIntField(column + 5, 0) != 0);
  item.SetAsCollect(row.GetIntField(column + 6, 0) != 0);
  item.SetMetadata(row.GetStringField(column + 7, ""));
}

CDatabaseItemPtr CPathDatabase::DecodeFileRow(const FX::CSQLite3Query& row) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  DecodeFileRow(row, *item);
  return item;
}

void CPathDatabase::DecodeFileRow(const FX::CSQLite3Query& row, CDatabaseItem& item) {
  // Ids are read with all 64 bits: a row id above 2^31 comes back intact.
  item.SetId(row.GetInt64Field(0, -1));
  DecodeAttributes(row, 3, item);
  item.SetAsDirectory(false);
  item.SetFileName(row.GetStringField(2, ""));
}

CDatabaseItemPtr CPathDatabase::DecodeFolderRow(const FX::CSQLite3Query& row, int64_t id, std::string path,
                                                int column) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetId(id);
  (void)FXPath::RemoveTrailingDelimiter(path);  // cannot fail
  std::string parent;
  std::string name;
  (void)FXPath::SplitParentPath(path, parent, name);  // the root's empty path has an empty name
  item->SetFileName(name);
  item->SetFullyQualifiedPath(path);
  DecodeAttributes(row, column, *item);
  item->SetAsDirectory(true);
  return item;
}

CYaError CPathDatabase::AppendFolderFiles(const std::string& folderPath, int64_t folderId,
                                          std::list<CDatabaseItemPtr>& items) {
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    SelectFolderFilesStatement->Reset();
    SelectFolderFilesStatement->Bind(1, static_cast<long>(folderId));
    for (boost::shared_ptr<FX::CSQLite3Query> row = SelectFolderFilesStatement->ExecQuery(); !row->Eof();
         row->NextRow()) {
      CDatabaseItemPtr item = DecodeFileRow(*row);
      std::string filePath = folderPath;
      (void)FXPath::Append(filePath, item->GetFileName(), 0);  // cannot fail
      item->SetFullyQualifiedPath(filePath);
      (void)item->PopulateFromMetadata();  // an empty or unreadable document leaves those values at 0
      FSDB_LOG(
          3, " Got File ID [%" PRId64 "] Parent Folder ID [%" PRId64 "] FileName [%s] Item Information : %s",
          item->GetId(), row->GetInt64Field(1, -1), item->GetFileName().c_str(), item->AsString().c_str());
      items.push_back(item);
    }
    return CYaError::Success();
  });
}

}  // namespace FSDB
