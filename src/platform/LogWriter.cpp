#include "fsdb/LogWriter.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>

#include <boost/make_shared.hpp>

#include "platform/FXString.h"
#include "platform/Log.h"

namespace {

// Writes "time level function:line text" to stderr. Each record is formatted completely and then handed
// to the kernel in one write(), so records from several threads never interleave and no lock is needed.
class CStderrLogWriter : public CLogWriterInterface {
 public:
  explicit CStderrLogWriter(int level) : level_(level) {}

  void Write(unsigned level, const char* function, unsigned line, int, unsigned long long, const char* format,
             ...) override {
    va_list args;
    va_start(args, format);
    WriteV(level, function, line, format, args);
    va_end(args);
  }

  int GetLevel() override { return level_; }

 private:
  void WriteV(unsigned level, const char* function, unsigned line, const char* format, va_list args);

  const int level_;
};

// Formats the whole record into [buffer, buffer + size). Returns the record's full length, which is
// larger than size - 1 when it was cut short.
size_t FormatRecord(char* buffer, size_t size, const struct timeval& now, const struct tm& local,
                    unsigned level, const char* function, unsigned line, const char* format, va_list args) {
  size_t length = 0;
  // The level travels as unsigned; -1 arrives as UINT_MAX and is shown as the signed level it was.
  int written =
      std::snprintf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d.%06ld %d %s:%u ", local.tm_year + 1900,
                    local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                    static_cast<long>(now.tv_usec), static_cast<int>(level), function ? function : "?", line);
  if (written > 0)
    length += static_cast<size_t>(written);

  if (format != nullptr) {
    va_list copy;
    va_copy(copy, args);
    written = std::vsnprintf(length < size ? buffer + length : nullptr, length < size ? size - length : 0,
                             format, copy);
    va_end(copy);
    if (written > 0)
      length += static_cast<size_t>(written);
  }

  // One newline, whether or not the text brought its own.
  const bool endsWithNewline = length > 0 && length < size && buffer[length - 1] == '\n';
  if (!endsWithNewline) {
    if (length + 1 < size) {
      buffer[length] = '\n';
      buffer[length + 1] = '\0';
    }
    ++length;
  }
  return length;
}

void WriteAll(const char* data, size_t length) {
  // A pipe or a terminal may take less than the whole record; finish it rather than lose the tail.
  while (length > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, length);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return;  // Nowhere left to report a failing stderr.
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
}

void CStderrLogWriter::WriteV(unsigned level, const char* function, unsigned line, const char* format,
                              va_list args) {
  struct timeval now;
  ::gettimeofday(&now, nullptr);
  struct tm local;
  const time_t seconds = now.tv_sec;
  ::localtime_r(&seconds, &local);

  char stackBuffer[1024];
  va_list copy;
  va_copy(copy, args);
  size_t length =
      FormatRecord(stackBuffer, sizeof(stackBuffer), now, local, level, function, line, format, copy);
  va_end(copy);
  if (length < sizeof(stackBuffer)) {
    WriteAll(stackBuffer, length);
    return;
  }

  // A long line: one retry into a buffer of exactly the size that the first pass measured.
  std::unique_ptr<char[]> heapBuffer = std::make_unique<char[]>(length + 1);
  va_copy(copy, args);
  length = FormatRecord(heapBuffer.get(), length + 1, now, local, level, function, line, format, copy);
  va_end(copy);
  WriteAll(heapBuffer.get(), length);
}

int LevelFromEnvironment() {
  const char* text = std::getenv("FSDB_LOG_LEVEL");
  if (text == nullptr || *text == '\0')
    return 0;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX)
    return 0;
  return static_cast<int>(value);
}

}  // namespace

CLogWriterInterface::~CLogWriterInterface() = default;

boost::shared_ptr<CLogWriterInterface> CreateStderrLogWriter(int level) {
  return boost::make_shared<CStderrLogWriter>(level);
}

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter = CreateStderrLogWriter(LevelFromEnvironment());

WDDebugFunction::WDDebugFunction(boost::shared_ptr<CLogWriterInterface> writer, unsigned level,
                                 const char* function, unsigned line, int, unsigned long long, unsigned,
                                 const char* format, ...)
    : writer_(std::move(writer)), level_(level), function_(function), line_(line) {
  // Levels compare as signed, so that a trace at level -1 (passed as UINT_MAX) is written at any level
  // from -1 up.
  if (!writer_ || writer_->GetLevel() < static_cast<int>(level_))
    return;
  if (format == nullptr) {
    writer_->Write(level_, function_, line_, 0, 0, "Entering");
    return;
  }
  va_list args;
  va_start(args, format);
  const std::string text = FXString::FormatV(format, args);
  va_end(args);
  writer_->Write(level_, function_, line_, 0, 0, "Entering: %s", text.c_str());
}

WDDebugFunction::~WDDebugFunction() {
  if (!writer_ || writer_->GetLevel() < static_cast<int>(level_))
    return;
  writer_->Write(level_, function_, line_, 0, 0, "Leaving");
}
