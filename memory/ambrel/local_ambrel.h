// LocalAmbrel: a vector store that keeps one embedding vector per memory entry, per agent, in
// JSON files under a root directory, and searches caller-supplied memory entries by vector
// similarity, by keywords, or by a weighted mix of both.
//
// Layout under root_path:
//   agents/<safe_id>/vectors.json   the agent's vectors: {"<entry id>": [numbers...], ...}
//   agents/<safe_id>/embedder.json  the identity of the embedding client that made them
//                                   (written with the first vectors, dropped with the last)
//   .embedding_cache/               the cache directory handed to the process-wide client
// The store keeps no memory entries: every search is handed the entries to rank. Every
// change rewrites the agent's whole vectors file (atomically: a crash leaves the old or the
// new file); each file is read at most once per store while reads succeed, after which the
// decoded 32-bit vectors in memory (with their norms) serve every read.
//
// Failures of the embedding service or of a damaged file never fail an operation: each is
// written as one "[Ambrel] ..." line on standard error and answered with a neutral value.
// What reaches the caller is documented per operation: above all a TypeError for a memory
// entry that is not an object or whose member read has the wrong type; nothing is written
// then.
//
// Thread safety: every operation may be called from any thread. Each load, change and save
// sequence of one agent's file is serialised, so concurrent adds and deletes lose nothing;
// readers use the cached vectors without waiting for writers. A write holds `_lock` (one per
// store) while the file is replaced and the cached copy swapped. Which lock guards what, and
// their order, is said beside the members.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/files.h"
#include "common/json.h"
#include "common/mutex.h"
#include "memory/ambrel/vector_map.h"
#include "memory/embedding/python_vector.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory {

struct RankedEntry;

class LocalAmbrel {
 public:
  // The 111 lower-case English words that keyword_search leaves out of a query.
  static const std::unordered_set<std::string_view> STOPWORDS;

  // The longest query keyword_search takes, in bytes. Its cost is linear in the lengths of
  // the query and of each entry's text, keywords, topic and persons.
  static constexpr std::size_t kMaxKeywordQueryBytes = std::size_t{1} << 20;

  // A store rooted at `root_path` made absolute against the working directory, lexically
  // ("./.vantory_data" in /srv gives /srv/.vantory_data). Without `embedding_client` the
  // store uses the process-wide client, get_embedding_client(<root>/.embedding_cache) (which
  // ignores the path when that client exists already). Creates the root directory with its
  // parents. Throws OSError when it cannot, and what get_embedding_client throws.
  explicit LocalAmbrel(const std::string& root_path = "./.vantory_data",
                       std::shared_ptr<RemoteEmbeddingClient> embedding_client = nullptr,
                       bool auto_embed = true);

  LocalAmbrel(const LocalAmbrel&) = delete;
  LocalAmbrel& operator=(const LocalAmbrel&) = delete;

  // --- Layout and persistence ---

  // `agent_id` with every code point that is neither alphanumeric (letters, digits and other
  // numeric characters: é, ß, ٣ and ² pass) nor "-" or "_" replaced by one "_". Different
  // ids can share one safe_id (a.b, a/b and a_b) and then one directory and file; the empty
  // id gives "", so its directory is the agents directory itself.
  static std::string safe_id(std::string_view agent_id);

  // root_path/agents/<safe_id>.
  std::string _get_agent_path(const std::string& agent_id) const;

  // _get_agent_path(agent_id)/vectors.json.
  std::string _get_vectors_path(const std::string& agent_id) const;

  // The numbers of `vector` as a new array (floats widened to doubles), or a copy of a plain
  // array. The Json form throws TypeError unless `value` is an array of numbers.
  static std::vector<double> _to_list(const PythonVector& vector);
  static std::vector<double> _to_list(const std::vector<double>& values);
  static std::vector<double> _to_list(const Json& value);

  // The agent's vectors; never fails, an empty map stands for none. When the agent is cached
  // the numbers are its 32-bit vectors widened; else the file is read, its numbers come back
  // exactly as written and the agent is cached. A missing file answers empty and leaves the
  // cache alone; a file that cannot be read or is not a JSON object of number arrays writes
  // "[Ambrel] Failed to load vectors: <reason>" and answers what was cached before (empty
  // when nothing was), cache unchanged. A file that could not be parsed is never saved over:
  // it is kept beside as vectors.json.damaged-<UTC time> ("[Ambrel] Kept the damaged vectors
  // file as <path>; ..."), and the next save writes the cached vectors with the change; a file
  // that cannot be read at all makes every change fail instead.
  VectorMap _load_vectors(const std::string& agent_id);

  // Writes `vectors` as the agent's file and caches them. Creates the agent directory first:
  // a failure there throws (OSError). A failure to write writes "[Ambrel] Failed to save
  // vectors: <reason>" and is not reported otherwise; the old file and cache then stay.
  void _save_vectors(const std::string& agent_id, const VectorMap& vectors);

  // The agent's cached vectors, or nullptr when the agent is not cached. The map is never
  // changed afterwards (a change caches a new one).
  std::shared_ptr<const VectorMap> _cached_vectors(const std::string& agent_id) const
      EXCLUDES(cache_mutex_);

  // --- Vector records ---

  // Embeds `text` (passed as it is, empty or not) and stores the vector under `entry_id`,
  // replacing an existing one in its position; answers the stored numbers. When embedding
  // fails (the client answered a zero vector included), the agent directory cannot be
  // created or the file cannot be read or written, writes "[Ambrel] Failed to add vector:
  // <reason>" and answers nullopt: what is answered is on disk.
  std::optional<std::vector<double>> add_vector(const std::string& agent_id,
                                                const std::string& entry_id,
                                                const std::string& text);

  // Embeds, one at a time and in order, each entry whose `id` is not empty and has no vector
  // yet (a repeated id is embedded once), from its text (`lossless_restatement`, else
  // `content`; entries without text are skipped), then writes the file once and "[Ambrel]
  // Added <n> vectors for <agent_id>"; answers n. A failed embedding writes "[Ambrel] Failed
  // to embed <id>: <reason>" and leaves the entry out; so does a text that is not a string,
  // and a failed write of the file, for every entry it held (n is 0 then). Nothing is written
  // when n is 0. Throws TypeError when `entries` is not an array or an element is not an
  // object or has an `id` that is not a string, and OSError when the agent directory cannot
  // be created; nothing is written then.
  std::int64_t add_vectors_batch(const std::string& agent_id, const Json& entries);

  // The vector stored under `entry_id` (the cached vector itself), or nullopt.
  std::optional<PythonVector> get_vector(const std::string& agent_id, const std::string& entry_id);

  // Removes the vector of `entry_id` and rewrites the file; true when there was one and the
  // file was written. A failed write (or a file that cannot be read) writes "[Ambrel] Failed
  // to save vectors: <reason>" and answers false. Nothing is written when there was none.
  // Throws OSError when the agent directory cannot be created.
  bool delete_vector(const std::string& agent_id, const std::string& entry_id);

  // Deletes the agent's vectors file (the directory stays) and forgets its cached vectors;
  // writes "[Ambrel] Cleared vectors for <agent_id>" on every call. Throws OSError when the
  // file exists but cannot be deleted; the cache then stays.
  void clear_vectors(const std::string& agent_id);

  // {"agent_id", "vector_count" (stored vectors), "dimension" (the client's configured
  // dimension), "cache_size" (entries of the client's embedding cache, all agents),
  // "embedder_mismatch" (null, or {"recorded", "current"} identities when the agent's vectors
  // were made by another embedding client than the one in use: their similarities to new
  // vectors mean nothing until the vectors are cleared and added again)}.
  Json get_stats(const std::string& agent_id);

  // --- Searches over caller-supplied memory entries ---
  //
  // `memories` is an array of memory entries (objects: `id`, `lossless_restatement`,
  // `content`, `keywords`, `persons`, `topic`, `importance`, anything else). Each result
  // record is a copy of an entry with score members set: a member of that name is replaced
  // where it stands, else added last. `top_k` keeps the first top_k ranked records; 0 keeps
  // none and a negative top_k drops that many from the end. Ties keep the order of
  // `memories`. Missing or empty `memories` answers [] at once.

  // Ranks the entries with a stored vector by cosine similarity to the embedding of `query`
  // (member "semantic_score", not rounded), keeping scores >= `threshold`. Entries without
  // an `id` are left out; with auto_embed, an entry without a vector is embedded from its text
  // and stored first (the file is written once per call; a failure writes "[Ambrel] Failed to
  // add vector: <reason>" and leaves the entry out). When the query cannot be embedded,
  // writes "[Ambrel] Failed to embed query: <reason>" and answers []. An entry to embed whose
  // text is not a string is left out the same way. Throws TypeError for an entry that is not
  // an object or whose `id` is not a string.
  Json semantic_search(const std::string& agent_id, const std::string& query, const Json& memories,
                       std::int64_t top_k = 5, double threshold = 0.0);

  // Ranks the entries by keyword overlap with `query` (member "keyword_score", rounded to 3
  // places): the query's words of more than 2 characters that are not STOPWORDS (all of more
  // than 2 characters when none remain), matched as substrings of the lower-cased text,
  // keywords, topic and persons, with a bonus for the whole phrase. Only entries whose text
  // holds a query word and whose score exceeds 0.3 are ranked. Reads no file and no vector.
  // Throws ValueError for a query over kMaxKeywordQueryBytes, TypeError for an entry that
  // is not an object or whose text, `keywords`, `persons` (arrays of strings), `topic`
  // (string) or `importance` (number) has the wrong type.
  static Json keyword_search(const std::string& query, const Json& memories,
                             std::int64_t top_k = 5);

  // Runs both searches for min(3 * top_k, number of entries) candidates, scales each list so
  // its best score is 1, merges them by `id` (entries without one are left out) and ranks by
  // semantic_weight * semantic + keyword_weight * keyword (member "hybrid_score", rounded to
  // 3 places; "semantic_score" and "keyword_score" hold the scaled parts), keeping sums >=
  // `threshold`. Throws what the two searches throw.
  Json hybrid_search(const std::string& agent_id, const std::string& query, const Json& memories,
                     std::int64_t top_k = 5, double semantic_weight = 0.6,
                     double keyword_weight = 0.4, double threshold = 0.0);

  // --- Configuration, fixed by the constructor ---

  const std::string root_path;
  // Whether semantic_search embeds and stores entries that have no vector.
  const bool auto_embed;
  // The client of every embedding and similarity; shared with the rest of the process.
  const std::shared_ptr<RemoteEmbeddingClient> embedding_client;

 private:
  // The agent's vectors for reading: the cached map, else the file read into the cache;
  // nullptr when there are none.
  std::shared_ptr<const VectorMap> vectors_for_reading(const std::string& agent_id);

  // Serialises the load, change and save sequences of one agent's vectors file: among the
  // threads of this process by a mutex, among processes by an advisory lock on the agent's
  // folder (when it exists; writers make it first).
  //
  // The mutex is the file's own, looked up by path at run time, which the thread-safety
  // analysis cannot name: the functions below that say "for a caller holding file_lock" are
  // unannotated, and every caller takes a FileGuard first.
  class FileGuard {
   public:
    FileGuard(Mutex& thread_lock, const std::string& agent_directory);
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;

   private:
    MutexLock thread_lock_;
    DirectoryLock directory_lock_;
  };
  // The mutex of the vectors file at `vectors_path`, made on first use and kept for the
  // store's lifetime.
  Mutex& file_lock(const std::string& vectors_path) EXCLUDES(file_locks_mutex_);

  // The cached vectors of the agent unless another process has saved the file since they
  // were read or written (nullptr then, and when nothing is cached).
  std::shared_ptr<const VectorMap> fresh_cached(const std::string& agent_id) const
      EXCLUDES(cache_mutex_);

  // _load_vectors for a caller holding file_lock; `report` writes the failure line. When the
  // file cannot be read, the vectors cached before answer (none when nothing was cached).
  // With `for_writing`, throws OSError instead when the file cannot be read at all or a
  // damaged one cannot be set aside: a save must never replace it.
  VectorMap load_locked(const std::string& agent_id, bool report, bool for_writing);

  // After a failed read of the agent's file: reports it (with `report`) and sets a file that
  // could not be parsed aside as vectors.json.damaged-<time>, saying so. Throws as
  // load_locked describes for `for_writing`.
  void read_failed(const std::string& agent_id, const std::exception& failure, bool report,
                   bool for_writing);

  // _save_vectors for a caller holding file_lock. Throws OSError when the file cannot be
  // written; the old file and cache then stay.
  void save_locked(const std::string& agent_id, VectorMap vectors);

  // Keeps the agent's embedder record with its vectors file, for a caller holding file_lock
  // that has just written `vectors`: the first vectors record the client's identity, an empty
  // file drops the record. A failure is reported on standard error.
  void record_embedder(const std::string& agent_id, const VectorMap& vectors);

  // {"recorded", "current"} when the agent's record names another client than ours, else
  // null. Writes one warning line per agent and store the first time it finds a mismatch.
  Json embedder_mismatch(const std::string& agent_id) EXCLUDES(warned_mutex_);

  // The ranking of semantic_search and keyword_search: positions in `memories` with their
  // scores, cut to what `top_k` keeps.
  std::vector<RankedEntry> rank_semantic(const std::string& agent_id, const std::string& query,
                                         const Json::array_t& memories, std::int64_t top_k,
                                         double threshold);
  static std::vector<RankedEntry> rank_keyword(const std::string& query,
                                               const Json::array_t& memories, std::int64_t top_k);

  // Embeds each (entry id, text) as add_vector would, in order, reporting each failure as it
  // does, and stores every vector made with one write of the file. Answers the embeddings,
  // nullopt for an entry left out.
  std::vector<std::optional<PythonVector>> add_vectors_once(
      const std::string& agent_id,
      const std::vector<std::pair<const std::string*, std::string_view>>& entries);

  // Caches `vectors` for the agent, read from or written to the file that `stamp` describes;
  // nullptr forgets the agent.
  void cache(const std::string& agent_id, std::shared_ptr<const VectorMap> vectors,
             const std::string& stamp = {}) EXCLUDES(cache_mutex_);

  // Locks, in the order they are taken:
  //   1. an agent's file lock (file_lock, with the folder's advisory lock: a FileGuard) for a
  //      whole load, change and save sequence of that agent's file;
  //   2. `_lock` while the file is replaced and the cached copy swapped. It guards no member:
  //      it serialises the writes of this store. Recursive as the store's writes have always
  //      been; the analysis treats it as an ordinary mutex, and nothing here takes it twice;
  //   3. `cache_mutex_` for the cache maps, held only to look up, swap or drop a pointer.
  // `file_locks_mutex_` and `warned_mutex_` are held alone, for one lookup or insertion.
  RecursiveMutex _lock;
  mutable Mutex cache_mutex_ ACQUIRED_AFTER(_lock);
  std::unordered_map<std::string, std::shared_ptr<const VectorMap>> _vector_cache
      GUARDED_BY(cache_mutex_);
  // Per cached agent: the identity of the vectors file the cache matches (device, inode, size,
  // modification time), so that another process's save is noticed.
  std::unordered_map<std::string, std::string> cache_stamps_ GUARDED_BY(cache_mutex_);
  Mutex file_locks_mutex_;
  std::unordered_map<std::string, std::unique_ptr<Mutex>> file_locks_
      GUARDED_BY(file_locks_mutex_);
  // Agents whose embedder mismatch has been reported.
  Mutex warned_mutex_;
  std::unordered_set<std::string> embedder_warned_ GUARDED_BY(warned_mutex_);
};

}  // namespace vantory
