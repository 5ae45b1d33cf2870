// ChunkCache: what the chunkers made of a file's text, so that cutting the same text again
// (delta_update or index_file of a file that did not change) is answered from the stored
// context instead of another parse.
//
// A stored context may carry a chunk key: the SHA-256 of the chunkers' revision (a digest of
// their sources, so chunks cut by another build never count), the language, the path handed
// to the chunker and the text. It says that the context's chunk records are exactly what the
// chunker made of that text, as Tarnel hands them on (a missing or empty summary filled with
// "Code unit: <name>", a missing hash_id filled with the hash of the content). Only the memory
// builder sets it, and only after comparing the records it stores with what the chunker
// answered in this process (remember, then take_key): records supplied by a caller are never
// served as the chunker's, unless they are identical to them.
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

  // The chunk key of `text` cut by the chunker of `language` for the path `path`.
  static std::string key_of(std::string_view language, std::string_view path,
                            std::string_view text);

  // Makes the database under `root_path` a source of stored chunks until detached. Attaching
  // counts: a root attached twice stays until it is detached twice. The cache reads through
  // a connection of its own, opened at the first lookup.
  void attach(const std::string& root_path);
  void detach(const std::string& root_path);

  // Offers the chunks of contexts that a store of `root_path` has loaded anyway:
  // `contexts` is an agent's array of contexts, `keys[i]` the chunk key of contexts[i].
  // Replaces what the root offered before; null offers nothing. A key names the same records
  // whenever it is stored, so an offer stays good however the database changes afterwards.
  void offer(const std::string& root_path, std::shared_ptr<const Json> contexts,
             const std::vector<std::optional<std::string>>& keys);

  // The array of chunk records, in order, stored under `key` in an attached database (or
  // offered from one); null when none holds one. Throws RuntimeError when a database cannot
  // be read.
  std::shared_ptr<const Json> find(const std::string& key);

  // Notes what the chunker answered for `path` in `language`: the array of its units'
  // records, and the key of the text it cut.
  void remember(const std::string& path, const std::string& language, std::string key,
                std::shared_ptr<const Json> records);

  // The key remembered for `path` and `language` when `chunks` (the array the builder is
  // about to store, before it fills in hash ids) is exactly what the chunker answered, with
  // Tarnel's fillings; nothing otherwise. The remembered answer is forgotten either way.
  std::optional<std::string> take_key(const std::string& path, const std::string& language,
                                      const Json& chunks);

 private:
  struct Answer {
    std::string path;
    std::string language;
    std::string key;
    std::shared_ptr<const Json> records;
  };
  struct Source {
    int attached = 0;
    std::unique_ptr<Database> db;
    std::unordered_map<std::string, std::shared_ptr<const Json>> offered;
  };

  Mutex mutex_;
  std::deque<Answer> answers_ GUARDED_BY(mutex_);  // the latest few, newest last
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
// content.
bool is_chunker_record(const Json& stored, const Json& made);

}  // namespace vantory::backend
