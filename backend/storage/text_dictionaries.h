// TextDictionaries: the zstd dictionaries a database's packed texts are compressed with.
//
// A chunk body is a few hundred bytes: alone, zstd finds little to reuse in it, but the bodies
// of one code base share most of their shape (record keys, keywords, paths, idioms of the
// language). A dictionary trained on the store's own bodies makes them about a quarter smaller
// and costs nothing to read. The dictionaries are kept in the database for good, in
// text_dictionaries, since every blob packed with one names it by its id; a blob packed without
// one stays readable as it is.
//
// A dictionary is trained once the store holds kFirstDictionaryUnits chunks, and again each
// time the chunks ever stored grow sixteenfold, so a code base that changes language as it grows
// is still served; the newest is the one new blobs are packed with.
//
// Thread safety: current() may be called from any thread; the rest is called by the thread
// that uses the connection (Database).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "common/mutex.h"

struct ZSTD_CDict_s;
struct ZSTD_DDict_s;

namespace vantory::backend {

class Database;

inline constexpr std::int64_t kFirstDictionaryUnits = 1000;
// The zstd level of packed texts: fast, since indexing compresses every chunk it stores.
inline constexpr int kPackedTextLevel = 3;

// One trained dictionary, ready to compress and decompress with. Immutable.
class TextDictionary {
 public:
  // Throws RuntimeError when `bytes` is no dictionary zstd can load.
  TextDictionary(std::int64_t id, std::string_view bytes);
  ~TextDictionary();
  TextDictionary(const TextDictionary&) = delete;
  TextDictionary& operator=(const TextDictionary&) = delete;

  std::int64_t id() const { return id_; }
  const ZSTD_CDict_s* compression() const { return compress_; }
  const ZSTD_DDict_s* decompression() const { return decompress_; }

 private:
  std::int64_t id_;
  ZSTD_CDict_s* compress_ = nullptr;
  ZSTD_DDict_s* decompress_ = nullptr;
};

class TextDictionaries {
 public:
  explicit TextDictionaries(Database& db) : db_(db) {}

  // Reads the newest dictionary of the database (after its schema is up to date).
  void open();

  // The dictionary new blobs are packed with; null while the store has none.
  std::shared_ptr<const TextDictionary> current() const;

  // The dictionary with `id`, read from the database on first use; null when it has none.
  const TextDictionary* find(std::int64_t id);

  // Trains a dictionary on the stored bodies when one is due (see above) and makes it the
  // current one. Its own transaction: call outside any. Throws RuntimeError when the
  // database fails.
  void train_when_due();

 private:
  std::shared_ptr<const TextDictionary> load(std::int64_t id);

  Database& db_;
  mutable Mutex mutex_;
  std::shared_ptr<const TextDictionary> current_ GUARDED_BY(mutex_);
  std::map<std::int64_t, std::shared_ptr<const TextDictionary>> loaded_ GUARDED_BY(mutex_);
  std::int64_t next_due_ = -1;  // the chunk id whose storing makes a dictionary due; -1: unread
};

}  // namespace vantory::backend
