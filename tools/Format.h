// How the tool writes the values of a recorded entry for a person: modes as ls does, times as ISO 8601,
// and paths escaped so that one entry is always one line.

#ifndef FSDB_TOOLS_FORMAT_H_
#define FSDB_TOOLS_FORMAT_H_

#include <cstdint>
#include <string>

namespace fsdbtool {

// What an entry is, as reported in the `kind` of a change.
enum class EntryKind { kFile, kFolder, kSymlink, kOther };

// "file", "folder", "symlink", "other".
const char* KindName(EntryKind kind);

// The kind from a st_mode value; when the mode was not recorded (`modeKnown` false) a folder row is a
// folder and anything else a file.
EntryKind KindOf(bool modeKnown, uint32_t mode, bool isDirectory);

// The file type of a st_mode value in words: "file", "folder", "symlink", "fifo", "socket",
// "character device", "block device", or "unknown".
const char* TypeName(uint32_t mode);

// "-rw-r--r--", "drwxrwxrwt", "-rwsr-xr-x": the type letter and the nine permission letters as ls -l
// writes them, setuid, setgid and sticky included.
std::string FormatMode(uint32_t mode);

// With `nanoseconds`, the time as ISO 8601 in UTC with nine fractional digits
// ("2026-12-06T13:39:38.123456789Z"); otherwise the value as stored, as a decimal integer (a database
// made by another program, whose unit the tool does not know).
std::string FormatTime(int64_t value, bool nanoseconds);

// A path as one line of valid UTF-8: bytes are copied, except a control byte (below 0x20, and 0x7f),
// a backslash and a byte that is not part of a valid UTF-8 sequence, written as "\n", "\t", "\\" or
// "\xHH" (two lower-case hex digits). The mapping is one to one, so the original bytes can be read back.
std::string EscapePath(const std::string& path);

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_FORMAT_H_
