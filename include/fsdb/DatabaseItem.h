// One file or folder record, and a pull iterator over such records.
//
// CDatabaseItem is a plain value holder: its setters only store, with no validation and no side
// effect on other properties. Attributes, Links, FileSizeOnDisk and CreationTime have no column in the
// database; they travel in the XML metadata document kept in the Metadata string, which FormMetadata()
// rebuilds from them and PopulateFromMetadata() reads them back from.
//
// Items are handed around by CDatabaseItemPtr and are not thread-safe; sharing one across threads is
// safe only for reading.

#ifndef FSDB_DATABASEITEM_H_
#define FSDB_DATABASEITEM_H_

#include <cstdint>
#include <functional>
#include <string>

#include <boost/shared_ptr.hpp>

#include "fsdb/Error.h"

namespace FSDB {

class FSDB_EXPORT CDatabaseItem {
 public:
  CDatabaseItem();
  virtual ~CDatabaseItem();

  // The database row id (FileId of a Files row, FolderId of a Folders row); set by queries.
  virtual int64_t GetId() const;
  virtual void SetId(int64_t id);
  // The file system's inode number (the Inode column).
  virtual int64_t GetFileId() const;
  virtual void SetFileId(int64_t fileId);
  virtual int GetAttributes() const;
  virtual void SetAttributes(int attributes);
  virtual int GetLinks() const;
  virtual void SetLinks(int links);
  virtual int64_t GetFileSize() const;
  virtual void SetFileSize(int64_t size);
  virtual int64_t GetFileSizeOnDisk() const;
  virtual void SetFileSizeOnDisk(int64_t size);
  virtual int64_t GetAccessTime() const;
  virtual void SetAccessTime(int64_t time);
  virtual int64_t GetCreationTime() const;
  virtual void SetCreationTime(int64_t time);
  virtual int64_t GetModificationTime() const;
  virtual void SetModificationTime(int64_t time);
  virtual int64_t GetChangeTime() const;
  virtual void SetChangeTime(int64_t time);
  virtual std::string GetFileName() const;
  virtual void SetFileName(const std::string& name);
  virtual std::string GetFullyQualifiedPath() const;
  virtual void SetFullyQualifiedPath(const std::string& path);
  virtual std::string GetMetadata() const;
  virtual void SetMetadata(const std::string& metadata);
  // The Metadata string this item holds, without a copy; valid until the item changes or goes.
  const std::string& GetMetadataRef() const { return metadata_; }

  // Reads Attributes, Links, FileSizeOnDisk and CreationTime from the Metadata string. An attribute
  // missing from the document leaves its property unchanged. Fails with 774 "Metadata is not set."
  // when the string is empty, and with the XML layer's error (message "LoadFromString failed,
  // Metadata=[...]") when it cannot be parsed; properties read before a failure stay set.
  virtual CYaError PopulateFromMetadata();
  // Replaces the Metadata string with a document holding the four properties above.
  virtual CYaError FormMetadata();

  // One line for logs; Id, FileSizeOnDisk and Metadata are not part of it.
  virtual std::string AsString() const;

  virtual void SetAsDirectory(bool directory);
  virtual bool IsDirectory() const;
  virtual void SetAsSelected(bool selected);
  virtual bool IsSelected() const;
  virtual void SetAsCollect(bool collect);
  virtual bool IsCollect() const;

 private:
  int64_t id_;
  int64_t fileId_;
  int attributes_;
  int links_;
  int64_t fileSize_;
  int64_t fileSizeOnDisk_;
  int64_t accessTime_;
  int64_t creationTime_;
  int64_t modificationTime_;
  int64_t changeTime_;
  std::string fileName_;
  std::string fullyQualifiedPath_;
  std::string metadata_;
  bool directory_;
  bool selected_;
  bool collect_;
};

typedef boost::shared_ptr<CDatabaseItem> CDatabaseItemPtr;

// A pull iterator: holds the current item and a generator that yields the next one (an empty pointer
// at the end). Walk it as: while (!it->Eof()) { use(it->GetItem()); it->NextItem(); }
//
// The engines' generators read a cursor kept in the engine that made the iterator: an iterator must
// not outlive its engine, and a new walk of the same kind on that engine ends the previous one.
class FSDB_EXPORT CDatabaseItemIterator {
 public:
  typedef std::function<CDatabaseItemPtr()> Generator;

  // `first` is the item already fetched (empty for an empty sequence).
  CDatabaseItemIterator(const Generator& generator, const CDatabaseItemPtr& first);
  virtual ~CDatabaseItemIterator();

  // Calls the generator once and makes its result the current item; returns a copy of it.
  // REQUIRES: a generator was given (otherwise std::bad_function_call is thrown).
  CDatabaseItemPtr NextItem();
  CDatabaseItemPtr GetItem() const { return current_; }
  bool Eof() const { return !current_; }

 private:
  Generator generator_;
  CDatabaseItemPtr current_;
};

typedef boost::shared_ptr<CDatabaseItemIterator> CDatabaseItemIteratorPtr;

}  // namespace FSDB

#endif  // FSDB_DATABASEITEM_H_
