#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestUtil.h"
#include "platform/Log.h"

namespace {

// Sends stderr (file descriptor 2) to a file for the life of the object, and gives back what was written.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_GE(::dup2(fd, STDERR_FILENO), 0);
    ::close(fd);
  }
  ~StderrCapture() { Stop(); }

  // Restores stderr and returns everything written while it was captured.
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
    std::ifstream stream(path_);
    std::stringstream contents;
    contents << stream.rdbuf();
    return contents.str();
  }

 private:
  std::string path_;
  int saved_ = -1;
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line))
    lines.push_back(line);
  return lines;
}

// Installs `writer` as the global writer for the scope of the object.
class ScopedWriter {
 public:
  explicit ScopedWriter(boost::shared_ptr<CLogWriterInterface> writer) : previous_(g_ptrLogWriter) {
    g_ptrLogWriter = std::move(writer);
  }
  ~ScopedWriter() { g_ptrLogWriter = previous_; }

 private:
  boost::shared_ptr<CLogWriterInterface> previous_;
};

// Checks the "2024-05-01 12:34:56.123456 " that starts every default record and returns the rest of
// the line ("<level> <function>:<line> <text>"), or "" after reporting a failure.
std::string AfterTime(const std::string& line) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.dddddd ";
  bool matches = line.size() >= shape.size();
  for (size_t i = 0; matches && i < shape.size(); ++i) {
    matches = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
  }
  if (!matches) {
    ADD_FAILURE() << "no time stamp at the start of: " << line.substr(0, 200);
    return std::string();
  }
  return line.substr(shape.size());
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int g_evaluations = 0;
int Evaluate() {
  return ++g_evaluations;
}

TEST(LogWriterTest, DefaultWriterWritesOneFormattedLinePerCall) {
  fsdbtest::TempDir dir;
  boost::shared_ptr<CLogWriterInterface> writer = CreateStderrLogWriter(3);
  EXPECT_EQ(writer->GetLevel(), 3);

  StderrCapture capture(dir.File("stderr.txt"));
  writer->Write(2, "void F(int)", 123, 0, 0, "hello %s %d", "world", 5);
  writer->Write(0, "g()", 7, 0, 0, "already terminated\n");
  writer->Write(4, "h()", 8, 0, 0, "%s", "");
  const std::string output = capture.Stop();

  const std::vector<std::string> lines = SplitLines(output);
  ASSERT_EQ(lines.size(), 3u) << output;
  EXPECT_EQ(AfterTime(lines[0]), "2 void F(int):123 hello world 5");
  // A text that brings its own newline does not get a second one.
  EXPECT_EQ(AfterTime(lines[1]), "0 g():7 already terminated");
  EXPECT_EQ(AfterTime(lines[2]), "4 h():8 ");
  EXPECT_EQ(output.back(), '\n');
}

TEST(LogWriterTest, LevelMinusOneIsWrittenAndShownAsMinusOne) {
  fsdbtest::TempDir dir;
  ScopedWriter scoped(CreateStderrLogWriter(0));
  StderrCapture capture(dir.File("stderr.txt"));
  const unsigned line = __LINE__ + 1;
  FSDB_LOG(-1, "cannot start thread %d", 9);
  FSDB_LOG(1, "above the level");
  const std::string output = capture.Stop();

  const std::vector<std::string> lines = SplitLines(output);
  ASSERT_EQ(lines.size(), 1u) << output;
  const std::string record = AfterTime(lines[0]);
  EXPECT_EQ(record.substr(0, 3), "-1 ") << record;
  EXPECT_NE(record.find("LevelMinusOne"), std::string::npos) << record;
  EXPECT_TRUE(EndsWith(record, ":" + std::to_string(line) + " cannot start thread 9")) << record;
}

TEST(LogWriterTest, LongLinesAreWrittenWhole) {
  fsdbtest::TempDir dir;
  boost::shared_ptr<CLogWriterInterface> writer = CreateStderrLogWriter(0);
  std::string body;
  for (int i = 0; i < 2000; ++i)
    body += static_cast<char>('a' + i % 26);

  StderrCapture capture(dir.File("stderr.txt"));
  writer->Write(0, "long()", 1, 0, 0, "<%s>", body.c_str());
  const std::string output = capture.Stop();

  const std::vector<std::string> lines = SplitLines(output);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(AfterTime(lines[0]), "0 long():1 <" + body + ">");
}

// Threads writing at once, short and long records mixed: every line must come out whole.
TEST(LogWriterTest, LinesFromSeveralThreadsNeverInterleave) {
  fsdbtest::TempDir dir;
  boost::shared_ptr<CLogWriterInterface> writer = CreateStderrLogWriter(0);
  constexpr int kThreads = 6;
  constexpr int kLines = 300;

  StderrCapture capture(dir.File("stderr.txt"));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&writer, t] {
      for (int i = 0; i < kLines; ++i) {
        const std::string payload(i % 3 == 0 ? 3000 : 40, static_cast<char>('a' + t));
        writer->Write(0, "worker()", 10, 0, 0, "t%d i%d %s", t, i, payload.c_str());
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  const std::string output = capture.Stop();

  const std::vector<std::string> lines = SplitLines(output);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> perThread(kThreads, 0);
  for (const std::string& line : lines) {
    const std::string record = AfterTime(line);
    int t = -1;
    int i = -1;
    int payloadStart = 0;
    ASSERT_EQ(std::sscanf(record.c_str(), "0 worker():10 t%d i%d %n", &t, &i, &payloadStart), 2)
        << record.substr(0, 200);
    ASSERT_TRUE(t >= 0 && t < kThreads && payloadStart > 0) << record.substr(0, 200);
    EXPECT_EQ(record.substr(static_cast<size_t>(payloadStart)),
              std::string(i % 3 == 0 ? 3000 : 40, static_cast<char>('a' + t)))
        << record.substr(0, 200);
    ++perThread[t];
  }
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(perThread[t], kLines);
}

TEST(LogWriterTest, MacroEvaluatesNothingBelowTheLevel) {
  fsdbtest::ScopedCaptureLog log(1);
  g_evaluations = 0;
  FSDB_LOG(2, "value %d", Evaluate());
  FSDB_LOG(30, "value %d", Evaluate());
  EXPECT_EQ(g_evaluations, 0);
  EXPECT_TRUE(log->Lines().empty());

  FSDB_LOG(1, "value %d", Evaluate());
  FSDB_LOG(0, "value %d", Evaluate());
  EXPECT_EQ(g_evaluations, 2);
  const std::vector<fsdbtest::LogLine> lines = log->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].text, "value 1");
  EXPECT_NE(lines[0].function.find("MacroEvaluatesNothingBelowTheLevel"), std::string::npos)
      << lines[0].function;
  EXPECT_GT(lines[0].line, 0u);
  EXPECT_EQ(lines[1].level, 0);
  EXPECT_EQ(lines[1].text, "value 2");
}

TEST(LogWriterTest, NullWriterIsSafe) {
  ScopedWriter scoped(boost::shared_ptr<CLogWriterInterface>{});
  EXPECT_EQ(FsdbLogLevel(), INT_MIN);
  g_evaluations = 0;
  FSDB_LOG(-1, "value %d", Evaluate());
  EXPECT_EQ(g_evaluations, 0);
  { WDDebugFunction trace(g_ptrLogWriter, 2, "void Walk()", 1, 0, 0, UINT_MAX, nullptr); }
}

TEST(LogWriterTest, FunctionTraceLogsEnteringAndLeaving) {
  fsdbtest::ScopedCaptureLog log(2);
  {
    WDDebugFunction trace(g_ptrLogWriter, 2, "void Walk()", 77, 0, 0, UINT_MAX, nullptr);
    const std::vector<fsdbtest::LogLine> inside = log->Lines();
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_NE(inside[0].text.find("Entering"), std::string::npos) << inside[0].text;
  }
  const std::vector<fsdbtest::LogLine> lines = log->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].text.find("Leaving"), std::string::npos) << lines[1].text;
  for (const fsdbtest::LogLine& line : lines) {
    EXPECT_EQ(line.level, 2);
    EXPECT_EQ(line.function, "void Walk()");
    EXPECT_EQ(line.line, 77u);
  }

  log->Clear();
  { WDDebugFunction trace(g_ptrLogWriter, 2, "f()", 1, 0, 0, 0, "folder [%s] depth %d", "/a/", 3); }
  ASSERT_EQ(log->Lines().size(), 2u);
  EXPECT_NE(log->Lines()[0].text.find("folder [/a/] depth 3"), std::string::npos) << log->Lines()[0].text;

  // Above the writer's level: nothing, neither on entry nor on exit.
  log->Clear();
  { WDDebugFunction trace(g_ptrLogWriter, 3, "f()", 1, 0, 0, 0, nullptr); }
  EXPECT_TRUE(log->Lines().empty());

  // A trace at level -1 (passed as unsigned) is written at level -1 and above.
  log->SetLevel(-1);
  { WDDebugFunction trace(g_ptrLogWriter, static_cast<unsigned>(-1), "f()", 1, 0, 0, 0, nullptr); }
  ASSERT_EQ(log->Lines().size(), 2u);
  EXPECT_EQ(log->Lines()[0].level, -1);
}

// Run in a child process by DefaultWriterLevelComesFromEnvironment: reports the level that the
// process-wide writer read from the environment at start-up.
TEST(LogWriterTest, ChildReportsDefaultLevel) {
  const char* marker = std::getenv("FSDB_TEST_LEVEL_MARKER");
  if (marker == nullptr)
    GTEST_SKIP() << "only runs as the child of DefaultWriterLevelComesFromEnvironment";
  ASSERT_TRUE(g_ptrLogWriter);
  std::ofstream(marker) << g_ptrLogWriter->GetLevel();
}

TEST(LogWriterTest, DefaultWriterLevelComesFromEnvironment) {
  fsdbtest::TempDir dir;
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';

  struct LevelCase {
    const char* environment;  // null: variable unset
    int expected;
  };
  const LevelCase cases[] = {{"7", 7}, {"-1", -1}, {"30", 30}, {"junk", 0}, {"", 0}, {nullptr, 0}};
  int run = 0;
  for (const LevelCase& c : cases) {
    const std::string marker = dir.File("level" + std::to_string(run++));
    std::string command = "FSDB_TEST_LEVEL_MARKER='" + marker + "' ";
    command +=
        c.environment ? "FSDB_LOG_LEVEL='" + std::string(c.environment) + "' " : "env -u FSDB_LOG_LEVEL ";
    command +=
        "'" + std::string(self) + "' --gtest_filter=LogWriterTest.ChildReportsDefaultLevel >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;

    std::ifstream stream(marker);
    int level = INT_MIN;
    ASSERT_TRUE(stream >> level) << "the child did not report for "
                                 << (c.environment ? c.environment : "(unset)");
    EXPECT_EQ(level, c.expected) << (c.environment ? c.environment : "(unset)");
  }
}

}  // namespace
