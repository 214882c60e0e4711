// What both folder layouts must do alike: a few behaviours over both engines, and one long generated
// sequence of changes whose answers must match an in-memory model of the tree in both layouts.

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TestUtil.h"
#include "core/FullPathDatabase.h"
#include "core/OptimizedPathDatabase.h"
#include "fsdb/ScanDatabase.h"

namespace {

using FSDB::CDatabaseItem;
using FSDB::CDatabaseItemIteratorPtr;
using FSDB::CDatabaseItemPtr;
using FSDB::CPathDatabase;
using FSDB::DatabaseType;
using Lines = std::vector<std::string>;

std::unique_ptr<CPathDatabase> MakeEngine(DatabaseType type, const std::string& file) {
  if (type == FSDB::DATABASE_TYPE_OPTIMIZED)
    return std::make_unique<FSDB::COptimizedPathDatabase>(file, false);
  return std::make_unique<FSDB::CFullPathDatabase>(file, false);
}

using fsdbtest::Item;
using fsdbtest::Walk;

std::string Describe(const CDatabaseItem& item) {
  return (item.IsDirectory() ? "folder " : "file ") + item.GetFullyQualifiedPath() + " [" +
         item.GetFileName() + "] " + fsdbtest::Values(item);
}

// How a query describes an item recorded from `source`; the walks leave the metadata's values 0.
std::string Expected(const CDatabaseItem& source, bool directory, const std::string& path,
                     const std::string& name, bool populated = true) {
  CDatabaseItem item(source);
  item.SetAsDirectory(directory);
  item.SetFullyQualifiedPath(path);
  item.SetFileName(name);
  if (!populated) {
    item.SetAttributes(0);
    item.SetLinks(0);
    item.SetFileSizeOnDisk(0);
    item.SetCreationTime(0);
  }
  return Describe(item);
}

std::string RowCounts(CPathDatabase& db) {  // "folders|files"
  return fsdbtest::SelectRows(db, "SELECT (SELECT COUNT(*) FROM Folders), (SELECT COUNT(*) FROM Files)")
      .at(0);
}

// Row ids and the folder-id cache (in the order that would expose a stale entry), which the generated
// sequence does not check.

class LayoutTest : public ::testing::TestWithParam<DatabaseType> {
 protected:
  void SetUp() override {
    db_ = MakeEngine(GetParam(), dir_.File("scan.db"));
    ASSERT_OK(db_->Open(false));
  }
  CDatabaseItemPtr Query(const std::string& path) {
    CDatabaseItemPtr item;
    EXPECT_OK(db_->QueryItem(path, item));
    return item ? item : Item(0);
  }

  fsdbtest::TempDir dir_;
  std::unique_ptr<CPathDatabase> db_;
};

TEST_P(LayoutTest, RowsKeepTheirIdsWhenRecordedAgainOrMoved) {
  fsdbtest::ScopedCaptureLog log(2);
  ASSERT_OK(db_->AddFile("/a/b/d/f", Item(1)));
  EXPECT_EQ(1u,
            log->Count("Could not find /a/b/d/ in the database, so we are adding the parent folder to the "
                       "database with empty item information"));
  EXPECT_EQ(1u, log->Count("Could not find /a/ in the database, so we are adding the parent folder"));
  const int64_t idOfB = Query("/a/b")->GetId();
  const int64_t idOfF = Query("/a/b/d/f")->GetId();
  ASSERT_OK(db_->AddFolder("/a/b/", Item(2)));
  ASSERT_OK(db_->AddFile("/a/b/d/f", Item(3)));
  EXPECT_EQ("5|1", RowCounts(*db_));
  EXPECT_EQ(idOfB, Query("/a/b")->GetId());
  EXPECT_EQ(idOfF, Query("/a/b/d/f")->GetId());

  // Renamed without a new item, each row keeps its own values.
  ASSERT_OK(db_->RenameFolder("/a/b", "/x", nullptr, nullptr));
  ASSERT_OK(db_->RenameFile("/x/d/f", "/x/g", nullptr, nullptr));
  EXPECT_EQ(idOfB, Query("/x")->GetId());
  EXPECT_EQ(idOfF, Query("/x/g")->GetId());
  EXPECT_EQ(Expected(*Item(2), true, "/x/", "x"), Describe(*Query("/x")));
  EXPECT_EQ(Expected(*Item(3), false, "/x/g", "g"), Describe(*Query("/x/g")));
}

TEST_P(LayoutTest, CacheNeverAnswersWithAStaleId) {
  ASSERT_OK(db_->AddFile("/a/b/f", Item(1)));
  std::list<CDatabaseItemPtr> items;
  ASSERT_OK(db_->QueryFolderItems("/a", 0, items));
  ASSERT_OK(db_->DeleteFolder("/a", nullptr));
  ASSERT_OK(db_->AddFile("/a/b/g", Item(2)));  // would fail on the foreign key with the old id
  CDatabaseItemPtr item;
  EXPECT_WIN32(db_->QueryItem("/a/b/f", item), 1168);

  (void)db_->QueryItem("//a//b", item);
  (void)db_->QueryFolderItems("//a//b//", 0, items);
  ASSERT_OK(db_->RenameFolder("/a", "/m", nullptr, nullptr));
  EXPECT_WIN32(db_->QueryItem("//a//b", item), 1168);
  EXPECT_WIN32(db_->QueryFolderItems("//a//b//", 0, items), 1168);
  ASSERT_OK(db_->AddFile("/a/b/h", Item(3)));
  EXPECT_NE(Query("/a/b")->GetId(), Query("/m/b")->GetId());
  items.clear();
  ASSERT_OK(db_->QueryFolderItems("/m/b", 0, items));
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(Expected(*Item(2), false, "/m/b/g", "g"), Describe(*items.front()));
  EXPECT_EQ(Expected(*Item(3), false, "/a/b/h", "h"), Describe(*Query("/a/b/h")));
}

// Bytes above 127 compare unsigned, after every ASCII byte: the walks give "/z" before "/\xC3\x84" ("/Ä"),
// and a folder's files in that order too.
TEST_P(LayoutTest, WalksOrderBytesAbove127AfterAscii) {
  const Lines names = {"\xFF", "\xC3\xA4", "\xC3\x84", "z", "a"};  // recorded in reverse order
  for (const std::string& name : names) {
    ASSERT_OK(db_->AddFolder("/" + name, Item(1, true)));
    ASSERT_OK(db_->AddFile("/a/" + name, Item(2, true)));
  }
  CDatabaseItemIteratorPtr walk;
  Lines folders, files;
  ASSERT_OK(db_->QuerySelectedFolders(walk));
  for (const CDatabaseItemPtr& item : Walk(walk))
    folders.push_back(item->GetFullyQualifiedPath());
  ASSERT_OK(db_->QuerySelectedFiles("/a", walk));
  for (const CDatabaseItemPtr& item : Walk(walk))
    files.push_back(item->GetFileName());
  EXPECT_EQ(Lines({"/a", "/z", "/\xC3\x84", "/\xC3\xA4", "/\xFF"}), folders);
  EXPECT_EQ(Lines(names.rbegin(), names.rend()), files);
}

// The folder-id cache keeps the 2000 paths used last: a lookup of one that went reads the table (a miss),
// one of a path used since is answered from the cache alone.
TEST_P(LayoutTest, CacheEvictsTheLeastRecentlyUsedFolderAtItsCapacity) {
  FSDB::CDatabaseCache& cache = *db_->GetDatabaseCache();
  const auto folder = [](int n) { return "/c/f" + std::to_string(n) + "/"; };
  const auto lookup = [&](int n) {  // {hits, misses} of one lookup
    const int64_t hits = cache.GetHitCount(), misses = cache.GetMissCount();
    int64_t id = 0;
    EXPECT_OK(db_->QueryFolderId(folder(n), id));
    EXPECT_LT(2, id);
    return std::make_pair(cache.GetHitCount() - hits, cache.GetMissCount() - misses);
  };
  for (int n = 1; n <= 1990; ++n)
    ASSERT_OK(db_->AddFolder(folder(n), Item(n)));
  EXPECT_EQ(std::make_pair(int64_t{1}, int64_t{0}), lookup(1));  // refreshed: now the most recent
  for (int n = 1991; n <= 2010; ++n)
    ASSERT_OK(db_->AddFolder(folder(n), Item(n)));
  EXPECT_LE(1, lookup(2).second);
  EXPECT_EQ(std::make_pair(int64_t{1}, int64_t{0}), lookup(1));
  EXPECT_EQ(std::make_pair(int64_t{1}, int64_t{0}), lookup(2010));
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, LayoutTest,
                         ::testing::Values(FSDB::DATABASE_TYPE_FULL_PATH, FSDB::DATABASE_TYPE_OPTIMIZED),
                         fsdbtest::LayoutName);

// mt19937's output is fixed by the standard (unlike the distributions'), so is the sequence.
struct Random : std::mt19937 {
  using std::mt19937::mt19937;
  uint32_t Below(size_t n) { return static_cast<uint32_t>((*this)() % n); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
};

const int kSQLiteFailure = -1;  // a unique index refused the change

int Outcome(const CYaError& error) {
  const int outcome = !error.IsError()                    ? 0
                      : FXErrorUtil::IsWin32(error, 87)   ? 87
                      : FXErrorUtil::IsWin32(error, 1168) ? 1168
                                                          : kSQLiteFailure;
  EXPECT_TRUE(outcome != kSQLiteFailure || FXErrorUtil::IsSQLite(error)) << error.AsString();
  return outcome;
}

// The model's keys: a folder's path with a trailing separator ("/", "/a/"), a file's path ("/a/f").
const auto IsFolder = [](const std::string& key) { return key.back() == '/'; };
const auto Strip = [](const std::string& key) {
  return key.size() > 1 && IsFolder(key) ? key.substr(0, key.size() - 1) : key;
};
const auto ParentOf = [](const std::string& key) { return Strip(key).substr(0, Strip(key).rfind('/') + 1); };
const auto NameOf = [](const std::string& key) { return Strip(key).substr(Strip(key).rfind('/') + 1); };

// The path collation's order: unsigned bytes, with the separator below every other character.
struct PathOrder {
  bool operator()(const std::string& a, const std::string& b) const {
    const auto rank = [](char c) { return c == '/' ? 1 : static_cast<unsigned char>(c); };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return rank(x) < rank(y); });
  }
};
using Entries = std::map<std::string, CDatabaseItemPtr, PathOrder>;

void Append(Lines& lines, const Lines& more, const std::string& indent = "") {
  for (const std::string& line : more)
    lines.push_back(indent + line);
}

enum Kind { ADD_FILE, ADD_FOLDER, DELETE_FILE, DELETE_FOLDER, RENAME_FILE, RENAME_FOLDER, QUERY, LIST };
const char* const kKindNames[] = {"AddFile",    "AddFolder",    "DeleteFile", "DeleteFolder",
                                  "RenameFile", "RenameFolder", "QueryItem",  "QueryFolderItems"};
const uint32_t kWeights[] = {7, 4, 2, 1, 3, 3, 2, 1};

struct Operation {
  Kind kind;
  std::string path, target;                // model keys; a target for renames only
  std::string spelledPath, spelledTarget;  // as the caller passes them
  CDatabaseItemPtr item;                   // may be empty for renames
};

// The tree as the changes should leave it, each entry with the item it was last recorded from.
struct TreeModel {
  Entries tree = {{"/", Item(0)}};

  void AddMissing(const std::string& folder) {
    if (tree.count(folder))
      return;
    AddMissing(ParentOf(folder));
    tree[folder] = Item(0);
  }

  // Moves the folder `from` and its subtree (a range in path order) to `to`, or deletes them.
  void MoveTree(const std::string& from, const std::string* to) {
    Entries moved;
    for (auto entry = tree.lower_bound(from);
         entry != tree.end() && !entry->first.compare(0, from.size(), from); entry = tree.erase(entry)) {
      moved[(to ? *to : "") + entry->first.substr(from.size())] = entry->second;
    }
    if (to)
      tree.insert(moved.begin(), moved.end());
  }

  int Apply(const Operation& op) {
    const std::string& key = op.path;
    const bool parentKnown = tree.count(ParentOf(op.target.empty() ? key : op.target)) > 0;
    switch (op.kind) {
      case ADD_FILE:
      case ADD_FOLDER:
        AddMissing(ParentOf(key));
        tree[key] = op.item;
        return 0;
      case DELETE_FILE:
        if (!parentKnown)
          return 1168;
        tree.erase(key);
        return 0;
      case DELETE_FOLDER:
        if (key == "/" || !tree.count(key))
          return key == "/" ? 87 : 1168;
        MoveTree(key, nullptr);
        return 0;
      case RENAME_FILE:
      case RENAME_FOLDER:
        if (op.kind == RENAME_FOLDER &&
            (key == "/" || op.target == "/" || (op.target != key && !op.target.compare(0, key.size(), key))))
          return 87;  // the root, or into its own subtree
        if (!tree.count(key) || !parentKnown)
          return 1168;
        if (op.target != key && tree.count(op.target))
          return kSQLiteFailure;
        if (op.item)
          tree[key] = op.item;
        if (op.kind == RENAME_FOLDER) {
          MoveTree(key, &op.target);
        } else {
          auto node = tree.extract(key);
          node.key() = op.target;
          tree.insert(std::move(node));
        }
        return 0;
      default:
        return 0;
    }
  }

  std::string RowCounts() const {  // "-" is a folder row as well
    const auto folders =
        std::count_if(tree.begin(), tree.end(), [](const auto& e) { return IsFolder(e.first); });
    return std::to_string(folders + 1) + "|" + std::to_string(tree.size() - folders);
  }

  std::string ItemLine(const std::string& path) const {
    const std::string folder = path == "/" ? path : path + "/";
    if (tree.count(folder))
      return "item " + path + ": " + Expected(*tree.at(folder), true, folder, NameOf(folder));
    if (tree.count(path))
      return "item " + path + ": " + Expected(*tree.at(path), false, path, NameOf(path));
    return "item " + path + ": error 1168";
  }

  Lines ListLines(const std::string& folder) const {
    if (!tree.count(folder))
      return {"list " + folder + ": error 1168"};
    Lines lines;
    for (const auto& entry : tree) {
      const std::string& key = entry.first;
      if (key != "/" && ParentOf(key) == folder)
        lines.push_back("list " + folder + ": " +
                        Expected(*entry.second, IsFolder(key), Strip(key), NameOf(key)));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  Lines SelectedLines() const {
    Lines lines;
    for (const auto& folder : tree) {  // in path order; a folder's files in name order
      if (!IsFolder(folder.first) || !folder.second->IsSelected())
        continue;
      const std::string path = folder.first == "/" ? "" : Strip(folder.first);
      lines.push_back("selected " + Expected(*folder.second, true, path, NameOf(path), false));
      for (const auto& file : tree) {
        if (!IsFolder(file.first) && ParentOf(file.first) == folder.first && file.second->IsSelected())
          lines.push_back("  selected " +
                          Expected(*file.second, false, file.first, NameOf(file.first), false));
      }
      Append(lines, ListLines(folder.first), "  ");
    }
    return lines;
  }
};

// A database's answers in the model's form. Row ids differ between the layouts, so each is checked against
// the database's own lookups; a listing gives the subfolders first.
struct Answers {
  CPathDatabase& db;

  std::string RowCounts() { return ::RowCounts(db); }

  std::string Checked(const CDatabaseItem& item) {
    int64_t id = -1, folderId = -1;
    const std::string path = item.GetFullyQualifiedPath();
    EXPECT_OK(item.IsDirectory() ? db.QueryFolderId(!path.empty() && IsFolder(path) ? path : path + "/", id)
                                 : db.QueryFileId(path, id, folderId));
    EXPECT_EQ(id, item.GetId()) << Describe(item);
    return Describe(item);
  }

  std::string ItemLine(const std::string& path) {
    CDatabaseItemPtr item;
    const CYaError error = db.QueryItem(path, item);
    return "item " + path + ": " +
           (error.IsError() ? "error " + std::to_string(Outcome(error)) : Checked(*item));
  }

  // The listing of `folder` asked for by its path, or by `path` and `folderId`.
  Lines ListLines(const std::string& folder, const std::string& path = "", int64_t folderId = 0) {
    const std::string asked = folderId ? path : folder == "/" ? "" : folder;  // the walks call the root ""
    std::list<CDatabaseItemPtr> items = {nullptr};                            // a listing appends
    const CYaError error = db.QueryFolderItems(asked, folderId, items);
    EXPECT_TRUE(!items.empty() && !items.front()) << "the listing of " << folder << " did not append";
    if (!items.empty() && !items.front())
      items.pop_front();
    if (error.IsError())
      return {"list " + folder + ": error " + std::to_string(Outcome(error)) +
              (items.empty() ? "" : " after items")};
    EXPECT_TRUE(
        std::is_partitioned(items.begin(), items.end(), [](const auto& i) { return i->IsDirectory(); }));
    Lines lines;
    for (const CDatabaseItemPtr& item : items)
      lines.push_back("list " + folder + ": " + Checked(*item));
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  Lines SelectedLines() {
    CDatabaseItemIteratorPtr iterator;
    EXPECT_OK(db.QuerySelectedFolders(iterator));
    Lines lines;
    for (const CDatabaseItemPtr& folder : Walk(iterator)) {
      lines.push_back("selected " + Checked(*folder));
      const std::string path = folder->GetFullyQualifiedPath();
      EXPECT_OK(db.QuerySelectedFiles(path, iterator));
      Lines files;
      for (const CDatabaseItemPtr& file : Walk(iterator))
        files.push_back("  selected " + Checked(*file));
      // The visit gives the same files through one reused item.
      Lines visited;
      EXPECT_OK(db.VisitSelectedFiles(
          path, [&](const FSDB::CDatabaseItem& file) { visited.push_back("  selected " + Checked(file)); }));
      EXPECT_EQ(files, visited) << path;
      Append(lines, files);
      Append(lines, ListLines(path + "/", path, folder->GetId()), "  ");
    }
    return lines;
  }
};

// The item or listing `op` queried or, given `everything`, each of those paths, each folder's listing,
// both walks and the row counts.
template <typename Source>
Lines Answer(Source&& source, const Operation& op, const std::set<std::string>* everything,
             const TreeModel& model) {
  if (!everything)
    return op.kind == QUERY  ? Lines{source.ItemLine(op.path)}
           : op.kind == LIST ? source.ListLines(op.path)
                             : Lines();
  Lines lines;
  for (const std::string& path : *everything)
    lines.push_back(source.ItemLine(path));
  for (const auto& entry : model.tree) {
    if (IsFolder(entry.first))
      Append(lines, source.ListLines(entry.first));
  }
  Append(lines, source.SelectedLines());
  lines.push_back("rows " + source.RowCounts());
  return lines;
}

::testing::AssertionResult SameLines(const Lines& expected, const Lines& actual) {
  for (size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
    const std::string e = i < expected.size() ? expected[i] : "(nothing)";
    const std::string a = i < actual.size() ? actual[i] : "(nothing)";
    if (e != a)
      return ::testing::AssertionFailure() << "line " << i << "\n  expected: " << e << "\n  actual:   " << a;
  }
  return ::testing::AssertionSuccess();
}

std::string AnyOf(const TreeModel& model, bool folder, Random& random) {
  const auto ofKind = [folder](const Entries::value_type& entry) { return IsFolder(entry.first) == folder; };
  auto entry = std::find_if(model.tree.begin(), model.tree.end(), ofKind);
  for (uint32_t n = random.Below(std::count_if(model.tree.begin(), model.tree.end(), ofKind)); n > 0; --n)
    entry = std::find_if(std::next(entry), model.tree.end(), ofKind);
  return entry->first;
}

// Mostly a new name in a recorded folder (siblings meet), else up to three components that may have no
// recorded ancestor. The names set path-order traps, bytes above 127 among them.
std::string NewPath(const TreeModel& model, bool folder, Random& random) {
  static const char* const kNames[] = {"a",   "A",   "b", "ab",  "a b", "a-b",      "a.txt",
                                       "x_y", "xzy", "%", "p%q", "B c", "\xC3\xA4", "z\xFF"};
  std::string path;
  if (!random.OneIn(3))
    path = AnyOf(model, true, random) + kNames[random.Below(std::size(kNames))];
  for (uint32_t depth = path.empty() ? random.Below(3) + 1 : 0; depth > 0; --depth)
    path += std::string("/") + kNames[random.Below(std::size(kNames))];
  return folder ? path + "/" : path;
}

std::string Spell(const std::string& key, Random& random) {
  std::string spelled = Strip(key);
  if (random.OneIn(8))
    spelled.insert(spelled.rfind('/'), "/");
  if (IsFolder(key) && random.OneIn(5))
    spelled += "/";
  return spelled;
}

Operation NextOperation(const TreeModel& model, Random& random) {
  Operation op;
  uint32_t pick = random.Below(23);
  int kind = 0;
  for (; pick >= kWeights[kind]; ++kind)
    pick -= kWeights[kind];
  op.kind = static_cast<Kind>(kind);
  const bool folder =
      op.kind == ADD_FOLDER || op.kind == DELETE_FOLDER || op.kind == RENAME_FOLDER || op.kind == LIST;
  const bool rename = op.kind == RENAME_FILE || op.kind == RENAME_FOLDER;
  const bool hasFiles = model.RowCounts().back() != '0';
  const bool existingFile = hasFiles && !random.OneIn(6);
  if (op.kind == ADD_FOLDER)
    op.path = random.OneIn(40) ? "/" : NewPath(model, true, random);
  else if (folder)
    op.path = random.OneIn(6) ? NewPath(model, true, random) : AnyOf(model, true, random);
  else if (existingFile && (op.kind == DELETE_FILE || op.kind == RENAME_FILE || random.OneIn(3)))
    op.path = AnyOf(model, false, random);
  else
    op.path = NewPath(model, false, random);
  if (rename)
    op.target = random.OneIn(6) && (folder || hasFiles) ? AnyOf(model, folder, random)
                                                        : NewPath(model, folder, random);
  op.spelledPath = Spell(op.path, random);
  op.spelledTarget = rename ? Spell(op.target, random) : "";
  if (!rename || !random.OneIn(2)) {
    const uint32_t n = random.Below(1000000) + 1;
    op.item = Item(n, random.OneIn(2));
  }
  return op;
}

CYaError Change(CPathDatabase& db, const Operation& op) {
  return op.kind == ADD_FOLDER      ? db.AddFolder(op.spelledPath, op.item)
         : op.kind == ADD_FILE      ? db.AddFile(op.spelledPath, op.item)
         : op.kind == DELETE_FILE   ? db.DeleteFile(op.spelledPath, op.item)
         : op.kind == DELETE_FOLDER ? db.DeleteFolder(op.spelledPath, op.item)
         : op.kind == RENAME_FILE   ? db.RenameFile(op.spelledPath, op.spelledTarget, nullptr, op.item)
         : op.kind == RENAME_FOLDER ? db.RenameFolder(op.spelledPath, op.spelledTarget, nullptr, op.item)
                                    : CYaError::Success();
}

TEST(LayoutParityTest, GeneratedSequenceGivesTheModelsAnswersInBothLayouts) {
  const int kOperations = 4000, kCheckEvery = 250;
  fsdbtest::TempDir dir;
  const std::pair<const char*, std::unique_ptr<CPathDatabase>> layouts[] = {
      {"full-path", MakeEngine(FSDB::DATABASE_TYPE_FULL_PATH, dir.File("full.db"))},
      {"optimized", MakeEngine(FSDB::DATABASE_TYPE_OPTIMIZED, dir.File("optimized.db"))}};
  for (const auto& layout : layouts)
    ASSERT_OK(layout.second->Open(false));

  TreeModel model;
  Random random(20240611);
  std::set<std::string> used = {"/"};
  std::map<Kind, std::set<int>> outcomes;
  for (int step = 1; step <= kOperations; ++step) {
    const Operation op = NextOperation(model, random);
    const std::string what = "step " + std::to_string(step) + ": " + kKindNames[op.kind] + "(" +
                             op.spelledPath + (op.target.empty() ? "" : ", " + op.spelledTarget) +
                             (op.item ? ", item" : "") + ")";
    const int expected = model.Apply(op);
    outcomes[op.kind].insert(expected);
    const std::set<std::string>* everything =
        step % kCheckEvery == 0 || step == kOperations ? &used : nullptr;
    for (const std::string& key : {op.path, op.target.empty() ? "/" : op.target})
      used.insert(Strip(key));
    if (everything) {
      for (const auto& entry : model.tree)
        used.insert(Strip(entry.first));
    }
    const Lines expectedLines = Answer(model, op, everything, model);
    for (const auto& layout : layouts) {
      CPathDatabase& db = *layout.second;
      const std::string where = what + " in the " + layout.first + " layout";
      ASSERT_EQ(expected, Outcome(Change(db, op))) << where;
      ASSERT_TRUE(SameLines(expectedLines, Answer(Answers{db}, op, everything, model))) << where;
    }
  }
  // The sequence met every kind of refusal, so the agreement above covers them.
  EXPECT_EQ((std::set<int>{0, 87, 1168, kSQLiteFailure}), outcomes[RENAME_FOLDER]);
  EXPECT_EQ((std::set<int>{0, 1168, kSQLiteFailure}), outcomes[RENAME_FILE]);
  EXPECT_EQ((std::set<int>{0, 87, 1168}), outcomes[DELETE_FOLDER]);
  EXPECT_EQ((std::set<int>{0, 1168}), outcomes[DELETE_FILE]);
}

}  // namespace
