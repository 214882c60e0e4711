// The process-wide log writer.
//
// Every log line of the library goes through g_ptrLogWriter: the library first asks GetLevel() and
// calls Write() only when the level is at least the message's level, so a line below the level costs
// one virtual call and no formatting. Callers and tests install their own writer by assigning
// g_ptrLogWriter; a null writer means no logging.
//
// Levels in use: -1 (a background thread cannot start), 0 (errors, mode switches, reports, comparison
// progress), 2 (open and close notices, connection options), 3 (ids found, children listed, default
// comparison reports), 4 (each row written), 30 (cache hits and misses, every item read).
//
// Replace the writer only while no database is open: the library's threads read g_ptrLogWriter
// without a lock.

#ifndef FSDB_LOGWRITER_H_
#define FSDB_LOGWRITER_H_

#include <boost/shared_ptr.hpp>

#include "fsdb/Error.h"

class FSDB_EXPORT CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface();

  // Writes one line. `level` is the message's level (a level of -1 arrives as its unsigned value),
  // `function` the signature of the function that logs, `line` its source line; the two numbers after
  // it are always 0. Must be safe to call from several threads at once.
  virtual void Write(unsigned level, const char* function, unsigned line, int, unsigned long long,
                     const char* format, ...) FSDB_PRINTF(7, 8) = 0;

  // The current level: messages whose level is above it are not written.
  virtual int GetLevel() = 0;
};

// The writer used by the library. Initially a writer to stderr whose level is read once from the
// environment variable FSDB_LOG_LEVEL (default 0).
extern FSDB_EXPORT boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// Makes a new writer of the default kind: one line per call to stderr
// ("time level function:line text"), at the given level.
FSDB_EXPORT boost::shared_ptr<CLogWriterInterface> CreateStderrLogWriter(int level);

#endif  // FSDB_LOGWRITER_H_
