#include <algorithm>
#include <climits>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "platform/Log.h"

namespace {

// The lines that `body` writes to stderr, without the "2024-05-01 12:34:56.123456 " that starts each.
std::vector<std::string> StderrRecords(const std::function<void()>& body) {
  testing::internal::CaptureStderr();
  body();
  std::istringstream stream(testing::internal::GetCapturedStderr());
  static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} )");
  std::vector<std::string> records;
  std::smatch match;
  for (std::string line; std::getline(stream, line);) {
    const bool stamped = std::regex_search(line, match, stamp, std::regex_constants::match_continuous);
    records.push_back(stamped ? match.suffix().str() : "NO TIME STAMP: " + line);
  }
  return records;
}

// Each captured line as "level function:line text", the shape of a default record.
std::vector<std::string> Rendered(fsdbtest::CaptureLogWriter& log) {
  std::vector<std::string> lines;
  for (const fsdbtest::LogLine& l : log.Lines())
    lines.push_back(std::to_string(l.level) + " " + l.function + ":" + std::to_string(l.line) + " " + l.text);
  return lines;
}

TEST(LogWriterTest, DefaultWriterWritesOneTimeStampedLinePerCall) {
  boost::shared_ptr<CLogWriterInterface> writer = CreateStderrLogWriter(3);
  EXPECT_EQ(3, writer->GetLevel());
  EXPECT_EQ((std::vector<std::string>{"2 void F(int):123 hello world 5", "0 g():7 already terminated",
                                      "-1 h():8 "}),
            StderrRecords([&] {
              writer->Write(2, "void F(int)", 123, 0, 0, "hello %s %d", "world", 5);
              writer->Write(0, "g()", 7, 0, 0, "already terminated\n");  // gets no second newline
              writer->Write(static_cast<unsigned>(-1), "h()", 8, 0, 0, "%s", "");
            }));
}

TEST(LogWriterTest, LinesFromSeveralThreadsNeverInterleave) {
  boost::shared_ptr<CLogWriterInterface> writer = CreateStderrLogWriter(0);
  // Every third record is longer than any first formatting buffer.
  auto text = [](int n) {
    return std::to_string(n) + std::string(n % 3 ? 40 : 3000, static_cast<char>('a' + n % 26));
  };
  std::vector<std::string> records = StderrRecords([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
      threads.emplace_back([&, t] {
        for (int n = t * 300; n < (t + 1) * 300; ++n)
          writer->Write(0, "worker()", 10, 0, 0, "%s", text(n).c_str());
      });
    for (std::thread& thread : threads)
      thread.join();
  });
  std::vector<std::string> expected;
  for (int n = 0; n < 6 * 300; ++n)
    expected.push_back("0 worker():10 " + text(n));
  std::sort(records.begin(), records.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(records == expected) << records.size() << " lines";
}

TEST(LogWriterTest, MacroEvaluatesNothingBelowTheLevel) {
  fsdbtest::ScopedCaptureLog log(1);
  int evaluations = 0;
  const std::string at = std::string(__PRETTY_FUNCTION__) + ":" + std::to_string(__LINE__ + 2);
  for (int level : {2, 1, 30, -1})
    FSDB_LOG(level, "value %d", ++evaluations);
  EXPECT_EQ(2, evaluations);
  EXPECT_EQ((std::vector<std::string>{"1 " + at + " value 1", "-1 " + at + " value 2"}),
            Rendered(log.writer()));
}

TEST(LogWriterTest, NullWriterIsSafe) {
  const boost::shared_ptr<CLogWriterInterface> saved = g_ptrLogWriter;
  g_ptrLogWriter.reset();
  EXPECT_EQ(INT_MIN, FsdbLogLevel());
  int evaluations = 0;
  FSDB_LOG(-1, "value %d", ++evaluations);
  { WDDebugFunction trace(g_ptrLogWriter, 2, "void Walk()", 1, 0, 0, UINT_MAX, nullptr); }
  g_ptrLogWriter = saved;
  EXPECT_EQ(0, evaluations);
}

TEST(LogWriterTest, FunctionTraceLogsEnteringAndLeavingAtItsLevel) {
  fsdbtest::ScopedCaptureLog log(2);
  { WDDebugFunction trace(g_ptrLogWriter, 2, "f()", 7, 0, 0, 0, "folder [%s] depth %d", "/a/", 3); }
  { WDDebugFunction trace(g_ptrLogWriter, 3, "g()", 8, 0, 0, 0, nullptr); }  // above the level
  { WDDebugFunction trace(g_ptrLogWriter, static_cast<unsigned>(-1), "h()", 9, 0, 0, 0, nullptr); }
  EXPECT_EQ((std::vector<std::string>{"2 f():7 Entering: folder [/a/] depth 3", "2 f():7 Leaving",
                                      "-1 h():9 Entering", "-1 h():9 Leaving"}),
            Rendered(log.writer()));
}

}  // namespace
