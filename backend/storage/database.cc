#include "backend/storage/database.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "backend/storage/hash_keys.h"
#include "backend/storage/schema.h"
#include "common/error.h"
#include "common/files.h"

namespace vantory::backend {

namespace {

// Long enough to ride out another process's indexing transaction of a large file.
constexpr int kBusyTimeoutMs = 60000;

// Switches the database to write-ahead logging. The switch needs the database to itself and,
// unlike other statements, does not wait for the busy handler: processes that open a new
// root at the same moment see "database is locked" at once, or the old mode answered back.
// Tried again for as long as the busy time-out allows.
void use_write_ahead_log(sqlite3* db, const std::string& path) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  std::chrono::milliseconds pause(1);
  for (;;) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &stmt, nullptr);
    std::string mode;
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(stmt);
      if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(stmt, 0);
        mode = text ? reinterpret_cast<const char*>(text) : "";
        rc = SQLITE_OK;
      }
    }
    std::string message = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    if (rc == SQLITE_OK && mode == "wal") return;
    bool busy = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED || rc == SQLITE_OK;
    if (!busy || std::chrono::steady_clock::now() >= deadline) {
      throw RuntimeError("code-memory database " + path + ": cannot use write-ahead logging: " +
                         (rc == SQLITE_OK ? "journal mode stayed " + mode : message));
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

}  // namespace

Statement::~Statement() {
  if (stmt_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

Statement& Statement::bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_->fail("bind");
  return *this;
}

Statement& Statement::bind(int index, double value) {
  if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) db_->fail("bind");
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  if (sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) !=
      SQLITE_OK) {
    db_->fail("bind");
  }
  return *this;
}

Statement& Statement::bind_blob(int index, const void* data, std::size_t size) {
  if (sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT) != SQLITE_OK) {
    db_->fail("bind");
  }
  return *this;
}

Statement& Statement::bind_null(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) db_->fail("bind");
  return *this;
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_->fail("step");
}

void Statement::run() {
  while (step()) {
  }
}

bool Statement::is_null(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Statement::column_int(int column) const { return sqlite3_column_int64(stmt_, column); }

double Statement::column_double(int column) const { return sqlite3_column_double(stmt_, column); }

std::string_view Statement::column_text_view(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  if (!text) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
}

int Statement::column_type(int column) const { return sqlite3_column_type(stmt_, column); }

std::string Statement::column_text(int column) const {
  return std::string(column_text_view(column));
}

std::string_view Statement::column_blob(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  if (!data) return {};
  return {static_cast<const char*>(data),
          static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
}

std::optional<std::int64_t> Statement::column_optional_int(int column) const {
  if (is_null(column)) return std::nullopt;
  return column_int(column);
}

std::optional<std::string> Statement::column_optional_text(int column) const {
  if (is_null(column)) return std::nullopt;
  return column_text(column);
}

Database::Database(const std::string& root_path) {
  // SQLite counts every allocation under one process-wide mutex, for statistics that nothing
  // here reads. The setting only takes before SQLite first initialises; later it is refused,
  // harmlessly.
  static const bool no_memory_statistics = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return true;
  }();
  (void)no_memory_statistics;
  std::string root = root_path.empty() ? "." : root_path;
  make_directories(root);
  path_ = (root.back() == '/' ? root : root + "/") + kDatabaseFileName;
  int rc =
      sqlite3_open_v2(path_.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw RuntimeError("cannot open the code-memory database " + path_ + ": " + message);
  }
  try {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // WAL keeps readers and the writer apart; NORMAL synchronisation is durable across
    // process crashes (only a power loss can drop the last commits, never corrupt the file).
    // A 64 MB page cache keeps the hot index pages between commits, and the pages a search
    // of a large agent reads (keyword hits are looked up row by row) between searches.
    // Checkpointing every 64 MB of log rather than every 4 MB makes the file syncs rare. Each
    // commit logs every page it touched, and the hash-keyed indexes touch pages all over, so
    // a page is often logged many times between two checkpoints and copied into the file
    // only once; once checkpointed, the log is cut back to 16 MB.
    register_hash_id_function(db_);
    // A new database is written in pages of 16 KB, not 4 KB: an index logs and writes a
    // quarter as many pages, and the B-trees are shallower (/usr/include indexes about 6%
    // faster into a 3% smaller file). The size is fixed when the file is first written, so a
    // database made with 4 KB pages keeps them.
    exec("PRAGMA page_size=16384");
    use_write_ahead_log(db_, path_);
    std::int64_t page_size = 4096;
    {
      Statement st = prepare("PRAGMA page_size");
      if (st.step()) page_size = std::max<std::int64_t>(st.column_int(0), 512);
    }
    constexpr std::int64_t kCheckpointLogBytes = std::int64_t{64} << 20;
    checkpoint_pages_ = static_cast<int>(kCheckpointLogBytes / page_size);
    exec(("PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536; PRAGMA wal_autocheckpoint=" +
          std::to_string(checkpoint_pages_) +
          "; PRAGMA journal_size_limit=16777216;")
             .c_str());
    ensure_schema(*this);
    dictionaries_.open();
  } catch (...) {
    // The statements prepared so far hold the connection open: finalise them first.
    close();
    throw;
  }
}

Database::~Database() { close(); }

void Database::copy_log_in_background() {
  if (!log_copier_) log_copier_ = std::make_unique<LogCopier>(db_, path_, checkpoint_pages_);
}

void Database::close() {
  log_copier_.reset();
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  statements_.clear();
  sqlite3_close(db_);
  db_ = nullptr;
}

Statement Database::prepare(const char* sql) {
  auto it = statements_.find(sql);
  if (it == statements_.end()) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      fail("prepare");
    }
    it = statements_.emplace(sql, stmt).first;
  }
  return Statement(*this, it->second);
}

void Database::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw RuntimeError("code-memory database " + path_ + ": " + message);
  }
}

std::int64_t Database::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_); }

void Database::fail(std::string_view what) const {
  throw RuntimeError("code-memory database " + path_ + ": " + std::string(what) + ": " +
                     sqlite3_errmsg(db_));
}

Transaction::Transaction(Database& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  db_.exec("COMMIT");
  open_ = false;
}

void Transaction::restart() {
  sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  // A failed rollback leaves the transaction open: the destructor tries again.
  open_ = sqlite3_get_autocommit(db_.handle()) == 0;
  if (open_) {
    throw RuntimeError("cannot roll back a batch: " + std::string(sqlite3_errmsg(db_.handle())));
  }
  db_.exec("BEGIN IMMEDIATE");
  open_ = true;
}

ReadTransaction::ReadTransaction(Database& db) : db_(db) { db_.exec("BEGIN DEFERRED"); }

ReadTransaction::~ReadTransaction() {
  sqlite3_exec(db_.handle(), "COMMIT", nullptr, nullptr, nullptr);
}

}  // namespace vantory::backend
