// `fsdb ls`, `fsdb stat` and `fsdb info`: what a scan database recorded, read back for a person.

#ifndef FSDB_TOOLS_READBACK_H_
#define FSDB_TOOLS_READBACK_H_

#include <string>

#include "ToolDatabase.h"

namespace fsdbtool {

// Lists the entries of the folder `path` like `ls -l`, sorted by name.
ToolStatus ListFolder(const std::string& databasePath, const std::string& path);
// Prints every recorded field of the entry at `path`, its metadata document included.
ToolStatus StatEntry(const std::string& databasePath, const std::string& path);
// Prints the layout, root, times, counts, options and unreadable folders of a database.
ToolStatus PrintInfo(const std::string& databasePath);

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_READBACK_H_
