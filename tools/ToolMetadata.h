// Owner and group of an entry, carried in the item's metadata document.
//
// The library's FormMetadata() writes one element with four attributes (Attributes, Links,
// FileSizeOnDisk, CreationTime). The tool adds two optional attributes, Uid and Gid, to that same
// element: they travel with the row to every reader, and a reader that knows only the four documented
// attributes reads the document unchanged. A missing attribute means "not recorded".
//
// Free functions on strings; thread-safe.

#ifndef FSDB_TOOLS_TOOLMETADATA_H_
#define FSDB_TOOLS_TOOLMETADATA_H_

#include <cstdint>
#include <string>

namespace fsdbtool {

struct Ownership {
  bool known = false;
  uint32_t uid = 0, gid = 0;
};

// Appends Uid/Gid attributes to a metadata document made by CDatabaseItem::FormMetadata().
std::string AddOwnership(const std::string& metadata, uint32_t uid, uint32_t gid);
// The owner recorded in a metadata document; known is false when either attribute is missing.
Ownership ReadOwnership(const std::string& metadata);

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_TOOLMETADATA_H_
