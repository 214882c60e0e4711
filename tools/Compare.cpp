#include "Compare.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include "Format.h"
#include "ToolDatabase.h"
#include "ToolMetadata.h"
#include "fsdb/CompareDatabases.h"
#include "fsdb/DatabaseItem.h"

namespace fsdbtool {

namespace {

constexpr int kExitSame = 0;
constexpr int kExitDifferent = 1;
constexpr int kExitError = 2;

// The compared fields, in the order a change lists them. A set of fields is a bit mask over this.
enum Field : unsigned {
  kType,
  kSize,
  kMode,
  kOwner,
  kGroup,
  kLinks,
  kInode,
  kMtime,
  kCtime,
  kAtime,
  kContent,
  kFieldCount
};
const char* const kFieldNames[kFieldCount] = {"type",  "size",  "mode",  "owner", "group",  "links",
                                              "inode", "mtime", "ctime", "atime", "content"};
constexpr unsigned Bit(Field field) {
  return 1u << field;
}
constexpr unsigned kAllFields = (1u << kFieldCount) - 1;
// atime changes on every read of a file; it is compared only when asked for.
constexpr unsigned kDefaultFields = kAllFields & ~Bit(kAtime);
constexpr uint32_t kPermissionBits = 07777;

// What the report needs of one recorded entry: the row's columns and what its metadata document holds.
struct Snapshot {
  bool folder = false;        // a row of the folder table
  bool metadataRead = false;  // mode and links were recorded
  bool modeKnown = false;     // the mode is a st_mode value (it carries a file type)
  uint32_t mode = 0;
  int32_t links = 0;
  Ownership owner;
  int64_t size = 0, inode = 0, mtime = 0, ctime = 0, atime = 0;
  std::string digest;  // of the content; empty when not recorded
};

Snapshot TakeSnapshot(const FSDB::CDatabaseItemPtr& item, bool folder) {
  Snapshot snapshot;
  snapshot.folder = folder;
  // The selected-item walks hand out rows whose metadata is not parsed yet. A row without a readable
  // document (another program's database) simply has no mode, links or owner to compare.
  snapshot.metadataRead = !item->PopulateFromMetadata().IsError();
  if (snapshot.metadataRead) {
    snapshot.mode = static_cast<uint32_t>(item->GetAttributes());
    snapshot.modeKnown = (snapshot.mode & S_IFMT) != 0;
    snapshot.links = item->GetLinks();
    snapshot.owner = ReadOwnership(item->GetMetadata());
    if (!folder)
      snapshot.digest = ReadDigest(item->GetMetadata());
  }
  snapshot.size = item->GetFileSize();
  snapshot.inode = item->GetFileId();
  snapshot.mtime = item->GetModificationTime();
  snapshot.ctime = item->GetChangeTime();
  snapshot.atime = item->GetAccessTime();
  return snapshot;
}

EntryKind KindOf(const Snapshot& snapshot) {
  return fsdbtool::KindOf(snapshot.modeKnown, snapshot.mode, snapshot.folder);
}

// The fields of `fields` whose values differ. A field that one side did not record is not compared.
unsigned Differences(const Snapshot& before, const Snapshot& after, unsigned fields) {
  const bool modes = before.modeKnown && after.modeKnown;
  const bool metadata = before.metadataRead && after.metadataRead;
  const bool owners = before.owner.known && after.owner.known;
  const bool differs[kFieldCount] = {
      modes && (before.mode & S_IFMT) != (after.mode & S_IFMT),
      before.size != after.size,
      // The type has its own field; with a mode that is no st_mode the whole value is compared.
      modes ? (before.mode & kPermissionBits) != (after.mode & kPermissionBits)
            : metadata && before.mode != after.mode,
      owners && before.owner.uid != after.owner.uid,
      owners && before.owner.gid != after.owner.gid,
      metadata && before.links != after.links,
      before.inode != after.inode,
      before.mtime != after.mtime,
      before.ctime != after.ctime,
      before.atime != after.atime,
      // A file that one scan could not read has no digest to compare.
      !before.digest.empty() && !after.digest.empty() && before.digest != after.digest,
  };
  unsigned mask = 0;
  for (unsigned field = 0; field < kFieldCount; ++field) {
    if (differs[field])
      mask |= 1u << field;
  }
  return mask & fields;
}

// Whether the field has a value on this side (a missing metadata attribute has none).
bool HasField(const Snapshot& snapshot, Field field) {
  switch (field) {
    case kMode:
    case kLinks:
      return snapshot.metadataRead;
    case kOwner:
    case kGroup:
      return snapshot.owner.known;
    case kContent:
      return !snapshot.digest.empty();
    default:
      return true;
  }
}

// The field's value as a number (the type has none: it is a word).
int64_t FieldNumber(const Snapshot& snapshot, Field field) {
  switch (field) {
    case kSize:
      return snapshot.size;
    case kMode:
      return snapshot.mode;
    case kOwner:
      return snapshot.owner.uid;
    case kGroup:
      return snapshot.owner.gid;
    case kLinks:
      return snapshot.links;
    case kInode:
      return snapshot.inode;
    case kMtime:
      return snapshot.mtime;
    case kCtime:
      return snapshot.ctime;
    case kAtime:
      return snapshot.atime;
    case kType:
    case kContent:
    case kFieldCount:
      break;
  }
  return 0;
}

bool IsTime(Field field) {
  return field == kMtime || field == kCtime || field == kAtime;
}

// The field's value as a person reads it. `nanoseconds`: the scan recorded times in ns.
std::string FieldText(const Snapshot& snapshot, Field field, bool nanoseconds) {
  if (field == kType)
    return snapshot.modeKnown ? TypeName(snapshot.mode) : KindName(KindOf(snapshot));
  if (field == kContent)
    return snapshot.digest;
  if (field == kMode && snapshot.modeKnown)
    return FormatMode(snapshot.mode);
  if (IsTime(field))
    return FormatTime(FieldNumber(snapshot, field), nanoseconds);
  return std::to_string(FieldNumber(snapshot, field));
}

// The compared fields of one side as a JSON object: numbers as numbers, the type as a word, the content
// as its digest in hex, and for the mode and the times also their text ("mode_text", "mtime_text").
nlohmann::ordered_json FieldsJson(const Snapshot& snapshot, unsigned fields, bool nanoseconds) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (unsigned bit = 0; bit < kFieldCount; ++bit) {
    const Field field = static_cast<Field>(bit);
    if ((fields & Bit(field)) == 0 || !HasField(snapshot, field))
      continue;
    const std::string name = kFieldNames[field];
    if (field == kType || field == kContent) {
      object[name] = FieldText(snapshot, field, nanoseconds);
      continue;
    }
    object[name] = FieldNumber(snapshot, field);
    if (field == kMode || IsTime(field))
      object[name + "_text"] = FieldText(snapshot, field, nanoseconds);
  }
  return object;
}

// Paths are kept without the folder's trailing separator, so that a folder and its entries compare and
// nest by plain prefixes. The root is "/" (the comparison walk names it with the empty path).
std::string TrimSeparator(const std::string& path) {
  if (path.empty())
    return "/";
  size_t length = path.size();
  while (length > 1 && path[length - 1] == '/')
    --length;
  return path.substr(0, length);
}

// Path order: bytes compare unsigned, except that the separator sorts before every other byte, so a
// folder's subtree follows the folder directly: /a, /a/b, /a b, /a.txt.
bool PathLess(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (a[i] == b[i])
      continue;
    if (a[i] == '/')
      return true;
    if (b[i] == '/')
      return false;
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

// Whether `path` lies beneath the folder `folder` (both trimmed).
bool IsBeneath(const std::string& path, const std::string& folder) {
  if (folder == "/")
    return path.size() > 1 && path[0] == '/';
  return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

// A deleted or an added entry, held until the end of the walk to be paired into moves.
struct Pending {
  std::string path;
  Snapshot snapshot;
  bool paired = false;
};

// Entries in path order; at one path a file (replaced by a folder) comes first.
bool EntryLess(std::string_view aPath, bool aFolder, std::string_view bPath, bool bFolder) {
  if (aPath != bPath)
    return PathLess(aPath, bPath);
  return !aFolder && bFolder;
}

bool PendingLess(const Pending& a, const Pending& b) {
  return EntryLess(a.path, a.snapshot.folder, b.path, b.snapshot.folder);
}

// The end of the block of entries beneath entries[index] (a folder): path order keeps them contiguous.
size_t SubtreeEnd(const std::vector<Pending>& entries, size_t index) {
  size_t end = index + 1;
  while (end < entries.size() && IsBeneath(entries[end].path, entries[index].path))
    ++end;
  return end;
}

enum class Change { kDeleted, kAdded, kMoved, kChanged, kUnreadable };

// How each change is named in JSON and marked in text, in the order of Change.
const char* const kChangeNames[] = {"deleted", "added", "moved", "changed", "unreadable"};
const char kChangeSymbols[] = {'-', '+', '>', '~', '?'};

// One line of the report.
struct ReportLine {
  Change change;
  std::string path;  // where the entry is now (a deleted entry: where it was)
  std::string from;  // a move's previous path
  bool folder = false;
  EntryKind kind = EntryKind::kFile;
  const Snapshot* before = nullptr;  // into the collector's storage
  const Snapshot* after = nullptr;
  unsigned differences = 0;  // changed fields (changes and moves)
  int64_t entries = -1;      // entries beneath an added or deleted folder
  std::string reason;        // unreadable folders
};

struct Counts {
  uint64_t folders = 0, files = 0;
  void Add(bool folder) { ++(folder ? folders : files); }
  uint64_t Total() const { return folders + files; }
};

struct Summary {
  Counts byChange[4];  // indexed by Change, unreadable aside
  uint64_t unreadable = 0;
  const Counts& Of(Change change) const { return byChange[static_cast<int>(change)]; }
  bool Any() const {
    uint64_t total = unreadable;
    for (const Counts& counts : byChange)
      total += counts.Total();
    return total != 0;
  }
};

// Receives the library's merge walk. Entries in both scans are compared at once and only their
// differences kept; entries on one side only are held as pending, to be paired into moves at the end.
// Used by one thread.
class Collector : public FSDB::CCompareDatabasesCallback {
 public:
  Collector(unsigned fields, const std::vector<UnreadableFolder>& unreadable) : fields_(fields) {
    for (const UnreadableFolder& folder : unreadable)
      unreadable_.insert(TrimSeparator(folder.path));
  }

  CYaError OnFolderInIndex1(const std::string& path, FSDB::CDatabaseItemPtr item,
                            bool& processFolder) override {
    std::string trimmed = TrimSeparator(path);
    // Left false, the library skips the subtree of a folder that the current scan could not see into.
    if (IsHidden(trimmed))
      return CYaError::Success();
    // Its entries are needed too: they are counted, listed with --all and may have moved.
    processFolder = true;
    deleted_.push_back(Pending{std::move(trimmed), TakeSnapshot(item, true), false});
    return CYaError::Success();
  }

  CYaError OnFolderInIndex2(const std::string& path, FSDB::CDatabaseItemPtr item,
                            bool& processFolder) override {
    processFolder = true;
    added_.push_back(Pending{TrimSeparator(path), TakeSnapshot(item, true), false});
    return CYaError::Success();
  }

  CYaError OnFolderInBothIndexes(const std::string& path, FSDB::CDatabaseItemPtr previousItem,
                                 FSDB::CDatabaseItemPtr currentItem, bool& processFolder) override {
    processFolder = true;
    Compare(path, previousItem, currentItem, true);
    return CYaError::Success();
  }

  CYaError OnFileInIndex1(const std::string& path, FSDB::CDatabaseItemPtr item) override {
    std::string trimmed = TrimSeparator(path);
    if (!IsHidden(trimmed))
      deleted_.push_back(Pending{std::move(trimmed), TakeSnapshot(item, false), false});
    return CYaError::Success();
  }

  CYaError OnFileInIndex2(const std::string& path, FSDB::CDatabaseItemPtr item) override {
    added_.push_back(Pending{TrimSeparator(path), TakeSnapshot(item, false), false});
    return CYaError::Success();
  }

  CYaError OnFileInBothIndexes(const std::string& path, FSDB::CDatabaseItemPtr previousItem,
                               FSDB::CDatabaseItemPtr currentItem) override {
    Compare(path, previousItem, currentItem, false);
    return CYaError::Success();
  }

  // An entry in both scans whose fields differ.
  struct Changed {
    std::string path;
    Snapshot before, after;
    unsigned differences;
  };

  std::vector<Pending>& deleted() { return deleted_; }
  std::vector<Pending>& added() { return added_; }
  std::vector<Changed>& changed() { return changed_; }

 private:
  // Whether `path` lies beneath a folder that the current scan could not list: what it held before is
  // unknown now, not deleted.
  bool IsHidden(const std::string& path) const {
    if (unreadable_.empty())
      return false;
    std::string ancestor = path;
    while (ancestor.size() > 1) {
      const size_t slash = ancestor.rfind('/');
      ancestor.resize(slash == 0 ? 1 : slash);
      if (unreadable_.count(ancestor) != 0)
        return true;
    }
    return false;
  }

  void Compare(const std::string& path, const FSDB::CDatabaseItemPtr& previousItem,
               const FSDB::CDatabaseItemPtr& currentItem, bool folder) {
    Snapshot before = TakeSnapshot(previousItem, folder);
    Snapshot after = TakeSnapshot(currentItem, folder);
    const unsigned differences = Differences(before, after, fields_);
    if (differences != 0)
      changed_.push_back(Changed{TrimSeparator(path), before, after, differences});
  }

  const unsigned fields_;
  std::unordered_set<std::string> unreadable_;
  std::vector<Pending> deleted_;
  std::vector<Pending> added_;
  std::vector<Changed> changed_;
};

// Whether a deleted and an added entry are the same object: a rename keeps the type and the inode, and
// a file's size and modification time; a reused inode brings a new file's size and time with it.
bool IsSameObject(const Snapshot& deleted, const Snapshot& added) {
  if (deleted.folder != added.folder || deleted.inode != added.inode || deleted.inode == 0)
    return false;
  if (deleted.modeKnown && added.modeKnown && (deleted.mode & S_IFMT) != (added.mode & S_IFMT))
    return false;
  return deleted.folder || (deleted.size == added.size && deleted.mtime == added.mtime);
}

// Builds the report from what the walk collected.
class ReportBuilder {
 public:
  ReportBuilder(Collector& collector, unsigned fields, bool moves, bool all)
      : collector_(collector), fields_(fields), moves_(moves), all_(all) {}

  std::vector<ReportLine> Build(const std::vector<UnreadableFolder>& unreadable) {
    std::vector<Pending>& deleted = collector_.deleted();
    std::vector<Pending>& added = collector_.added();
    std::sort(deleted.begin(), deleted.end(), PendingLess);
    std::sort(added.begin(), added.end(), PendingLess);
    if (moves_)
      PairMoves(deleted, added);
    for (const Collector::Changed& change : collector_.changed()) {
      AddLine(Line(Change::kChanged, change.path, change.before, change.after, change.differences));
    }
    AddOneSided(deleted, Change::kDeleted);
    AddOneSided(added, Change::kAdded);
    for (const UnreadableFolder& folder : unreadable) {
      ReportLine line = Line(Change::kUnreadable, TrimSeparator(folder.path), true);
      line.reason = folder.reason;
      AddLine(std::move(line));
    }
    std::stable_sort(lines_.begin(), lines_.end(), [](const ReportLine& a, const ReportLine& b) {
      if (a.path != b.path)
        return PathLess(a.path, b.path);
      return a.change < b.change;
    });
    return std::move(lines_);
  }

  const Summary& summary() const { return summary_; }

 private:
  static ReportLine Line(Change change, const std::string& path, bool folder) {
    ReportLine line;
    line.change = change;
    line.path = path;
    line.folder = folder;
    line.kind = folder ? EntryKind::kFolder : EntryKind::kFile;
    return line;
  }
  // The line of an entry found in both scans (a change, or a move whose ends were paired).
  static ReportLine Line(Change change, const std::string& path, const Snapshot& before,
                         const Snapshot& after, unsigned differences) {
    ReportLine line = Line(change, path, after.folder);
    line.kind = KindOf(after);
    line.before = &before;
    line.after = &after;
    line.differences = differences;
    return line;
  }

  void AddLine(ReportLine line) {
    Count(line);
    lines_.push_back(std::move(line));
  }

  void Count(const ReportLine& line) {
    if (line.change == Change::kUnreadable)
      ++summary_.unreadable;
    else
      summary_.byChange[static_cast<int>(line.change)].Add(line.folder);
  }

  // Pairs deleted with added entries that are the same object. Deleted entries are taken in path order,
  // so a moved folder is paired before anything beneath it; its subtree is then matched by relative
  // path, and what is left on either side may still pair on its own (a file moved out of the folder).
  void PairMoves(std::vector<Pending>& deleted, std::vector<Pending>& added) {
    std::unordered_multimap<int64_t, size_t> byInode;
    byInode.reserve(added.size());
    for (size_t i = 0; i < added.size(); ++i) {
      if (added[i].snapshot.inode != 0)
        byInode.emplace(added[i].snapshot.inode, i);
    }
    for (size_t d = 0; d < deleted.size(); ++d) {
      if (deleted[d].paired || deleted[d].snapshot.inode == 0)
        continue;
      size_t a = added.size();
      const auto range = byInode.equal_range(deleted[d].snapshot.inode);
      for (auto it = range.first; it != range.second; ++it) {
        if (!added[it->second].paired && IsSameObject(deleted[d].snapshot, added[it->second].snapshot)) {
          a = std::min(a, it->second);
        }
      }
      if (a == added.size())
        continue;
      deleted[d].paired = added[a].paired = true;
      // A rename always sets the change time of what it moves: not worth a word on a move line.
      ReportLine line = Line(Change::kMoved, added[a].path, deleted[d].snapshot, added[a].snapshot,
                             Differences(deleted[d].snapshot, added[a].snapshot, fields_ & ~Bit(kCtime)));
      line.from = deleted[d].path;
      AddLine(std::move(line));
      if (deleted[d].snapshot.folder)
        MatchSubtrees(deleted, d, added, a);
    }
  }

  // Entries at the same relative path beneath a moved folder at both ends are the same entry, compared
  // field by field and reported at the new path.
  void MatchSubtrees(std::vector<Pending>& deleted, size_t d, std::vector<Pending>& added, size_t a) {
    const size_t deletedEnd = SubtreeEnd(deleted, d);
    const size_t addedEnd = SubtreeEnd(added, a);
    const size_t deletedPrefix = deleted[d].path.size();
    const size_t addedPrefix = added[a].path.size();
    size_t i = d + 1, j = a + 1;
    while (i < deletedEnd && j < addedEnd) {
      if (deleted[i].paired) {
        ++i;
        continue;
      }
      if (added[j].paired) {
        ++j;
        continue;
      }
      const std::string_view deletedPath = std::string_view(deleted[i].path).substr(deletedPrefix);
      const std::string_view addedPath = std::string_view(added[j].path).substr(addedPrefix);
      const bool deletedFolder = deleted[i].snapshot.folder, addedFolder = added[j].snapshot.folder;
      if (EntryLess(deletedPath, deletedFolder, addedPath, addedFolder)) {
        ++i;
      } else if (EntryLess(addedPath, addedFolder, deletedPath, deletedFolder)) {
        ++j;
      } else {
        deleted[i].paired = added[j].paired = true;
        const unsigned differences = Differences(deleted[i].snapshot, added[j].snapshot, fields_);
        if (differences != 0) {
          AddLine(Line(Change::kChanged, added[j].path, deleted[i].snapshot, added[j].snapshot, differences));
        }
        ++i;
        ++j;
      }
    }
  }

  // The entries left unpaired on one side. A folder's line carries the number of entries beneath it;
  // those entries get lines of their own only with --all, but every one of them is counted.
  void AddOneSided(const std::vector<Pending>& entries, Change change) {
    std::vector<ReportLine> side;
    std::vector<char> shown;
    std::vector<size_t> open;  // the unpaired folders enclosing the entry, outermost first
    for (const Pending& entry : entries) {
      if (entry.paired)
        continue;
      while (!open.empty() && !IsBeneath(entry.path, side[open.back()].path))
        open.pop_back();
      for (size_t index : open)
        ++side[index].entries;
      ReportLine line = Line(change, entry.path, entry.snapshot.folder);
      line.kind = KindOf(entry.snapshot);
      (change == Change::kDeleted ? line.before : line.after) = &entry.snapshot;
      if (entry.snapshot.folder)
        line.entries = 0;
      shown.push_back(open.empty() || all_);
      if (entry.snapshot.folder)
        open.push_back(side.size());
      side.push_back(std::move(line));
    }
    for (size_t i = 0; i < side.size(); ++i) {
      if (shown[i])
        AddLine(std::move(side[i]));
      else
        Count(side[i]);  // beneath a folder that is shown: counted, and in its number of entries
    }
  }

  Collector& collector_;
  const unsigned fields_;
  const bool moves_;
  const bool all_;
  std::vector<ReportLine> lines_;
  Summary summary_;
};

// Writes the report lines, text or JSON, and the summary. `previousNs`/`currentNs`: the scan recorded
// its times in nanoseconds, so they print as dates.
class ReportWriter {
 public:
  ReportWriter(const CompareOptions& options, unsigned fields, bool previousNs, bool currentNs)
      : options_(options), fields_(fields), previousNs_(previousNs), currentNs_(currentNs) {}

  void Write(const ReportLine& line) {
    if (options_.summaryOnly)
      return;
    text_.clear();
    if (options_.json)
      text_ = Json(line).dump();
    else
      Text(line);
    text_ += '\n';
    Emit();
  }

  // The counts in the order a person reads them: added, deleted, changed, moved, unreadable.
  void WriteSummary(const Summary& summary) {
    static const Change kOrder[] = {Change::kAdded, Change::kDeleted, Change::kChanged, Change::kMoved};
    nlohmann::ordered_json counts;
    text_ = "summary: ";
    for (Change change : kOrder) {
      const char* name = kChangeNames[static_cast<int>(change)];
      const Counts& of = summary.Of(change);
      counts[name] = {{"folders", of.folders}, {"files", of.files}};
      text_ +=
          std::string(name) + " " + Plural(of.folders, "folder") + ", " + Plural(of.files, "file") + "; ";
    }
    counts["unreadable"] = summary.unreadable;
    text_ += "unreadable " + std::to_string(summary.unreadable);
    if (options_.json)
      text_ = nlohmann::ordered_json{{"summary", counts}}.dump();
    text_ += '\n';
    Emit();
  }

 private:
  static std::string Plural(uint64_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
  }
  static std::string Entries(int64_t count) {
    return std::to_string(count) + (count == 1 ? " entry" : " entries");
  }

  // The escaped path; a folder's ends in the separator.
  static std::string Shown(const std::string& path, bool folder) {
    std::string shown = EscapePath(path);
    if (folder && path != "/")
      shown += '/';
    return shown;
  }

  void Text(const ReportLine& line) {
    text_ += kChangeSymbols[static_cast<int>(line.change)];
    text_ += ' ';
    if (line.change == Change::kMoved) {
      text_ += Shown(line.from, line.folder);
      text_ += " -> ";
    }
    text_ += Shown(line.path, line.folder);
    if (line.entries >= 0)
      text_ += " (" + Entries(line.entries) + ")";
    if (line.change == Change::kUnreadable)
      text_ += " (unreadable: " + EscapePath(line.reason) + ")";
    const char* separator = "  ";
    for (unsigned bit = 0; bit < kFieldCount; ++bit) {
      const Field field = static_cast<Field>(bit);
      if ((line.differences & Bit(field)) == 0)
        continue;
      text_ += separator;
      text_ += kFieldNames[field];
      text_ += ": ";
      text_ += FieldText(*line.before, field, previousNs_);
      text_ += " -> ";
      text_ += FieldText(*line.after, field, currentNs_);
      separator = ", ";
    }
  }

  nlohmann::ordered_json Json(const ReportLine& line) const {
    nlohmann::ordered_json object;
    object["change"] = kChangeNames[static_cast<int>(line.change)];
    object["kind"] = KindName(line.kind);
    object["path"] = Shown(line.path, line.folder);
    if (line.change == Change::kMoved)
      object["from"] = Shown(line.from, line.folder);
    if (line.entries >= 0)
      object["entries"] = line.entries;
    if (line.change == Change::kUnreadable)
      object["reason"] = EscapePath(line.reason);
    if (line.change == Change::kMoved || line.change == Change::kChanged) {
      nlohmann::ordered_json names = nlohmann::ordered_json::array();
      for (unsigned field = 0; field < kFieldCount; ++field) {
        if (line.differences & (1u << field))
          names.push_back(kFieldNames[field]);
      }
      object["fields"] = names;
    }
    if (line.before != nullptr)
      object["before"] = FieldsJson(*line.before, fields_, previousNs_);
    if (line.after != nullptr)
      object["after"] = FieldsJson(*line.after, fields_, currentNs_);
    return object;
  }

  void Emit() {
    if (std::fwrite(text_.data(), 1, text_.size(), stdout) != text_.size())
      failed_ = true;
  }

 public:
  // Whether everything reached stdout.
  bool Finish() { return std::fflush(stdout) == 0 && !failed_ && !std::ferror(stdout); }

 private:
  const CompareOptions& options_;
  const unsigned fields_;
  const bool previousNs_, currentNs_;
  std::string text_;
  bool failed_ = false;
};

int Fail(const ToolStatus& status, bool verbose) {
  std::fprintf(stderr, "fsdb: %s\n", status.message.c_str());
  if (verbose && !status.detail.empty())
    std::fprintf(stderr, "fsdb: %s\n", status.detail.c_str());
  return kExitError;
}

// The field set named by --fields (each argument may hold a comma-separated list); the default set
// when none is named.
ToolStatus ParseFields(const std::vector<std::string>& arguments, unsigned& fields) {
  fields = 0;
  for (const std::string& argument : arguments) {
    size_t begin = 0;
    while (begin <= argument.size()) {
      size_t end = argument.find(',', begin);
      if (end == std::string::npos)
        end = argument.size();
      const std::string name = argument.substr(begin, end - begin);
      begin = end + 1;
      if (name.empty())
        continue;
      const auto* found = std::find(std::begin(kFieldNames), std::end(kFieldNames), name);
      if (found == std::end(kFieldNames)) {
        std::string known;
        for (const char* field : kFieldNames)
          known += (known.empty() ? "" : ", ") + std::string(field);
        return ToolStatus::Fail("unknown field in --fields: " + EscapePath(name) + " (fields: " + known +
                                ")");
      }
      fields |= 1u << (found - std::begin(kFieldNames));
    }
  }
  if (fields == 0)
    fields = kDefaultFields;
  return ToolStatus::Ok();
}

}  // namespace

int RunCompare(const CompareOptions& options, bool verbose) {
  unsigned fields = 0;
  ToolStatus status = ParseFields(options.fields, fields);
  if (!status.ok)
    return Fail(status, verbose);
  // Both files are checked first: the library would report a file that is no scan database in terms
  // of its own internals.
  ScanInfo previous, current;
  status = ReadScanInfo(options.previous, previous);
  if (!status.ok)
    return Fail(status, verbose);
  status = ReadScanInfo(options.current, current);
  if (!status.ok)
    return Fail(status, verbose);
  // The walk sees selected entries only: a scan made with --no-select would look empty, and an empty
  // report must not pass for "nothing changed" without a word.
  for (const auto& [path, info] :
       {std::make_pair(&options.previous, &previous), std::make_pair(&options.current, &current)}) {
    if (info->hasToolTable && !info->select)
      std::fprintf(stderr, "fsdb: warning: %s was scanned with --no-select; its entries are not compared\n",
                   EscapePath(*path).c_str());
  }

  // Digests compare only when both scans computed them with the same algorithm.
  if (HasDigests(previous) && HasDigests(current) && previous.hash != current.hash) {
    std::fprintf(
        stderr,
        "fsdb: note: the scans hold digests of different algorithms (%s, %s); content is not compared\n",
        EscapePath(previous.hash).c_str(), EscapePath(current.hash).c_str());
    fields &= ~Bit(kContent);
  } else if (!HasDigests(previous) || !HasDigests(current)) {
    if (!options.fields.empty() && (fields & Bit(kContent)) != 0)
      std::fprintf(stderr, "fsdb: note: %s holds no digests; content is not compared\n",
                   EscapePath(HasDigests(previous) ? options.current : options.previous).c_str());
    fields &= ~Bit(kContent);
  }

  auto collector = boost::make_shared<Collector>(fields, current.unreadable);
  FSDB::CCompareDatabases comparison(options.current, options.previous, collector, current.layout,
                                     previous.layout);
  // Two finished scans are read, never written: the current one too is opened read-only, so it keeps its
  // journal mode and bytes, and no -wal/-shm file appears beside it.
  comparison.SetCurrentReadOnly(true);
  const CYaError error = comparison.CompareDatabases();
  if (error.IsError())
    return Fail(FromLibraryError(error, "cannot compare", options.previous + " with " + options.current),
                verbose);

  ReportBuilder builder(*collector, fields, options.moves, options.all);
  const std::vector<ReportLine> lines = builder.Build(current.unreadable);
  ReportWriter writer(options, fields, previous.timeUnit == "ns", current.timeUnit == "ns");
  for (const ReportLine& line : lines)
    writer.Write(line);
  writer.WriteSummary(builder.summary());
  if (!writer.Finish())
    return Fail(ToolStatus::Fail("cannot write the report to standard output"), verbose);
  return builder.summary().Any() ? kExitDifferent : kExitSame;
}

}  // namespace fsdbtool
