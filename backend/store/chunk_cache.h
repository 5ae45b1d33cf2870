// ChunkCache: what the chunkers made of a text, so that cutting the same text again
// (delta_update or index_file of a file that did not change, or a copy of a file already
// indexed) is answered from a stored context instead of another parse.
//
// A stored context may carry a chunk key: the SHA-256 of the chunkers' revision (a digest of
// their sources, so chunks cut by another build never count), the language and the text. It
// says that the context's chunk records are exactly what the chunker made of that text, as
// Tarnel hands them on (a missing or empty summary filled with "Code unit: <name>", a missing
// hash_id filled with the hash of the content). The key leaves the path out: what a chunker
// makes of a text does not depend on where the text is, except for the path each record
// names in "file_path", which the cached chunker puts right as it hands a record on (and
// take() reads the remembered records as cut for the path asked about). Only the memory
// builder sets a key, and
// only after comparing the records it stores with what the chunker answered in this process
// (remember, then take): records supplied by a caller are never served as the chunker's,
// unless they are identical to them.
//
// Thread safety: thread-safe; one mutex guards the remembered answers and the connections.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/json.h"
#include "common/mutex.h"

namespace vantory::backend {

class Database;

class ChunkCache {
 public:
  ChunkCache();
  ~ChunkCache();
  ChunkCache(const ChunkCache&) = delete;
  ChunkCache& operator=(const ChunkCache&) = delete;

  // The chunk key of `text` cut by the chunker of `language`, wherever the text is.
  static std::string key_of(std::string_view language, std::string_view text);

  // What a store holds under a chunk key: the chunk records, and the import records of the
  // file they were stored with, with the SHA-256 of that file's bytes (imports are a function
  // of the bytes and the language, so they serve a file with the same bytes).
  // With them, the agent that held a vector for every one of those chunks when they were
  // stored, when one did.
  struct Stored {
    std::shared_ptr<const Json> records;  // null when no store holds the key
    std::shared_ptr<const Json> imports;  // null when not known
    std::optional<std::string> file_hash;
    std::optional<std::string> vectors_of;
  };

  // What the builder takes for a file whose records are the chunker's answer.
  struct Taken {
    std::string key;
    std::shared_ptr<const Json> imports;  // as in Stored
    std::optional<std::string> file_hash;
    std::optional<std::string> vectors_of;
    bool stored = false;  // a store held records for the key: the file is a copy
  };

  // Makes the database under `root_path` a source of stored chunks until detached. Attaching
  // counts: a root attached twice stays until it is detached twice. The cache reads through
  // a connection of its own, opened at the first lookup.
  void attach(const std::string& root_path);
  void detach(const std::string& root_path);

  // Offers the chunks of contexts that a store of `root_path` has loaded anyway:
  // `contexts` is an agent's array of contexts, `keys[i]` the chunk key of contexts[i].
  // Replaces what the root offered before; null offers nothing. A key names the same records
  // (but for the path they name) whenever it is stored, so an offer stays good however the
  // database changes afterwards.
  void offer(const std::string& root_path, std::shared_ptr<const Json> contexts,
             const std::vector<std::optional<std::string>>& keys);

  // What is stored under `key` in an attached database (or offered from one, or read from one
  // lately): the array of chunk records, in order, as stored for the path they were cut for
  // (read from the database now: as if cut for `path`, when one is given; records found
  // otherwise may name another copy's file, and are shared, not copied). When no store holds the
  // key: records held for it (hold), with the imports held beside them. Throws
  // RuntimeError when a database cannot be read.
  Stored find(const std::string& key, const std::string* path = nullptr);

  // Notes what the chunker answered for `path` in `language`: the array of its units'
  // records (as cut for `path`, whatever file they name: see is_chunker_record), the key of
  // the text it cut, and what a store told of that text's imports and vectors (`known`, whose
  // records, when not null, tell only that a store held the text).
  void remember(const std::string& path, const std::string& language, std::string key,
                std::shared_ptr<const Json> records, Stored known = Stored{});

  // What was remembered for `path` and `language` when `chunks` (the array the builder is
  // about to store, before it fills in hash ids) is exactly what the chunker answered, with
  // Tarnel's fillings; nothing otherwise. The remembered answer is forgotten either way.
  std::optional<Taken> take(const std::string& path, const std::string& language,
                            const Json& chunks);

  // Offers `records`, which the builder took under `key` (take) and keeps until they are
  // stored, to find() until released: a copy of their text met before they are committed is
  // answered from them, with `imports`, the import records of the file whose bytes have the
  // SHA-256 `file_hash` (none when either is not known). The cache shares them and copies
  // nothing.
  void hold(const std::string& key, std::shared_ptr<const Json> records,
            std::shared_ptr<const Json> imports = nullptr,
            std::optional<std::string> file_hash = std::nullopt);
  // Stops offering `records` under `key` (nothing when others are held there).
  void release(const std::string& key, const Json* records);

 private:
  // Keeps what a read of the database under `root_path` found under `key` (RecentReads).
  void keep_read(const std::string& root_path, const std::string& key, const Stored& stored);

  struct Answer {
    std::string path;
    std::string language;
    Taken taken;
    std::shared_ptr<const Json> records;
  };
  // A database read by the cache. Its connection has a lock of its own, so that remembering
  // and taking answers never wait for a read.
  struct Reader {
    explicit Reader(std::string root) : root_path(std::move(root)) {}
    const std::string root_path;
    Mutex mutex;
    std::unique_ptr<Database> db GUARDED_BY(mutex);
  };
  // What the latest reads of a database found, newest last, so that the copies of a text
  // that follow one another in a tree (the same header vendored for each platform) are not
  // all read. A text is kept once it was read twice within the latest reads: copies far apart
  // (a whole tree vendored again) would only be freed late. Bounded by about the memory the
  // records take.
  struct RecentRead {
    std::string key;
    Stored stored;
    std::size_t bytes = 0;  // about what the records take in memory
  };
  struct RecentReads {
    std::deque<RecentRead> found;  // the latest found or asked for last
    std::size_t bytes = 0;
    std::deque<std::string> read_once;  // the keys of the latest reads not kept, newest last
  };
  struct Source {
    int attached = 0;
    std::shared_ptr<Reader> reader;
    std::unordered_map<std::string, Stored> offered;
    RecentReads recent;
  };

  Mutex mutex_;
  std::deque<Answer> answers_ GUARDED_BY(mutex_);  // the latest few, newest last
  std::unordered_map<std::string, Stored> held_ GUARDED_BY(mutex_);
  std::map<std::string, Source> sources_ GUARDED_BY(mutex_);
};

// The hash id of a chunk's content: SHA-256 of the content with white-space runs collapsed
// to one blank and the ends trimmed.
std::string content_hash_id(std::string_view content);

// True when `stored` is `made` (a record that a chunker's unit answered) as Tarnel hands it
// on: the same members in the same order and with the same values, except that a missing,
// empty or null summary became "Code unit: " + the name ("unnamed" without one) and a
// missing or empty hash_id became the hash of a non-empty content; such members that were
// missing are appended in that order. A hash_id already in `stored` is checked against the
// content. With `path`, `made` counts as cut for that file (put_in_file, chunk_body.h).
bool is_chunker_record(const Json& stored, const Json& made, const std::string* path = nullptr);

}  // namespace vantory::backend
