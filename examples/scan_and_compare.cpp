// A small program built against the installed fsdb package: it records a folder tree with the library's
// API and, when an earlier scan exists, prints what changed since through a comparison callback.
//
//   scan_and_compare FOLDER DATABASE
//
// The first run writes DATABASE. Each later run scans into DATABASE.new, compares DATABASE (the previous
// scan) with it, prints "+ path", "- path" and "~ path" lines and replaces DATABASE with the new scan.
// Exit status: 0 no differences, 1 differences, 2 an error.

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include <boost/make_shared.hpp>

#include <fsdb/CompareDatabases.h>
#include <fsdb/ScanDatabase.h>

namespace fs = std::filesystem;

namespace {

// Fills an item from lstat(2): symbolic links are recorded, not followed.
FSDB::CDatabaseItemPtr ItemFor(const fs::path& path) {
  struct stat st {};
  auto item = boost::make_shared<FSDB::CDatabaseItem>();
  if (lstat(path.c_str(), &st) != 0)
    return item;
  item->SetFileId(static_cast<int64_t>(st.st_ino));
  item->SetFileSize(S_ISDIR(st.st_mode) ? 0 : st.st_size);
  item->SetAccessTime(st.st_atime);
  item->SetModificationTime(st.st_mtime);
  item->SetChangeTime(st.st_ctime);
  item->SetAttributes(static_cast<int>(st.st_mode));
  item->SetLinks(static_cast<int>(st.st_nlink));
  item->SetAsSelected(true);
  (void)item->FormMetadata();  // the metadata only carries the values set above: it cannot fail here
  return item;
}

CYaError Scan(const fs::path& folder, const std::string& database) {
  FSDB::CScanDatabase db(database, FSDB::DATABASE_TYPE_FULL_PATH);
  CYaError error = db.Open(false);
  if (error.IsError())
    return error;
  error = db.SetBulkInsertMode(true);
  if (!error.IsError())
    error = db.AddFolder(folder.string(), ItemFor(folder));
  std::error_code walkError;
  for (auto it =
           fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, walkError);
       !error.IsError() && !walkError && it != fs::recursive_directory_iterator(); it.increment(walkError)) {
    const bool isFolder = it->is_directory() && !it->is_symlink();
    error = isFolder ? db.AddFolder(it->path().string(), ItemFor(it->path()))
                     : db.AddFile(it->path().string(), ItemFor(it->path()));
  }
  const CYaError closed = db.Close();
  return error.IsError() ? error : closed;
}

// Prints one line per difference; counts them.
class PrintDifferences : public FSDB::CCompareDatabasesCallback {
 public:
  CYaError OnFolderInIndex1(const std::string& path, FSDB::CDatabaseItemPtr, bool& processFolder) override {
    processFolder = true;  // walk a deleted folder so its files are listed too
    return Print('-', path);
  }
  CYaError OnFolderInIndex2(const std::string& path, FSDB::CDatabaseItemPtr, bool&) override {
    return Print('+', path);
  }
  CYaError OnFileInIndex1(const std::string& path, FSDB::CDatabaseItemPtr) override {
    return Print('-', path);
  }
  CYaError OnFileInIndex2(const std::string& path, FSDB::CDatabaseItemPtr) override {
    return Print('+', path);
  }
  CYaError OnFileInBothIndexes(const std::string& path, FSDB::CDatabaseItemPtr before,
                               FSDB::CDatabaseItemPtr after) override {
    if (before->GetFileSize() == after->GetFileSize() &&
        before->GetModificationTime() == after->GetModificationTime())
      return CYaError::Success();
    return Print('~', path);
  }

  int differences = 0;

 private:
  CYaError Print(char mark, const std::string& path) {
    std::printf("%c %s\n", mark, path.c_str());
    ++differences;
    return CYaError::Success();
  }
};

int Fail(const char* what, const CYaError& error) {
  std::fprintf(stderr, "scan_and_compare: %s: %s\n", what, error.AsString().c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: scan_and_compare FOLDER DATABASE\n");
    return 2;
  }
  const fs::path folder = fs::absolute(argv[1]).lexically_normal();
  const std::string database = argv[2];
  const bool first = !fs::exists(database);
  const std::string current = first ? database : database + ".new";
  std::error_code fsError;
  if (!first)
    fs::remove(current, fsError);  // a leftover of an interrupted run
  if (const CYaError error = Scan(folder, current); error.IsError())
    return Fail("scan", error);
  if (first) {
    std::printf("first scan recorded in %s\n", database.c_str());
    return 0;
  }
  auto printer = boost::make_shared<PrintDifferences>();
  FSDB::CCompareDatabases compare(current, database, printer, FSDB::DATABASE_TYPE_FULL_PATH,
                                  FSDB::DATABASE_TYPE_FULL_PATH);
  if (const CYaError error = compare.CompareDatabases(); error.IsError())
    return Fail("compare", error);
  fs::rename(current, database, fsError);
  if (fsError) {
    std::fprintf(stderr, "scan_and_compare: cannot replace %s: %s\n", database.c_str(),
                 fsError.message().c_str());
    return 2;
  }
  std::printf("%d difference(s)\n", printer->differences);
  return printer->differences == 0 ? 0 : 1;
}
