// Owner, group and content digest of an entry, carried in the item's metadata document.
//
// The library's FormMetadata() writes one element with four attributes (Attributes, Links,
// FileSizeOnDisk, CreationTime). The tool adds optional attributes to that same element: Uid and Gid,
// and Digest (lower-case hex; its algorithm is recorded once per scan in the tool table). They travel
// with the row to every reader, and a reader that knows only the four documented attributes reads the
// document unchanged. A missing attribute means "not recorded".
//
// Free functions on strings; thread-safe.

#ifndef FSDB_TOOLS_TOOLMETADATA_H_
#define FSDB_TOOLS_TOOLMETADATA_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace fsdbtool {

struct Ownership {
  bool known = false;
  uint32_t uid = 0, gid = 0;
};

// Appends Uid/Gid attributes, and a Digest attribute when `digest` is not empty, to a metadata document
// made by CDatabaseItem::FormMetadata(). `digest` holds hex digits only.
std::string AddToolAttributes(const std::string& metadata, uint32_t uid, uint32_t gid,
                              std::string_view digest = {});
// The same into `result` (its old content is replaced), whose buffer is reused. `metadata` must not
// lie in `result`.
void AddToolAttributes(std::string_view metadata, uint32_t uid, uint32_t gid, std::string_view digest,
                       std::string& result);
// The owner recorded in a metadata document; known is false when either attribute is missing.
Ownership ReadOwnership(const std::string& metadata);
// The content digest recorded in a metadata document (lower-case hex), or empty when none is.
std::string ReadDigest(const std::string& metadata);
// The same without a copy: a view into `metadata`.
std::string_view DigestIn(std::string_view metadata);

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_TOOLMETADATA_H_
