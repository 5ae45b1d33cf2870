// Database: one connection to the code-memory database under a root directory, with its
// prepared statements; Statement: a borrowed prepared statement; Transaction: a write
// transaction that rolls back unless committed.
//
// The database is one SQLite file in WAL mode, so readers never block the one writer, and a
// busy time-out lets several connections (of this process or of others) share the file: a
// writer waits for the other's write transaction instead of failing. Write transactions take
// the write lock when they begin (BEGIN IMMEDIATE), so two writers never deadlock upgrading a
// read lock.
//
// Thread safety: a Database is used by one thread at a time (each component owns its own).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "backend/storage/log_copier.h"
#include "backend/storage/text_dictionaries.h"

namespace vantory::backend {

class Database;

// A prepared statement borrowed from its Database's cache. Binding indexes start at 1.
// Destruction resets the statement and clears its bindings, so the next user starts afresh.
// Every failure throws RuntimeError naming the database file and SQLite's message.
class Statement {
 public:
  Statement(Database& db, sqlite3_stmt* stmt) : db_(&db), stmt_(stmt) {}
  ~Statement();
  Statement(Statement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {
    other.stmt_ = nullptr;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement& operator=(Statement&&) = delete;

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, double value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
  Statement& bind(int index, const std::string& text) {
    return bind(index, std::string_view(text));
  }
  Statement& bind_blob(int index, const void* data, std::size_t size);
  Statement& bind_null(int index);
  template <typename T>
  Statement& bind(int index, const std::optional<T>& value) {
    return value ? bind(index, *value) : bind_null(index);
  }

  // Advances to the next row: true when there is one, false when the statement is done.
  bool step();
  // Runs a statement that answers no rows.
  void run();

  bool is_null(int column) const;
  int column_type(int column) const;  // SQLITE_INTEGER, SQLITE_TEXT, SQLITE_BLOB, ...
  std::int64_t column_int(int column) const;
  double column_double(int column) const;
  std::string column_text(int column) const;
  std::string_view column_text_view(int column) const;  // valid until the next step
  std::string_view column_blob(int column) const;       // valid until the next step
  std::optional<std::int64_t> column_optional_int(int column) const;
  std::optional<std::string> column_optional_text(int column) const;

 private:
  Database* db_;
  sqlite3_stmt* stmt_;
};

class Database {
 public:
  // Opens the database file `code_memory.sqlite3` under `root_path`, creating the directory
  // (with its parents) and the file when missing, and brings its schema up to date. Throws
  // OSError when the directory cannot be made, RuntimeError when SQLite cannot open or
  // update the file (including a file written by a newer schema).
  explicit Database(const std::string& root_path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // The cached prepared statement for `sql` (prepared on first use). `sql` must be a string
  // literal or otherwise outlive the Database: it keys the cache by address. A statement is
  // borrowed by one user at a time.
  Statement prepare(const char* sql);
  // Runs one or more statements that answer no rows.
  void exec(const char* sql);

  std::int64_t last_insert_rowid() const;
  // From now on the write-ahead log is copied into the database file by a thread of its own
  // (log_copier.h), not by the connection's commits; for a connection that commits often.
  // Idempotent. Throws std::system_error when no thread can be started.
  void copy_log_in_background();
  // The dictionaries the database's packed texts are compressed with.
  TextDictionaries& text_dictionaries() { return dictionaries_; }
  const std::string& path() const { return path_; }
  sqlite3* handle() const { return db_; }

  // Throws RuntimeError with SQLite's current message, prefixed with `what`.
  [[noreturn]] void fail(std::string_view what) const;

 private:
  // Finalises the prepared statements and closes the connection.
  void close();

  std::string path_;
  sqlite3* db_ = nullptr;
  int checkpoint_pages_ = 0;  // the log's pages that call for a copy into the file
  std::unique_ptr<LogCopier> log_copier_;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  TextDictionaries dictionaries_{*this};
};

// A write transaction (BEGIN IMMEDIATE). Rolls back on destruction unless committed.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();
  // Rolls back everything written since BEGIN and begins again. The write lock is let go in
  // between, so another writer may commit first. Throws when the new transaction cannot be
  // begun; the transaction is then closed.
  void restart();

 private:
  Database& db_;
  bool open_ = true;
};

// A read transaction (BEGIN DEFERRED): the reads made while it lives see one consistent
// state, whatever other connections commit meanwhile. Ends on destruction.
class ReadTransaction {
 public:
  explicit ReadTransaction(Database& db);
  ~ReadTransaction();
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  Database& db_;
};

// The name of the database file below a root directory.
inline constexpr const char* kDatabaseFileName = "code_memory.sqlite3";

}  // namespace vantory::backend
