#include "fsdb/DatabaseItem.h"

#include <charconv>
#include <cinttypes>

#include <boost/make_shared.hpp>

#include "platform/ErrorCodes.h"
#include "platform/FXString.h"
#include "platform/YaXDocument.h"

namespace FSDB {

namespace {

// The metadata document: <Metadata><Filesystem Attributes=".." Links=".." FileSizeOnDisk=".."
// CreationTime=".."/></Metadata>. It is stored whole in the Metadata column, so its names are a
// persisted format.
const char kRootElement[] = "Metadata";
const char kFilesystemElement[] = "Filesystem";
const char kAttributes[] = "Attributes";
const char kLinks[] = "Links";
const char kFileSizeOnDisk[] = "FileSizeOnDisk";
const char kCreationTime[] = "CreationTime";

// The document FormMetadata writes, around its four values.
const char kFormedStart[] = "<Metadata><Filesystem Attributes=\"";
const char kFormedLinks[] = "\" Links=\"";
const char kFormedSizeOnDisk[] = "\" FileSizeOnDisk=\"";
const char kFormedCreation[] = "\" CreationTime=\"";
const char kFormedEnd[] = "\"/></Metadata>";

// A sign and the 19 digits of the widest value.
constexpr size_t kMaxDigits = 20;

void AppendNumber(std::string& text, long long value) {
  char digits[kMaxDigits];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof(digits), value);
  text.append(digits, written.ptr);
}

const char* YesNo(bool flag) {
  return flag ? "yes" : "no";
}

}  // namespace

CDatabaseItem::CDatabaseItem()
    : id_(0),
      fileId_(0),
      attributes_(0),
      links_(0),
      fileSize_(0),
      fileSizeOnDisk_(0),
      accessTime_(0),
      creationTime_(0),
      modificationTime_(0),
      changeTime_(0),
      directory_(false),
      selected_(false),
      collect_(false) {}

CDatabaseItem::~CDatabaseItem() = default;

int64_t CDatabaseItem::GetId() const {
  return id_;
}
void CDatabaseItem::SetId(int64_t id) {
  id_ = id;
}
int64_t CDatabaseItem::GetFileId() const {
  return fileId_;
}
void CDatabaseItem::SetFileId(int64_t fileId) {
  fileId_ = fileId;
}
int CDatabaseItem::GetAttributes() const {
  return attributes_;
}
void CDatabaseItem::SetAttributes(int attributes) {
  attributes_ = attributes;
}
int CDatabaseItem::GetLinks() const {
  return links_;
}
void CDatabaseItem::SetLinks(int links) {
  links_ = links;
}
int64_t CDatabaseItem::GetFileSize() const {
  return fileSize_;
}
void CDatabaseItem::SetFileSize(int64_t size) {
  fileSize_ = size;
}
int64_t CDatabaseItem::GetFileSizeOnDisk() const {
  return fileSizeOnDisk_;
}
void CDatabaseItem::SetFileSizeOnDisk(int64_t size) {
  fileSizeOnDisk_ = size;
}
int64_t CDatabaseItem::GetAccessTime() const {
  return accessTime_;
}
void CDatabaseItem::SetAccessTime(int64_t time) {
  accessTime_ = time;
}
int64_t CDatabaseItem::GetCreationTime() const {
  return creationTime_;
}
void CDatabaseItem::SetCreationTime(int64_t time) {
  creationTime_ = time;
}
int64_t CDatabaseItem::GetModificationTime() const {
  return modificationTime_;
}
void CDatabaseItem::SetModificationTime(int64_t time) {
  modificationTime_ = time;
}
int64_t CDatabaseItem::GetChangeTime() const {
  return changeTime_;
}
void CDatabaseItem::SetChangeTime(int64_t time) {
  changeTime_ = time;
}
std::string CDatabaseItem::GetFileName() const {
  return fileName_;
}
void CDatabaseItem::SetFileName(const std::string& name) {
  fileName_ = name;
}
std::string CDatabaseItem::GetFullyQualifiedPath() const {
  return fullyQualifiedPath_;
}
void CDatabaseItem::SetFullyQualifiedPath(const std::string& path) {
  fullyQualifiedPath_ = path;
}
std::string CDatabaseItem::GetMetadata() const {
  return metadata_;
}
void CDatabaseItem::SetMetadata(const std::string& metadata) {
  metadata_ = metadata;
}
void CDatabaseItem::SetAsDirectory(bool directory) {
  directory_ = directory;
}
bool CDatabaseItem::IsDirectory() const {
  return directory_;
}
void CDatabaseItem::SetAsSelected(bool selected) {
  selected_ = selected;
}
bool CDatabaseItem::IsSelected() const {
  return selected_;
}
void CDatabaseItem::SetAsCollect(bool collect) {
  collect_ = collect;
}
bool CDatabaseItem::IsCollect() const {
  return collect_;
}

CYaError CDatabaseItem::FormMetadata() {
  // The document is fixed but for four integers, and a scan forms one per entry: it is written
  // directly, byte for byte what the XML layer serialises raw and without a declaration.
  // Built from the four properties alone: whatever the string held before is discarded, not merged.
  metadata_.clear();
  metadata_.reserve(sizeof(kFormedStart) + sizeof(kFormedLinks) + sizeof(kFormedSizeOnDisk) +
                    sizeof(kFormedCreation) + sizeof(kFormedEnd) + 4 * kMaxDigits);
  metadata_ += kFormedStart;
  AppendNumber(metadata_, attributes_);
  metadata_ += kFormedLinks;
  AppendNumber(metadata_, links_);
  metadata_ += kFormedSizeOnDisk;
  AppendNumber(metadata_, fileSizeOnDisk_);
  metadata_ += kFormedCreation;
  AppendNumber(metadata_, creationTime_);
  metadata_ += kFormedEnd;
  return CYaError::Success();
}

CYaError CDatabaseItem::PopulateFromMetadata() {
  boost::shared_ptr<CYaXDocument> document = boost::make_shared<CYaXDocument>();
  if (!document)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorOutOfMemory);
  if (metadata_.empty())
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorStateForbids, "Metadata is not set.");

  CYaError error = document->LoadFromString(metadata_);
  if (error.IsError())
    return error.Push(FX_LOCATION, "LoadFromString failed, Metadata=[%s]", metadata_.c_str());

  boost::shared_ptr<CYaXNode> root;
  FSDB_RETURN_IF_ERROR(document->GetNode<CYaXNode>(root, kRootElement));
  boost::shared_ptr<CYaXNode> filesystem;
  FSDB_RETURN_IF_ERROR(root->GetNode<CYaXNode>(filesystem, kFilesystemElement));

  // Every attribute is optional: an absent one leaves its property as it was. Values are read into
  // locals so that a failed read never leaves a half-written property behind.
  if (filesystem->AttributeExists(kAttributes)) {
    int value = 0;
    FSDB_RETURN_IF_ERROR(filesystem->GetAttributeAsINT(kAttributes, value));
    attributes_ = value;
  }
  if (filesystem->AttributeExists(kLinks)) {
    int value = 0;
    FSDB_RETURN_IF_ERROR(filesystem->GetAttributeAsINT(kLinks, value));
    links_ = value;
  }
  if (filesystem->AttributeExists(kFileSizeOnDisk)) {
    long long value = 0;
    FSDB_RETURN_IF_ERROR(filesystem->GetAttributeAsLONGLONG(kFileSizeOnDisk, value));
    fileSizeOnDisk_ = value;
  }
  if (filesystem->AttributeExists(kCreationTime)) {
    long long value = 0;
    FSDB_RETURN_IF_ERROR(filesystem->GetAttributeAsLONGLONG(kCreationTime, value));
    creationTime_ = value;
  }
  return CYaError::Success();
}

std::string CDatabaseItem::AsString() const {
  // The creation time comes last among the times, and "IsCollect[" has no blank: log readers and
  // scripts match this line as it stands.
  return FXString::Format("FileName [%s] Inode [%" PRId64 "] Attributes [%d] Links [%d] FileSize [%" PRId64
                          "] Access Time [%" PRId64
                          "] Modification "
                          "Time [%" PRId64 "] ChangeTime [%" PRId64 "] Create Time [%" PRId64
                          "] FullyQualifiedPath [%s] IsDirectory [%s] IsSelected "
                          "[%s] IsCollect[%s]",
                          fileName_.c_str(), fileId_, attributes_, links_, fileSize_, accessTime_,
                          modificationTime_, changeTime_, creationTime_, fullyQualifiedPath_.c_str(),
                          YesNo(directory_), YesNo(selected_), YesNo(collect_));
}

CDatabaseItemIterator::CDatabaseItemIterator(const Generator& generator, const CDatabaseItemPtr& first)
    : generator_(generator), current_(first) {}

CDatabaseItemIterator::~CDatabaseItemIterator() = default;

CDatabaseItemPtr CDatabaseItemIterator::NextItem() {
  // No look at Eof(): the generators keep answering "none" once exhausted, so the iterator stays at
  // its end however often it is advanced.
  current_ = generator_();
  return current_;
}

}  // namespace FSDB
