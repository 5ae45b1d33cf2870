#include "backend/storage/log_copier.h"

#include <utility>

namespace vantory::backend {

LogCopier::LogCopier(sqlite3* writer, std::string path, int threshold_pages)
    : writer_(writer), path_(std::move(path)), threshold_pages_(threshold_pages) {
  thread_ = std::thread(&LogCopier::run, this);
  sqlite3_wal_hook(writer_, &LogCopier::on_commit, this);
}

LogCopier::~LogCopier() {
  // Puts SQLite's own hook back first, so that no commit calls into this object any more.
  sqlite3_wal_autocheckpoint(writer_, threshold_pages_);
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

std::uint64_t LogCopier::copies() const {
  MutexLock lock(mutex_);
  return copies_;
}

int LogCopier::on_commit(void* self, sqlite3* db, const char* schema, int pages) {
  auto* copier = static_cast<LogCopier*>(self);
  // The thread copies once each time the log passes another threshold's worth: copying after
  // every commit would copy the pages that the next commits change again.
  int step = pages / copier->threshold_pages_;
  bool passed = step > copier->steps_passed_;
  copier->steps_passed_ = step;
  if (step == 0) return SQLITE_OK;
  {
    MutexLock lock(copier->mutex_);
    if (!copier->unable_ && step < kRewindFactor) {
      if (!passed) return SQLITE_OK;
      copier->wanted_ = true;
      lock.unlock();
      copier->changed_.notify_all();
      return SQLITE_OK;
    }
    // The writer copies the rest itself once the thread's copy is over: two copies at once
    // would only make one of them give up.
    while (copier->copying_) lock.wait(copier->changed_);
    copier->wanted_ = false;
  }
  // As SQLite's own hook does; a copy that cannot be made now is made after a later commit.
  sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  return SQLITE_OK;
}

sqlite3* LogCopier::open_reader() const {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK ||
      sqlite3_busy_timeout(db, 2000) != SQLITE_OK ||  // another process recovering the log
      // A connection opens the log with its first read.
      sqlite3_exec(db, "SELECT 1 FROM sqlite_schema LIMIT 1", nullptr, nullptr, nullptr) !=
          SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

void LogCopier::run() {
  sqlite3* reader = open_reader();
  MutexLock lock(mutex_);
  if (reader == nullptr) {
    unable_ = true;
    return;
  }
  while (true) {
    while (!wanted_ && !stopping_) lock.wait(changed_);
    if (stopping_) break;
    wanted_ = false;
    copying_ = true;
    lock.unlock();
    sqlite3_wal_checkpoint_v2(reader, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    lock.lock();
    copying_ = false;
    ++copies_;
    changed_.notify_all();
  }
  lock.unlock();
  sqlite3_close(reader);
}

}  // namespace vantory::backend
