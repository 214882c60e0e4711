#include "ReadBack.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <list>
#include <memory>
#include <vector>

#include "Format.h"
#include "ToolMetadata.h"
#include "fsdb/DatabaseItem.h"
#include "fsdb/ScanDatabase.h"

namespace fsdbtool {

namespace {

using FSDB::CDatabaseItemPtr;

// A metadata document that was never written leaves the mode at 0, which no real entry has.
bool ModeKnown(const CDatabaseItemPtr& item) {
  return item->GetAttributes() != 0;
}

std::string ModeText(const CDatabaseItemPtr& item) {
  if (!ModeKnown(item))
    return item->IsDirectory() ? "d?????????" : "??????????";
  return FormatMode(static_cast<uint32_t>(item->GetAttributes()));
}

std::string OwnerText(const CDatabaseItemPtr& item) {
  const Ownership owner = ReadOwnership(item->GetMetadata());
  return owner.known ? std::to_string(owner.uid) + ":" + std::to_string(owner.gid) : "-";
}

// The name as ls shows it: escaped to one line, a folder with its trailing '/'.
std::string DisplayName(const CDatabaseItemPtr& item) {
  std::string name = EscapePath(item->GetFileName());
  if (item->IsDirectory())
    name += '/';
  return name;
}

// Opens the database read-only and reads the entry at `path`.
ToolStatus OpenEntry(const std::string& databasePath, const std::string& path,
                     std::unique_ptr<FSDB::CScanDatabase>& database, ScanInfo& info, CDatabaseItemPtr& item) {
  ToolStatus status = OpenForReading(databasePath, database, info);
  if (!status.ok)
    return status;
  CYaError error = database->QueryItem(path, item);
  if (error.IsError())
    return FromLibraryError(error, "cannot read", EscapePath(path));
  if (!item)
    return ToolStatus::Fail("not in this scan: " + EscapePath(path));
  return ToolStatus::Ok();
}

// "sha256 HEX" for a file hashed by the scan; otherwise why there is none.
std::string DigestText(const ScanInfo& info, const CDatabaseItemPtr& item) {
  if (!HasDigests(info))
    return "not recorded (scanned without --hash)";
  if (item->IsDirectory() || (ModeKnown(item) && !S_ISREG(static_cast<uint32_t>(item->GetAttributes()))))
    return "none (not a regular file)";
  const std::string digest = ReadDigest(item->GetMetadata());
  return digest.empty() ? "none (the file could not be read)" : EscapePath(info.hash) + " " + digest;
}

}  // namespace

ToolStatus ListFolder(const std::string& databasePath, const std::string& path) {
  std::unique_ptr<FSDB::CScanDatabase> database;
  ScanInfo info;
  CDatabaseItemPtr target;
  ToolStatus status = OpenEntry(databasePath, path, database, info, target);
  if (!status.ok)
    return status;
  std::vector<CDatabaseItemPtr> items;
  if (target->IsDirectory()) {
    std::list<CDatabaseItemPtr> children;
    CYaError error = database->QueryFolderItems(path, 0, children);
    if (error.IsError())
      return FromLibraryError(error, "cannot list", EscapePath(path));
    items.assign(children.begin(), children.end());
    // Byte order of the names, the order the C locale's ls uses.
    std::sort(items.begin(), items.end(), [](const CDatabaseItemPtr& a, const CDatabaseItemPtr& b) {
      return a->GetFileName() < b->GetFileName();
    });
  } else {
    items.push_back(target);  // like ls of a file: that one line
  }

  struct Row {
    std::string mode, links, owner, size, time, name;
  };
  std::vector<Row> rows;
  rows.reserve(items.size());
  size_t linksWidth = 0, ownerWidth = 0, sizeWidth = 0;
  const bool nanoseconds = info.timeUnit == "ns";
  for (const CDatabaseItemPtr& item : items) {
    Row row{ModeText(item),
            std::to_string(item->GetLinks()),
            OwnerText(item),
            std::to_string(item->GetFileSize()),
            FormatTime(item->GetModificationTime(), nanoseconds),
            DisplayName(item)};
    linksWidth = std::max(linksWidth, row.links.size());
    ownerWidth = std::max(ownerWidth, row.owner.size());
    sizeWidth = std::max(sizeWidth, row.size.size());
    rows.push_back(std::move(row));
  }
  for (const Row& row : rows) {
    std::cout << row.mode << ' ' << std::string(linksWidth - row.links.size(), ' ') << row.links << ' '
              << row.owner << std::string(ownerWidth - row.owner.size(), ' ') << ' '
              << std::string(sizeWidth - row.size.size(), ' ') << row.size << ' ' << row.time << ' '
              << row.name << '\n';
  }
  return ToolStatus::Ok();
}

ToolStatus StatEntry(const std::string& databasePath, const std::string& path) {
  std::unique_ptr<FSDB::CScanDatabase> database;
  ScanInfo info;
  CDatabaseItemPtr item;
  ToolStatus status = OpenEntry(databasePath, path, database, info, item);
  if (!status.ok)
    return status;

  const bool nanoseconds = info.timeUnit == "ns";
  const uint32_t mode = static_cast<uint32_t>(item->GetAttributes());
  const Ownership owner = ReadOwnership(item->GetMetadata());
  char octal[16];
  std::snprintf(octal, sizeof(octal), "%04o", mode & 07777);
  const auto time = [&](int64_t value) {
    return FormatTime(value, nanoseconds) + (nanoseconds ? " (" + std::to_string(value) + " ns)" : "");
  };
  std::cout << "path:         " << EscapePath(path) << (item->IsDirectory() && path != "/" ? "/" : "") << '\n'
            << "kind:         " << KindName(KindOf(ModeKnown(item), mode, item->IsDirectory())) << '\n'
            << "type:         " << (ModeKnown(item) ? TypeName(mode) : "not recorded") << '\n'
            << "mode:         " << ModeText(item) << (ModeKnown(item) ? std::string(" (") + octal + ")" : "")
            << '\n'
            << "owner:        "
            << (owner.known ? std::to_string(owner.uid) + " (uid), " + std::to_string(owner.gid) + " (gid)"
                            : "not recorded")
            << '\n'
            << "inode:        " << item->GetFileId() << '\n'
            << "size:         " << item->GetFileSize() << '\n'
            << "size on disk: " << item->GetFileSizeOnDisk() << '\n'
            << "links:        " << item->GetLinks() << '\n'
            << "access:       " << time(item->GetAccessTime()) << '\n'
            << "modification: " << time(item->GetModificationTime()) << '\n'
            << "change:       " << time(item->GetChangeTime()) << '\n'
            << "creation:     "
            << (item->GetCreationTime() == 0 ? "not recorded" : time(item->GetCreationTime())) << '\n'
            << "selected:     " << (item->IsSelected() ? "yes" : "no") << '\n'
            << "digest:       " << DigestText(info, item) << '\n'
            << "row id:       " << item->GetId() << '\n'
            << "metadata:     " << EscapePath(item->GetMetadata()) << '\n';
  return ToolStatus::Ok();
}

ToolStatus PrintInfo(const std::string& databasePath) {
  ScanInfo info;
  ToolStatus status = ReadScanInfo(databasePath, info);
  if (!status.ok)
    return status;
  std::cout << "database:   " << EscapePath(databasePath) << '\n'
            << "layout:     " << LayoutName(info.layout) << '\n';
  if (!info.hasToolTable) {
    std::cout << "made by:    another program (no fsdb tool table); times are shown as stored\n";
    return ToolStatus::Ok();
  }
  std::string options;
  for (const std::string& pattern : info.excludes)
    options += " --exclude " + EscapePath(pattern);
  if (info.oneFileSystem)
    options += " --one-file-system";
  if (!info.select)
    options += " --no-select";
  if (info.root != info.scannedRoot)
    options += " --as " + EscapePath(info.root);
  const bool nanoseconds = info.timeUnit == "ns";
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.3f s", static_cast<double>(info.endNs - info.startNs) / 1e9);
  std::cout << "made by:    fsdb " << info.toolVersion << " on " << EscapePath(info.host) << '\n'
            << "root:       " << EscapePath(info.root) << '\n'
            << "scanned:    " << EscapePath(info.scannedRoot) << '\n'
            << "started:    " << FormatTime(info.startNs, true) << '\n'
            << "finished:   " << FormatTime(info.endNs, true) << " (" << seconds << ")\n"
            << "time unit:  " << (nanoseconds ? "ns" : EscapePath(info.timeUnit)) << '\n'
            << "folders:    " << info.folders << '\n'
            << "files:      " << info.files << '\n'
            << "skipped:    " << info.skipped << '\n'
            << "options:   " << (options.empty() ? " none" : options) << '\n'
            << "digests:    "
            << (HasDigests(info) ? EscapePath(info.hash) + ", " + std::to_string(info.filesHashed) +
                                       " files hashed, " + std::to_string(info.filesReused) + " reused, " +
                                       std::to_string(info.unreadableFiles) + " unreadable"
                                 : std::string("none"))
            << '\n'
            << "bytes read: " << info.bytesRead << '\n'
            << "unreadable: " << info.unreadable.size() << '\n';
  for (const UnreadableFolder& folder : info.unreadable)
    std::cout << "  " << EscapePath(folder.path) << "/ (" << folder.reason << ")\n";
  return ToolStatus::Ok();
}

}  // namespace fsdbtool
