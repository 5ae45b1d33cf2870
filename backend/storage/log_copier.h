// LogCopier: copies a database's write-ahead log into the database file from a thread of its
// own, so that a writer that commits often (an index of many files) does not wait for the copy
// and its two syncs. Without it, SQLite copies the log in the committing thread each time the
// log holds the threshold's pages; an index of /usr/include spent 0.9 s of its writer's time
// waiting for those syncs.
//
// Each time the log passes another `threshold_pages` after a commit, the writer's connection
// wakes the thread, which copies over a connection of its own, passively: it never blocks the
// writer or a reader, and copies what was committed when it began. A passive copy cannot take
// the log back to its start while the writer keeps appending, so once the log holds
// kRewindFactor times the threshold, the writer copies what is left itself (little: the thread
// copied the rest), and its next transaction writes the log from its start again. When the
// thread cannot open its connection, the writer copies the log itself, as SQLite would.
//
// Thread safety: construct and destroy on the thread that uses the writer's connection; the
// connection must outlive the LogCopier.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <string>
#include <thread>

#include "common/mutex.h"

namespace vantory::backend {

class LogCopier {
 public:
  // The log may grow to this many times the threshold before the writer copies it itself.
  static constexpr int kRewindFactor = 4;

  // Takes over the log copies of `writer` (a connection to the database file at `path`, in
  // WAL mode) from SQLite's automatic checkpoints.
  LogCopier(sqlite3* writer, std::string path, int threshold_pages);
  // Stops the thread and gives the writer's connection its automatic checkpoints back.
  ~LogCopier();
  LogCopier(const LogCopier&) = delete;
  LogCopier& operator=(const LogCopier&) = delete;

  // How many copies the thread has finished (for tests).
  std::uint64_t copies() const;

 private:
  static int on_commit(void* self, sqlite3* db, const char* schema, int pages);
  void run();
  // The thread's connection, opened and made to read the log; null when it cannot be.
  sqlite3* open_reader() const;

  sqlite3* writer_;
  const std::string path_;
  const int threshold_pages_;
  int steps_passed_ = 0;  // thresholds the log held after the last commit (the writer's)

  mutable Mutex mutex_;
  std::condition_variable changed_;
  bool wanted_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool copying_ GUARDED_BY(mutex_) = false;
  bool unable_ GUARDED_BY(mutex_) = false;  // the thread has no connection: the writer copies
  std::uint64_t copies_ GUARDED_BY(mutex_) = 0;
  std::thread thread_;
};

}  // namespace vantory::backend
