// A scanning process killed with SIGKILL at chosen moments: inside the first Open, inside a flush, between
// flushes, inside the index rebuild at Close, inside folder renames and deletes. What it had made durable
// before the kill must be there afterwards, and the file must open, read-only and writable, and hold no
// broken structure.
//
// The child is a fork of the test process. It drives the library through a fixed sequence and reports on a
// pipe, one line per event: "flush N" just before a Flush (N = operations issued so far), "flushed N" after
// it succeeded, "close" / "closed", "op K" / "done K" around folder operation K, "open" / "opened". The
// parent first runs the sequence once to completion (timing each event), then, for each kill point, starts a
// fresh child and kills it a seeded fraction of the way between a trigger event and the event that followed
// it in the timed run. A kill point whose trigger is a "flush", "close" or "op" line lands inside that call
// when the child reported nothing after the trigger; the suite prints how many did.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "core/PathOrdering.h"
#include "fsdb/ScanDatabase.h"
#include "platform/SQLiteDatabase.h"

namespace FSDB {
namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------------------
// The child side.

// Writes event lines to the pipe. A failed call makes the child report it and exit non-zero.
class Reporter {
 public:
  explicit Reporter(int fd) : fd_(fd) {}
  void Say(const std::string& line) const {
    const std::string text = line + "\n";
    // A short or failed write only loses a report; the parent then sees less progress, never more.
    (void)!write(fd_, text.data(), text.size());
  }
  void Check(const CYaError& error, const std::string& what) const {
    if (!error.IsError())
      return;
    Say("fail " + what + ": " + error.AsString());
    _exit(3);
  }

 private:
  int fd_;
};

// ---------------------------------------------------------------------------------------------------------
// The parent side: runs a child, kills it at a trigger, and collects what it reported.

struct Event {
  std::string text;
  int64_t micros;  // since the child started, as the parent read it
};

struct KillPoint {
  size_t trigger;  // index of the event line after which to kill
  int64_t delayMicros;
};

struct ChildResult {
  std::vector<Event> events;
  bool killed = false;
  int exitStatus = -1;  // when not killed
};

// One end of a pipe, closed when the object goes.
struct PipeEnd {
  PipeEnd() = default;
  PipeEnd(const PipeEnd&) = delete;
  ~PipeEnd() { Close(); }
  void Close() {
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
  int fd = -1;
};

// Runs `body` in a forked child. With a kill point, sends SIGKILL `delayMicros` after the trigger line was
// read; without one, waits for the child to finish.
ChildResult RunChild(const std::function<void(const Reporter&)>& body, const KillPoint* plan) {
  ChildResult result;
  PipeEnd reading, writing;
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  reading.fd = fds[0];
  writing.fd = fds[1];
  std::fflush(nullptr);
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return result;
  }
  if (pid == 0) {
    reading.Close();
    body(Reporter(writing.fd));
    _exit(0);  // no destructor of the test process runs in the child
  }
  writing.Close();  // so that the read below ends when the child does
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(reading.fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    pending.append(buffer, static_cast<size_t>(n));
    const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      result.events.push_back(Event{pending.substr(0, end), now});
      if (plan && !result.killed && result.events.size() == plan->trigger + 1) {
        std::this_thread::sleep_for(std::chrono::microseconds(plan->delayMicros));
        kill(pid, SIGKILL);
        result.killed = true;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!result.killed)
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// The kill points: each trigger in `triggers` (event indexes of the timed run), killed after a seeded
// fraction of the time the timed run took to the next event.
std::vector<KillPoint> ChooseKillPoints(const std::vector<Event>& timed, const std::vector<size_t>& triggers,
                                        unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> fraction(0.05, 0.95);
  std::vector<KillPoint> points;
  for (size_t trigger : triggers) {
    const int64_t span = timed.at(trigger + 1).micros - timed.at(trigger).micros;
    points.push_back(KillPoint{trigger, static_cast<int64_t>(fraction(random) * static_cast<double>(span))});
  }
  return points;
}

// Indexes of the events whose text starts with `prefix`.
std::vector<size_t> EventsStartingWith(const std::vector<Event>& events, const std::string& prefix) {
  std::vector<size_t> indexes;
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i].text.compare(0, prefix.size(), prefix) == 0)
      indexes.push_back(i);
  return indexes;
}

// The number in the last event of the form "<word> N" (-1 when there is none).
int64_t LastNumber(const std::vector<Event>& events, const std::string& word) {
  int64_t number = -1;
  for (const Event& event : events)
    if (event.text.compare(0, word.size() + 1, word + " ") == 0)
      number = std::stoll(event.text.substr(word.size() + 1));
  return number;
}

// The last line the child reported, for failure messages.
std::string LastLine(const ChildResult& run) {
  return run.events.empty() ? std::string("(nothing)") : run.events.back().text;
}

// Whether the child died inside the call its last line announced.
bool DiedInside(const ChildResult& run, const std::string& announce) {
  return run.killed && !run.events.empty() &&
         run.events.back().text.compare(0, announce.size(), announce) == 0;
}

// Copies every file of the database (the main file and, when present, its WAL and shared-memory files).
void CopyDatabase(const std::string& from, const std::string& to) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string source = from + suffix;
    if (access(source.c_str(), F_OK) != 0)
      continue;
    const std::string command = "cp '" + source + "' '" + to + suffix + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
}

// The rows of `sql` over a read-only connection of the test's own, so that no open step of the library
// repairs anything first.
Lines RawRows(const std::string& file, const std::string& sql) {
  FX::CDatabaseBase raw(FX::CDatabaseBase::OPEN_READ_ONLY);
  raw.SetDatabaseName(file);
  EXPECT_OK(raw.OpenDatabase());
  EXPECT_OK(raw.RegisterCollationHandler(1, "PATH_COMPONENTS", sqlite_collation_bypath));
  return fsdbtest::SelectRows(raw, sql);
}

// The checks that hold after any kill: the file is sound as it was left, opens read-only (changing
// nothing) and writable, and afterwards has its unique file index and no (folder, name) twice.
void CheckStructure(const std::string& file, DatabaseType type) {
  EXPECT_EQ(RawRows(file, "PRAGMA integrity_check"), Lines{"ok"}) << "as the kill left it";
  const std::string before = fsdbtest::ReadFileBytes(file) + fsdbtest::ReadFileBytes(file + "-wal");
  {
    CScanDatabase readOnly(file, type, true);
    EXPECT_OK(readOnly.Open(false));
    CDatabaseItemPtr root;
    EXPECT_OK(readOnly.QueryItem("/", root));
    EXPECT_OK(readOnly.Close());
  }
  EXPECT_TRUE(before == fsdbtest::ReadFileBytes(file) + fsdbtest::ReadFileBytes(file + "-wal"))
      << "the read-only open changed the file or its log";
  {
    CScanDatabase writable(file, type);
    ASSERT_OK(writable.Open(false));
    ASSERT_OK(writable.Close());
  }
  EXPECT_EQ(RawRows(file,
                    "SELECT * FROM pragma_integrity_check UNION ALL SELECT name FROM sqlite_master WHERE "
                    "name='index_files_folderidfilename' UNION ALL SELECT COUNT(*) FROM (SELECT 1 FROM Files "
                    "GROUP BY FolderId, FileName HAVING COUNT(*) > 1)"),
            (Lines{"ok", "index_files_folderidfilename", "0"}))
      << "after a writable reopen: integrity, the unique file index, no (folder, name) twice";
}

// ---------------------------------------------------------------------------------------------------------
// Scenario 1: a bulk scan, flushed after every batch, then closed (the index rebuild).

// Each batch queues about 5600 files: AddFile flushes the first 3000 itself, the explicit Flush the rest.
constexpr int kBatches = 4;
constexpr int kBatchFiles = 5500;
constexpr int kFilesPerFolder = 50;
constexpr int kRepeatEvery = 50;  // every 50th file of the previous batch is recorded again, changed

// One call of the scan: a file or a folder, with the values that identify its version.
struct ScanCall {
  bool folder;
  std::string path;
  int64_t inode;
  int64_t size;
  int attributes;
};

std::string ScanFolder(int file) {
  // Names that exercise the path order in the index rebuild: blanks, '-', '.', bytes above 127.
  return "/scan/a " + std::to_string(file / 1000) + "/b-" + std::to_string(file / kFilesPerFolder) +
         "\xC3\xA9";
}

// The whole call sequence, the same in the child and in the parent's model, and where each batch ends.
struct ScanPlan {
  std::vector<ScanCall> calls;
  std::vector<size_t> batchEnds;
};

const ScanPlan& Plan() {
  static const ScanPlan plan = [] {
    ScanPlan p;
    for (int batch = 0; batch < kBatches; ++batch) {
      for (int i = batch * kBatchFiles; i < (batch + 1) * kBatchFiles; ++i) {
        if (i % kFilesPerFolder == 0)
          p.calls.push_back(ScanCall{true, ScanFolder(i), 900000 + i, 0, 16});
        p.calls.push_back(ScanCall{false, ScanFolder(i) + "/f." + std::to_string(i), i, 1000 + 3 * i, i % 7});
        if (batch > 0 && i % kRepeatEvery == 0) {
          const int old = i - kBatchFiles;
          p.calls.push_back(
              ScanCall{false, ScanFolder(old) + "/f." + std::to_string(old), old, 5 * old + 1, 32});
        }
      }
      p.batchEnds.push_back(p.calls.size());
    }
    return p;
  }();
  return plan;
}

// Records one call of the scan.
CYaError Record(CScanDatabase& database, const ScanCall& call) {
  auto item = boost::make_shared<CDatabaseItem>();
  item->SetFileId(call.inode);
  item->SetFileSize(call.size);
  item->SetModificationTime(1700000000 + call.inode);
  item->SetAttributes(call.attributes);
  item->SetAsSelected(call.inode % 3 == 0);
  const CYaError error = item->FormMetadata();
  if (error.IsError())
    return error;
  return call.folder ? database.AddFolder(call.path, item) : database.AddFile(call.path, item);
}

// The child: every batch is flushed explicitly; "flushed N" says that the first N calls are durable.
void ScanChild(const Reporter& reporter, const std::string& file, DatabaseType type) {
  CScanDatabase database(file, type);
  reporter.Check(database.Open(false), "Open");
  reporter.Check(database.SetBulkInsertMode(true), "SetBulkInsertMode");
  size_t issued = 0;
  for (size_t end : Plan().batchEnds) {
    for (; issued < end; ++issued)
      reporter.Check(Record(database, Plan().calls[issued]), Plan().calls[issued].path);
    reporter.Say("flush " + std::to_string(issued));
    reporter.Check(database.Flush(), "Flush");
    reporter.Say("flushed " + std::to_string(issued));
  }
  // The queue is empty: all that Close does now is rebuild the unique file index.
  reporter.Say("close");
  reporter.Check(database.Close(), "Close");
  reporter.Say("closed");
}

// The scan taken up again after the kill, in bulk-insert mode, from the first call not known durable.
void ResumeScan(const std::string& file, DatabaseType type, size_t durable) {
  CScanDatabase database(file, type);
  ASSERT_OK(database.Open(false));
  ASSERT_OK(database.SetBulkInsertMode(true));
  for (size_t i = durable; i < Plan().calls.size(); ++i)
    ASSERT_OK(Record(database, Plan().calls[i]));
  ASSERT_OK(database.Close());
}

bool SameValues(const CDatabaseItemPtr& item, const ScanCall& call) {
  return item->IsDirectory() == call.folder && item->GetFileId() == call.inode &&
         item->GetFileSize() == call.size && !item->PopulateFromMetadata().IsError() &&
         item->GetAttributes() == call.attributes && item->GetModificationTime() == 1700000000 + call.inode &&
         item->IsSelected() == (call.inode % 3 == 0);
}

// Every path recorded among the first `durable` calls is in the database with the values of its last
// version among them, or of a later version (a flush that AddFile triggered may have written it).
void CheckScanCalls(const std::string& file, DatabaseType type, size_t durable) {
  const std::vector<ScanCall>& calls = Plan().calls;
  std::map<std::string, std::vector<size_t>> versions;  // path -> the calls that recorded it, in order
  for (size_t i = 0; i < calls.size(); ++i)
    versions[calls[i].path].push_back(i);
  CScanDatabase database(file, type, true);
  ASSERT_OK(database.Open(false));
  size_t wrong = 0;
  size_t checked = 0;
  for (const auto& entry : versions) {
    const std::vector<size_t>& indexes = entry.second;
    auto acceptable = std::lower_bound(indexes.begin(), indexes.end(), durable);  // first not durable
    if (acceptable == indexes.begin())
      continue;    // nothing of this path was durable
    --acceptable;  // its last durable version; later ones may have been written too
    ++checked;
    CDatabaseItemPtr item;
    const CYaError error = database.QueryItem(entry.first, item);
    const bool found = !error.IsError() && item;
    bool same = false;
    for (; found && !same && acceptable != indexes.end(); ++acceptable)
      same = SameValues(item, calls[*acceptable]);
    if (!same && ++wrong <= 5)
      ADD_FAILURE() << "durable " << entry.first
                    << (found ? " has other values: " + item->AsString()
                              : " is missing: " + error.AsString());
  }
  EXPECT_EQ(wrong, 0u) << "of " << checked << " durable paths";
  EXPECT_OK(database.Close());
}

// ---------------------------------------------------------------------------------------------------------
// Scenario 2: folder renames and deletes of trees of about a thousand folders each, outside bulk mode.

constexpr int kFanOut = 10;  // 1 + 10 + 100 + 1000 folders and 100 files per tree

struct FolderOp {
  bool rename;
  std::string from;
  std::string to;
};

const std::vector<FolderOp>& FolderOps() {
  static const std::vector<FolderOp> ops = {
      {true, "/w/t0", "/w/u0"},    // a rename in place
      {true, "/w/u0", "/w/t1/m"},  // a move beneath another tree
      {false, "/w/t2", ""},        // a delete
      {true, "/w/t1", "/w/t2"},    // a rename of a tree of two thousand folders
      {false, "/w/t2/m", ""},      // a delete of a moved tree
      {true, "/w/t2/", "/w/t0/"},  // a rename given in separator-terminated form
  };
  return ops;
}

// The tree as "D|path/|inode" and "F|path|size" lines, path-ordered by std::set (byte order suffices here).
using Tree = std::set<std::string>;

Tree InitialTree() {
  Tree tree{"D|/w/|1"};
  for (int t = 0; t < 3; ++t) {
    const std::string top = "/w/t" + std::to_string(t) + "/";
    tree.insert("D|" + top + "|" + std::to_string(10 + t));
    for (int i = 0; i < kFanOut; ++i) {
      const std::string middle = top + "p" + std::to_string(i) + "/";
      tree.insert("D|" + middle + "|" + std::to_string(100 * t + i + 1000));
      for (int j = 0; j < kFanOut; ++j) {
        const std::string leaf = middle + "q" + std::to_string(j) + "/";
        const int n = 10000 * t + 100 * i + j;
        tree.insert("D|" + leaf + "|" + std::to_string(100000 + n));
        for (int k = 0; k < kFanOut; ++k)
          tree.insert("D|" + leaf + "r" + std::to_string(k) + "/|" + std::to_string(200000 + 10 * n + k));
        tree.insert("F|" + leaf + "file|" + std::to_string(n));
      }
    }
  }
  return tree;
}

std::string FolderForm(std::string path) {
  if (path.back() != '/')
    path += '/';
  return path;
}

Tree ApplyOp(const Tree& tree, const FolderOp& op) {
  const std::string from = FolderForm(op.from);
  Tree result;
  for (const std::string& line : tree) {
    const std::string path = line.substr(2, line.rfind('|') - 2);
    if (path.compare(0, from.size(), from) != 0) {
      result.insert(line);
    } else if (op.rename) {
      result.insert(line.substr(0, 2) + FolderForm(op.to) + line.substr(2 + from.size()));
    }
  }
  return result;
}

// The tree beneath /w/ as the library lists it.
void ListTree(CScanDatabase& database, const std::string& folder, Tree& tree) {
  std::list<CDatabaseItemPtr> items;
  ASSERT_OK(database.QueryFolderItems(folder, -1, items));
  for (const CDatabaseItemPtr& item : items) {
    if (item->IsDirectory()) {
      const std::string path = folder + item->GetFileName() + "/";
      tree.insert("D|" + path + "|" + std::to_string(item->GetFileId()));
      ListTree(database, path, tree);
    } else {
      tree.insert("F|" + folder + item->GetFileName() + "|" + std::to_string(item->GetFileSize()));
    }
  }
}

Tree ReadTree(const std::string& file, DatabaseType type) {
  Tree tree;
  CScanDatabase database(file, type, true);
  EXPECT_OK(database.Open(false));
  CDatabaseItemPtr top;
  if (!database.QueryItem("/w", top).IsError()) {
    tree.insert("D|/w/|" + std::to_string(top->GetFileId()));
    ListTree(database, "/w/", tree);
  }
  EXPECT_OK(database.Close());
  return tree;
}

// Records the initial tree (in bulk-insert mode: it is only the starting point).
void WriteTree(const std::string& file, DatabaseType type) {
  CScanDatabase database(file, type);
  ASSERT_OK(database.Open(false));
  ASSERT_OK(database.SetBulkInsertMode(true));
  for (const std::string& line : InitialTree()) {
    const size_t bar = line.rfind('|');
    const std::string path = line.substr(2, bar - 2);
    auto item = boost::make_shared<CDatabaseItem>();
    if (line[0] == 'D') {
      item->SetFileId(std::stoll(line.substr(bar + 1)));
      ASSERT_OK(database.AddFolder(path, item));
    } else {
      item->SetFileSize(std::stoll(line.substr(bar + 1)));
      ASSERT_OK(item->FormMetadata());
      ASSERT_OK(database.AddFile(path, item));
    }
  }
  ASSERT_OK(database.Close());
}

void FolderOpsChild(const Reporter& reporter, const std::string& file, DatabaseType type) {
  CScanDatabase database(file, type);
  reporter.Check(database.Open(false), "Open");
  const CDatabaseItemPtr none;
  for (size_t k = 0; k < FolderOps().size(); ++k) {
    const FolderOp& op = FolderOps()[k];
    reporter.Say("op " + std::to_string(k));
    reporter.Check(
        op.rename ? database.RenameFolder(op.from, op.to, none, none) : database.DeleteFolder(op.from, none),
        op.from);
    reporter.Say("done " + std::to_string(k));
  }
  reporter.Check(database.Close(), "Close");
}

// ---------------------------------------------------------------------------------------------------------

using Child = std::function<void(const Reporter&, const std::string& file)>;

class CrashTest : public ::testing::TestWithParam<DatabaseType> {
 protected:
  // Runs `child` to completion on timed.db (made by `prepare`, when given), then once per trigger that
  // `choose` picks among the timed run's events, each time on a fresh folder, killed a seeded fraction of
  // the way to the next event. `check` looks at the file after each run, given what the child reported.
  // Prints how many kills landed inside a call announced by `inside`.
  void KillAtEveryTrigger(const Child& child, const std::function<void(const std::string&)>& prepare,
                          const std::function<std::vector<size_t>(const std::vector<Event>&)>& choose,
                          unsigned seed, const std::string& inside,
                          const std::function<void(const ChildResult&, const std::string&)>& check) {
    const DatabaseType type = GetParam();
    const std::string timedFile = dir_.File("timed.db");
    if (prepare) {
      ASSERT_NO_FATAL_FAILURE(prepare(timedFile));
    }
    const ChildResult timed = RunChild([&](const Reporter& r) { child(r, timedFile); }, nullptr);
    ASSERT_EQ(timed.exitStatus, 0) << LastLine(timed);
    ASSERT_NO_FATAL_FAILURE(check(timed, timedFile));
    int point = 0, landed = 0;
    for (const KillPoint& kill : ChooseKillPoints(timed.events, choose(timed.events), seed + type)) {
      SCOPED_TRACE("kill point " + std::to_string(point) + " after \"" + timed.events[kill.trigger].text +
                   "\" + " + std::to_string(kill.delayMicros) + " us");
      const std::string folder = dir_.File("kill" + std::to_string(point++));
      ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
      const std::string file = folder + "/scan.db";
      if (prepare) {
        ASSERT_NO_FATAL_FAILURE(prepare(file));
      }
      const ChildResult run = RunChild([&](const Reporter& r) { child(r, file); }, &kill);
      ASSERT_TRUE(run.killed) << "the child stopped before the trigger: " << LastLine(run);
      landed += DiedInside(run, inside) ? 1 : 0;
      check(run, file);
    }
    std::printf("[ crash    ] %d kills, %d inside \"%s\"\n", point, landed, inside.c_str());
  }

  // The children inherit it: the library's notices stay out of the test output.
  fsdbtest::ScopedCaptureLog quiet_{-1};
  const fsdbtest::TempDir dir_;
};

TEST_P(CrashTest, BulkScanKeepsEveryFlushedFileWhereverItIsKilled) {
  const DatabaseType type = GetParam();
  // Among the adds of batches 2 to 4 (which include the flush AddFile triggers at 3000 queued files), three
  // times inside each of the explicit flushes 2 to 4, and at six moments of the index rebuild at Close.
  const auto choose = [](const std::vector<Event>& timed) {
    const std::vector<size_t> flushes = EventsStartingWith(timed, "flush ");
    const std::vector<size_t> flushed = EventsStartingWith(timed, "flushed ");
    std::vector<size_t> triggers = {flushed[0], flushed[1], flushed[2]};
    for (size_t k = 1; k < flushes.size(); ++k)
      triggers.insert(triggers.end(), 3, flushes[k]);
    triggers.insert(triggers.end(), 6, EventsStartingWith(timed, "close").at(0));
    return triggers;
  };
  int kills = 0, insideClose = 0;
  KillAtEveryTrigger([type](const Reporter& r, const std::string& file) { ScanChild(r, file, type); },
                     nullptr, choose, 20261206u, "flush ",
                     [&](const ChildResult& run, const std::string& file) {
                       if (!run.killed) {
                         ASSERT_EQ(LastLine(run), "closed");
                         CheckScanCalls(file, type, Plan().calls.size());
                         return;
                       }
                       insideClose += DiedInside(run, "close") ? 1 : 0;
                       CheckStructure(file, type);
                       const size_t durable =
                           static_cast<size_t>(std::max<int64_t>(0, LastNumber(run.events, "flushed")));
                       CheckScanCalls(file, type, durable);
                       if (++kills % 3 == 0) {  // a third of the kills: the scan is taken up again
                         ResumeScan(file, type, durable);
                         CheckScanCalls(file, type, Plan().calls.size());
                       }
                     });
  std::printf("[ crash    ] %d inside the index rebuild\n", insideClose);
}

TEST_P(CrashTest, FolderRenamesAndDeletesAreAllOrNothingWhereverKilled) {
  const DatabaseType type = GetParam();
  const std::string original = dir_.File("original.db");
  WriteTree(original, type);
  std::vector<Tree> states{InitialTree()};
  ASSERT_EQ(ReadTree(original, type), states[0]);
  for (const FolderOp& op : FolderOps())
    states.push_back(ApplyOp(states.back(), op));
  // Twice inside each operation.
  const auto choose = [](const std::vector<Event>& timed) {
    std::vector<size_t> triggers;
    for (size_t op : EventsStartingWith(timed, "op "))
      triggers.insert(triggers.end(), {op, op});
    return triggers;
  };
  KillAtEveryTrigger([type](const Reporter& r, const std::string& file) { FolderOpsChild(r, file, type); },
                     [&](const std::string& file) { CopyDatabase(original, file); }, choose, 20261207u, "op ",
                     [&](const ChildResult& run, const std::string& file) {
                       // Operations up to the last "done" happened; the one announced after it either
                       // happened whole or not.
                       CheckStructure(file, type);
                       const size_t completed = static_cast<size_t>(LastNumber(run.events, "done") + 1);
                       const Tree found = ReadTree(file, type);
                       const bool after = DiedInside(run, "op ") && found == states[completed + 1];
                       EXPECT_TRUE(found == states[completed] || after)
                           << "after " << completed
                           << " operations the tree is neither whole state: " << found.size()
                           << " lines, expected " << states[completed].size() << " or "
                           << (completed + 1 < states.size() ? states[completed + 1].size() : 0);
                     });
}

// The first Open of a new file creates the schema. Killed inside it, the file must still be usable: holding
// the whole schema or none of it, never a part that a later Open would refuse as another program's file.
TEST_P(CrashTest, FirstOpenKilledLeavesAFileTheNextOpenUses) {
  const DatabaseType type = GetParam();
  KillAtEveryTrigger(
      [type](const Reporter& reporter, const std::string& file) {
        CScanDatabase database(file, type);
        reporter.Say("open");
        reporter.Check(database.Open(false), "Open");
        reporter.Say("opened");
        reporter.Check(database.Close(), "Close");
      },
      nullptr, [](const std::vector<Event>&) { return std::vector<size_t>(6, 0); }, 20261208u, "open",
      [type](const ChildResult&, const std::string& file) {
        CScanDatabase database(file, type);
        ASSERT_OK(database.Open(false));
        ASSERT_OK(database.AddFile("/after/the/kill", boost::make_shared<CDatabaseItem>()));
        ASSERT_OK(database.Close());
        CheckStructure(file, type);
      });
}

INSTANTIATE_TEST_SUITE_P(Layouts, CrashTest,
                         ::testing::Values(DATABASE_TYPE_FULL_PATH, DATABASE_TYPE_OPTIMIZED),
                         fsdbtest::LayoutName);

}  // namespace
}  // namespace FSDB
