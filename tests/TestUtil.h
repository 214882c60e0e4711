// Helpers shared by the test suites: error assertions, a private temporary folder per test, and a log
// writer that captures lines.

#ifndef FSDB_TESTS_TESTUTIL_H_
#define FSDB_TESTS_TESTUTIL_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "fsdb/Error.h"
#include "fsdb/LogWriter.h"
#include "fsdb/ScanDatabase.h"
#include "platform/SQLiteDatabase.h"

// Print the whole error, locations included, when it is not a success.
#define EXPECT_OK(expr)                                                  \
  do {                                                                   \
    const CYaError fsdbTestError_ = (expr);                              \
    EXPECT_FALSE(fsdbTestError_.IsError()) << fsdbTestError_.AsString(); \
  } while (0)
#define ASSERT_OK(expr)                                                  \
  do {                                                                   \
    const CYaError fsdbTestError_ = (expr);                              \
    ASSERT_FALSE(fsdbTestError_.IsError()) << fsdbTestError_.AsString(); \
  } while (0)

// Expect an error carrying the Win32-style code `code`.
#define EXPECT_WIN32(expr, code)                                                            \
  do {                                                                                      \
    const CYaError fsdbTestError_ = (expr);                                                 \
    EXPECT_TRUE(FXErrorUtil::IsWin32(fsdbTestError_, (code))) << fsdbTestError_.AsString(); \
  } while (0)

namespace fsdbtest {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/fsdbtest.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = buffer.data();
  }
  ~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // A path inside the folder.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Every row of `sql` read through `database` (whose collations it then knows), its columns joined with
// '|', NULL as "NULL". A statement that does not compile fails the test and yields no rows.
inline std::vector<std::string> SelectRows(FX::CDatabaseBase& database, const std::string& sql) {
  std::vector<std::string> rows;
  boost::shared_ptr<FX::CSQLite3Statement> statement;
  const CYaError error = database.CompileStatement(sql, statement);
  EXPECT_FALSE(error.IsError()) << error.AsString();
  for (auto row = error.IsError() ? nullptr : statement->ExecQuery(); row && !row->Eof(); row->NextRow()) {
    std::string text;
    for (int column = 0; column < row->NumFields(); ++column)
      text += (column > 0 ? "|" : "") + std::string(row->GetStringField(column, "NULL"));
    rows.push_back(text);
  }
  return rows;
}

// Closes a database opened with its logging thread and checks that Close woke the thread instead of
// waiting out its 10-second pause: a bound that catches a hang, not a measure of speed.
template <typename Database>
CYaError CloseWithoutWaiting(Database& database) {
  const auto start = std::chrono::steady_clock::now();
  const CYaError error = database.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
      << "Close waited for the logging thread's pause";
  return error;
}

// An item whose every value derives from `n`, spread over the whole signed 64-bit range; 0 gives the empty
// item that missing ancestors are recorded with.
inline FSDB::CDatabaseItemPtr Item(int64_t n, bool selected = false, bool folder = false) {
  FSDB::CDatabaseItemPtr item = boost::make_shared<FSDB::CDatabaseItem>();
  if (n == 0)
    return item;
  item->SetAsDirectory(folder);
  item->SetFileId(n % 97 == 0 ? std::numeric_limits<int64_t>::max() - n : (int64_t{1} << 40) + n * 7919);
  item->SetFileSize(n * 4099 + (n % 3 == 0 ? int64_t{1} << 33 : 0));
  item->SetFileSizeOnDisk((n * 4099 / 4096 + 1) * 4096 + (n % 5 == 0 ? int64_t{1} << 35 : 0));
  item->SetAccessTime(int64_t{1600000000000000000} + n);
  item->SetCreationTime(-n * 1000);
  item->SetModificationTime(n % 50 == 0 ? std::numeric_limits<int64_t>::min() + n : 1500000000 + n);
  item->SetChangeTime(n ^ 0x5555);
  item->SetAttributes(static_cast<int>(n % 65536));
  item->SetLinks(static_cast<int>(n % 5) + 1);
  item->SetAsSelected(selected);
  item->SetAsCollect(n % 3 == 0);
  EXPECT_OK(item->FormMetadata());
  return item;
}

// Every value an item records but its path, name and row id, on one line, to compare items as a whole.
inline std::string Values(const FSDB::CDatabaseItem& i) {
  std::ostringstream out;
  out << i.GetFileId() << ' ' << i.GetFileSize() << ' ' << i.GetFileSizeOnDisk() << ' ' << i.GetAccessTime()
      << ' ' << i.GetCreationTime() << ' ' << i.GetModificationTime() << ' ' << i.GetChangeTime() << ' '
      << i.GetAttributes() << ' ' << i.GetLinks() << ' ' << i.IsDirectory() << i.IsSelected() << i.IsCollect()
      << ' ' << i.GetMetadata();
  return out.str();
}
inline std::string Values(const FSDB::CDatabaseItemPtr& item) {
  return item ? Values(*item) : "no item";
}

// The items of a walk, in its order.
inline std::vector<FSDB::CDatabaseItemPtr> Walk(const FSDB::CDatabaseItemIteratorPtr& iterator) {
  std::vector<FSDB::CDatabaseItemPtr> items;
  for (; iterator && !iterator->Eof(); iterator->NextItem())
    items.push_back(iterator->GetItem());
  return items;
}

// "FullPath" or "Optimized": the name of a test run over one layout.
inline std::string LayoutName(const ::testing::TestParamInfo<FSDB::DatabaseType>& info) {
  return info.param == FSDB::DATABASE_TYPE_OPTIMIZED ? "Optimized" : "FullPath";
}

// The whole content of a file ("" when it cannot be read), to check that a file stayed byte for byte.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Makes a file immutable (chattr +i) for the scope of the object. IsSet() is false where the file
// system or the user may not set the flag: the test should then skip.
class ScopedImmutable {
 public:
  explicit ScopedImmutable(const std::string& path) : path_(path) {
    set_ = std::system(("chattr +i '" + path_ + "' 2>/dev/null").c_str()) == 0;
  }
  ~ScopedImmutable() {
    if (set_ && std::system(("chattr -i '" + path_ + "'").c_str()) != 0)
      std::fprintf(stderr, "could not clear the immutable flag of %s\n", path_.c_str());
  }
  ScopedImmutable(const ScopedImmutable&) = delete;
  ScopedImmutable& operator=(const ScopedImmutable&) = delete;
  bool IsSet() const { return set_; }

 private:
  std::string path_;
  bool set_;
};

struct LogLine {
  int level;
  std::string function;
  unsigned line;
  std::string text;
};

// Captures every line at or below its level. Thread-safe.
class CaptureLogWriter : public CLogWriterInterface {
 public:
  explicit CaptureLogWriter(int level) : level_(level) {}

  void Write(unsigned level, const char* function, unsigned line, int, unsigned long long, const char* format,
             ...) override {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
      std::vsnprintf(&text[0], text.size() + 1, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(LogLine{static_cast<int>(level), function ? function : "", line, text});
  }
  int GetLevel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return level_;
  }

  void SetLevel(int level) {
    std::lock_guard<std::mutex> lock(mutex_);
    level_ = level;
  }
  std::vector<LogLine> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const LogLine& line : lines_)
      texts.push_back(line.text);
    return texts;
  }
  // Each line as "<level> <text>".
  std::vector<std::string> LevelsAndTexts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const LogLine& line : lines_)
      lines.push_back(std::to_string(line.level) + " " + line.text);
    return lines;
  }
  // Number of lines whose text contains `fragment`.
  size_t Count(const std::string& fragment) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const LogLine& line : lines_)
      if (line.text.find(fragment) != std::string::npos)
        ++count;
    return count;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  int level_;
  std::vector<LogLine> lines_;
};

// Installs a capturing writer for the scope of the object and restores the previous writer after.
// Install it before opening a database whose threads log, and let it go after closing it.
class ScopedCaptureLog {
 public:
  explicit ScopedCaptureLog(int level)
      : previous_(g_ptrLogWriter), writer_(boost::make_shared<CaptureLogWriter>(level)) {
    g_ptrLogWriter = writer_;
  }
  ~ScopedCaptureLog() { g_ptrLogWriter = previous_; }
  ScopedCaptureLog(const ScopedCaptureLog&) = delete;
  ScopedCaptureLog& operator=(const ScopedCaptureLog&) = delete;

  CaptureLogWriter& writer() { return *writer_; }
  CaptureLogWriter* operator->() { return writer_.get(); }

 private:
  boost::shared_ptr<CLogWriterInterface> previous_;
  boost::shared_ptr<CaptureLogWriter> writer_;
};

}  // namespace fsdbtest

#endif  // FSDB_TESTS_TESTUTIL_H_
