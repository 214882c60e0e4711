#include "Format.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace fsdbtool {

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

// The length of the valid UTF-8 sequence that starts at `at`, or 0 when the byte there does not start
// one. Overlong forms, surrogates and code points past U+10FFFF are not valid.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      low = 0xA0;
    else if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      low = 0x90;
    else if (lead == 0xF4)
      high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size())
    return 0;
  if (byte(at + 1) < low || byte(at + 1) > high)
    return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
      return 0;
  }
  return length;
}

}  // namespace

const char* KindName(EntryKind kind) {
  static const char* const kNames[] = {"file", "folder", "symlink", "other"};
  return kNames[static_cast<int>(kind)];
}

EntryKind KindOf(bool modeKnown, uint32_t mode, bool isDirectory) {
  if (!modeKnown)
    return isDirectory ? EntryKind::kFolder : EntryKind::kFile;
  switch (mode & S_IFMT) {
    case S_IFREG:
      return EntryKind::kFile;
    case S_IFDIR:
      return EntryKind::kFolder;
    case S_IFLNK:
      return EntryKind::kSymlink;
    default:
      return EntryKind::kOther;
  }
}

namespace {

// The file types of a st_mode value: the letter ls -l writes and the word a report writes.
struct FileType {
  uint32_t bits;
  char letter;
  const char* name;
};
constexpr FileType kFileTypes[] = {
    {S_IFREG, '-', "file"},         {S_IFDIR, 'd', "folder"},  {S_IFLNK, 'l', "symlink"},
    {S_IFIFO, 'p', "fifo"},         {S_IFSOCK, 's', "socket"}, {S_IFCHR, 'c', "character device"},
    {S_IFBLK, 'b', "block device"},
};
constexpr FileType kUnknownType = {0, '?', "unknown"};

const FileType& FileTypeOf(uint32_t mode) {
  for (const FileType& type : kFileTypes) {
    if ((mode & S_IFMT) == type.bits)
      return type;
  }
  return kUnknownType;
}

}  // namespace

const char* TypeName(uint32_t mode) {
  return FileTypeOf(mode).name;
}

std::string FormatMode(uint32_t mode) {
  std::string text(10, '-');
  text[0] = FileTypeOf(mode).letter;
  static const char kLetters[] = "rwx";
  for (int bit = 0; bit < 9; ++bit) {
    if (mode & (0400u >> bit))
      text[1 + bit] = kLetters[bit % 3];
  }
  // The special bits share the execute column: lower case when execute is set too, upper case when not.
  const struct {
    uint32_t bit;
    size_t column;
    char withExecute, withoutExecute;
  } kSpecial[] = {{S_ISUID, 3, 's', 'S'}, {S_ISGID, 6, 's', 'S'}, {S_ISVTX, 9, 't', 'T'}};
  for (const auto& special : kSpecial) {
    if (mode & special.bit)
      text[special.column] = text[special.column] == 'x' ? special.withExecute : special.withoutExecute;
  }
  return text;
}

std::string FormatTime(int64_t value, bool nanoseconds) {
  if (!nanoseconds)
    return std::to_string(value);
  // Floor division, so that a time before the epoch keeps a fraction in [0, 1e9).
  int64_t seconds = value / kNanosecondsPerSecond;
  int64_t fraction = value % kNanosecondsPerSecond;
  if (fraction < 0) {
    fraction += kNanosecondsPerSecond;
    --seconds;
  }
  const time_t time = static_cast<time_t>(seconds);
  struct tm parts;
  if (gmtime_r(&time, &parts) == nullptr || parts.tm_year + 1900 < 0 || parts.tm_year + 1900 > 9999)
    return std::to_string(value);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09" PRId64 "Z", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, fraction);
  return text;
}

std::string EscapePath(const std::string& path) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(path.size());
  for (size_t i = 0; i < path.size();) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(path, i);
      if (length != 0) {
        text.append(path, i, length);
        i += length;
        continue;
      }
    }
    if (c == '\\') {
      text += "\\\\";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\t') {
      text += "\\t";
    } else {
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 0xF];
    }
    ++i;
  }
  return text;
}

}  // namespace fsdbtool
