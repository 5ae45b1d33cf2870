// The write-ahead log copied by a thread of its own: nothing committed is lost, the log goes
// back to its start, and without a connection of its own the writer copies it itself.
#include "backend/storage/log_copier.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace vantory::backend {
namespace {

constexpr int kThreshold = 8;  // pages of 4 KB

class LogCopierTest : public ::testing::Test {
 protected:
  LogCopierTest() {
    char pattern[] = "/tmp/vantory-log-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    path_ = dir_ + "/db.sqlite3";
    writer_ = open();
    exec(writer_, "PRAGMA journal_mode=WAL; CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)");
  }
  ~LogCopierTest() override {
    sqlite3_close(writer_);
    std::filesystem::remove_all(dir_);
  }

  sqlite3* open() const {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    return db;
  }
  static void exec(sqlite3* db, const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
  }
  // Commits `count` rows of about two pages each, one transaction a row.
  void commit_rows(int count) {
    for (int i = 0; i < count; ++i) exec(writer_, "INSERT INTO t(v) VALUES(randomblob(7000))");
  }
  // The pages the log holds now, as a new connection sees them.
  int log_pages() const {
    sqlite3* db = open();
    int log = -1;
    int copied = -1;
    sqlite3_exec(db, "SELECT 1 FROM sqlite_schema LIMIT 1", nullptr, nullptr, nullptr);
    sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, &log, &copied);
    sqlite3_close(db);
    return log;
  }
  std::int64_t rows() const {
    sqlite3* db = open();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM t", -1, &st, nullptr);
    std::int64_t n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
  }

  std::string dir_;
  std::string path_;
  sqlite3* writer_ = nullptr;
};

TEST_F(LogCopierTest, TheThreadCopiesTheLogWhichGoesBackToItsStartAndKeepsEveryRow) {
  {
    LogCopier copier(writer_, path_, kThreshold);
    commit_rows(6);  // past the first threshold
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (copier.copies() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(copier.copies(), 1u);
    // Many thresholds' worth: the writer copies the rest each time the log holds four, and
    // its next transaction writes the log from its start.
    commit_rows(200);
    EXPECT_LT(log_pages(), (LogCopier::kRewindFactor + 1) * kThreshold);
  }
  commit_rows(10);  // SQLite's own copies again
  EXPECT_EQ(rows(), 216);
}

TEST_F(LogCopierTest, WithoutAConnectionOfItsOwnTheWriterCopiesTheLog) {
  LogCopier copier(writer_, dir_ + "/missing/db.sqlite3", kThreshold);
  commit_rows(200);
  EXPECT_EQ(copier.copies(), 0u);
  EXPECT_LT(log_pages(), (LogCopier::kRewindFactor + 1) * kThreshold);
  EXPECT_EQ(rows(), 200);
}

}  // namespace
}  // namespace vantory::backend
