// The stock sqlite3 shell reads a scan database once the fsdb_collation extension is loaded: the rows of
// FilesystemView are those the library's queries return, in the library's path order, in both layouts.

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "fsdb/ScanDatabase.h"

namespace {

using FSDB::CDatabaseItemPtr;
using FSDB::DatabaseType;
using Lines = std::vector<std::string>;

struct ShellResult {
  int status = -1;
  Lines rows;
  std::string err;
};

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The tree every test records, in the path order of PATH_COMPONENTS (the separator before every other
// byte): a subtree stays together before siblings whose names merely extend the folder's name. Folders
// end in '/'. No name holds '|' or a line break, which the shell's list mode would make ambiguous.
const Lines kTreeInPathOrder = {
    "/t/",      "/t/B",    "/t/a/",    "/t/a/b/", "/t/a/b/c", "/t/a/z",   "/t/a b/",
    "/t/a b/x", "/t/a-b/", "/t/a.txt", "/t/ab",   "/t/b2/",   "/t/b2/%_", "/t/\xc3\xa4",
};

class CollationExtensionTest : public ::testing::TestWithParam<DatabaseType> {
 protected:
  void SetUp() override {
#ifdef FSDB_SANITIZED_EXTENSION
    GTEST_SKIP() << "a sanitizer build's extension cannot load into the uninstrumented sqlite3 shell; the "
                    "plain build runs this suite";
#endif
    if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "the sqlite3 shell is not installed (scripts/setup.sh installs it)";
    database_ = temp_.File("scan.db");
    FSDB::CScanDatabase db(database_, GetParam());
    ASSERT_OK(db.Open(false));
    for (size_t n = 0; n < kTreeInPathOrder.size(); ++n) {
      const std::string& path = kTreeInPathOrder[n];
      const CDatabaseItemPtr item = fsdbtest::Item(static_cast<int64_t>(n) + 1, n % 2 == 1);
      ASSERT_OK(path.back() == '/' ? db.AddFolder(path, item) : db.AddFile(path, item));
    }
    ASSERT_OK(db.Close());
  }

  // Runs the sqlite3 shell on the scan database: `sqlite3 DB [-cmd '.load EXT'] SQL`.
  ShellResult Shell(const std::string& sql, bool loadExtension = true) {
    std::string command = "sqlite3 " + Quote(database_);
    if (loadExtension)
      command += " -cmd " + Quote(".load " FSDB_COLLATION_EXTENSION);
    command += " " + Quote(sql) + " >" + temp_.File("out") + " 2>" + temp_.File("err");
    const int status = std::system(command.c_str());
    ShellResult result;
    result.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream out(temp_.File("out"));
    for (std::string line; std::getline(out, line);)
      result.rows.push_back(line);
    std::ifstream err(temp_.File("err"));
    result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return result;
  }

  // One comparable line per entry under /t: the path (folders with their separator, whatever form the
  // layout's view gives them), inode, size, the three times and the metadata document.
  static std::string Entry(std::string path, bool folder, const std::string& inode, const std::string& size,
                           const std::string& atime, const std::string& mtime, const std::string& ctime,
                           const std::string& metadata) {
    if (folder && path.back() != '/')
      path += '/';
    return path + "|" + inode + "|" + size + "|" + atime + "|" + mtime + "|" + ctime + "|" + metadata;
  }

  // The shell's FilesystemView rows reduced to entries under /t. The full-path layout's columns are Id,
  // ParentId, FullyQualifiedPath, Inode, ...; the optimized layout's are PATH, FolderId, Inode, ...
  Lines ViewEntries(const Lines& rows) const {
    const bool optimized = GetParam() == FSDB::DATABASE_TYPE_OPTIMIZED;
    const size_t pathColumn = optimized ? 0 : 2;
    Lines entries;
    for (const std::string& row : rows) {
      Lines columns;
      std::stringstream stream(row);
      for (std::string column; std::getline(stream, column, '|');)
        columns.push_back(column);
      // The base rows ("-", "/" or the optimized root "") hold no values and lie outside the tree.
      if (columns.size() <= pathColumn || columns[pathColumn].rfind("/t", 0) != 0)
        continue;
      const std::string& path = columns[pathColumn];
      if (columns.size() < pathColumn + 9) {
        ADD_FAILURE() << "unexpected row: " << row;
        continue;
      }
      const size_t first = pathColumn + (optimized ? 2 : 1);
      // A folder's row in the optimized view gives no trailing separator; its recorded inode tells.
      const bool folder = path.back() == '/' || IsFolder(path);
      entries.push_back(Entry(path, folder, columns[first], columns[first + 1], columns[first + 2],
                              columns[first + 3], columns[first + 4], columns[first + 7]));
    }
    return entries;
  }

  static bool IsFolder(const std::string& path) {
    return std::find(kTreeInPathOrder.begin(), kTreeInPathOrder.end(), path + "/") != kTreeInPathOrder.end();
  }

  // What the library returns for the same tree: /t itself, then every folder's items, walked through
  // QueryFolderItems from /t down, in no particular order.
  Lines LibraryEntries() {
    FSDB::CScanDatabase db(database_, GetParam(), /*readOnly=*/true);
    EXPECT_OK(db.Open(false));
    Lines entries;
    auto add = [&](const std::string& path, const CDatabaseItemPtr& item) {
      entries.push_back(Entry(path, item->IsDirectory(), std::to_string(item->GetFileId()),
                              std::to_string(item->GetFileSize()), std::to_string(item->GetAccessTime()),
                              std::to_string(item->GetModificationTime()),
                              std::to_string(item->GetChangeTime()), item->GetMetadata()));
    };
    CDatabaseItemPtr root;
    EXPECT_OK(db.QueryItem("/t/", root));
    if (root)
      add("/t/", root);
    Lines pending = {"/t/"};
    while (!pending.empty()) {
      const std::string folder = pending.back();
      pending.pop_back();
      std::list<CDatabaseItemPtr> items;
      EXPECT_OK(db.QueryFolderItems(folder, 0, items));
      for (const CDatabaseItemPtr& item : items) {
        std::string path = folder + item->GetFileName();
        if (item->IsDirectory())
          pending.push_back(path += '/');
        add(path, item);
      }
    }
    EXPECT_OK(db.Close());
    return entries;
  }

  // The library's entries ordered as kTreeInPathOrder, which states the collation's order.
  Lines LibraryEntriesInPathOrder() {
    Lines entries = LibraryEntries();
    Lines ordered;
    for (const std::string& path : kTreeInPathOrder)
      for (const std::string& entry : entries)
        if (entry.compare(0, path.size() + 1, path + "|") == 0)
          ordered.push_back(entry);
    EXPECT_EQ(ordered.size(), entries.size()) << "the library returned entries outside the tree";
    return ordered;
  }

  static Lines Sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  fsdbtest::TempDir temp_;
  std::string database_;
};

// Without the extension the shell stops at the first query that needs the collation: in both layouts the
// view's own ORDER BY names it.
TEST_P(CollationExtensionTest, ShellWithoutTheExtensionCannotReadTheView) {
  const ShellResult result = Shell("SELECT * FROM FilesystemView", /*loadExtension=*/false);
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("no such collation sequence: PATH_COMPONENTS"), std::string::npos) << result.err;
}

// The command the documentation gives: ORDER BY 1 sorts by the view's first column (the row id in the
// full-path layout, the path in plain byte order in the optimized one), so only the rows are compared. The
// view's own ORDER BY names the collation: the shell lists the rows in the library's path order, not in
// byte order (which would put "/t/a b/" before "/t/a/b/").
TEST_P(CollationExtensionTest, ShellReadsEveryRowTheLibraryReturnsInItsPathOrder) {
  const ShellResult documented = Shell("SELECT * FROM FilesystemView ORDER BY 1");
  ASSERT_EQ(documented.status, 0) << documented.err;
  EXPECT_EQ(documented.err, "");
  const Lines library = LibraryEntriesInPathOrder();
  EXPECT_EQ(library.size(), kTreeInPathOrder.size());
  EXPECT_EQ(Sorted(ViewEntries(documented.rows)), Sorted(library));
  const ShellResult viewOrder = Shell("SELECT * FROM FilesystemView");
  ASSERT_EQ(viewOrder.status, 0) << viewOrder.err;
  EXPECT_EQ(ViewEntries(viewOrder.rows), library);
}

// Both collations through the shell, against the order and equalities the library defines.
TEST_P(CollationExtensionTest, BothCollationsOrderAndCompareAsTheLibrary) {
  const std::string values = "(VALUES ('/ab'),('/a.txt'),('/A/b'),('/a/b'),('/a b'),('/a'),('/'),('-'))";
  struct Case {
    std::string sql;
    Lines expected;
  };
  const Case cases[] = {
      {"SELECT column1 FROM " + values + " ORDER BY column1 COLLATE PATH_COMPONENTS",
       {"/", "/A/b", "/a", "/a/b", "/a b", "/a.txt", "/ab", "-"}},
      {"SELECT column1 FROM " + values + " ORDER BY column1 COLLATE PATH_COMPONENTS_NOCASE, column1",
       {"/", "/a", "/A/b", "/a/b", "/a b", "/a.txt", "/ab", "-"}},
      {"SELECT '/A' = '/a' COLLATE PATH_COMPONENTS, '/A' = '/a' COLLATE PATH_COMPONENTS_NOCASE,"
       " '/\xc3\x84' = '/\xc3\xa4' COLLATE PATH_COMPONENTS_NOCASE",
       {"0|1|0"}},
  };
  for (const Case& c : cases) {
    const ShellResult result = Shell(c.sql);
    EXPECT_EQ(result.status, 0) << c.sql << ": " << result.err;
    EXPECT_EQ(result.rows, c.expected) << c.sql;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, CollationExtensionTest,
                         ::testing::Values(FSDB::DATABASE_TYPE_FULL_PATH, FSDB::DATABASE_TYPE_OPTIMIZED),
                         fsdbtest::LayoutName);

}  // namespace
