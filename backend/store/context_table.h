// ContextTable: an agent's file contexts in the database, with their chunk records, import
// records and keyword-index rows, kept consistent with one another.
//
// A context record crosses the store's interface as one JSON object:
//   {"file_path", "language", "chunks": [...], "imports": [{"module": ...}, ...],
//    "external_imports": [...], "file_size", "file_mtime", "file_hash", "indexed_at", ...}
// Stored, it is split: chunk records one per row (their content in a column the keyword index
// reads), import records one per row (with the module's stem, for importer queries), and the
// rest of the object as JSON. `external_imports` is not stored: it is worked out when the
// contexts are read, from the files the agent has indexed by then, so indexing order does not
// matter.
//
// Writers must hold a Transaction; each write bumps the agent's generation, and a context
// written takes the agent's new generation as its revision.
// Thread safety: as the Database passed in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "backend/store/chunk_body.h"
#include "backend/store/file_facts.h"
#include "backend/text/search_text.h"
#include "common/json.h"

namespace vantory::backend {

class Database;

// One stored context without its chunks.
struct ContextRow {
  std::int64_t id = 0;
  std::string file_path;
  std::string language;
  std::string context_hash;
  std::int64_t chunk_count = 0;
  FileFacts facts;
  double indexed_at = 0;
  std::int64_t access_count = 0;
  std::optional<double> last_access;
  std::int64_t tokens_served = 0;
  std::int64_t tokens_baseline = 0;
  std::optional<std::string> chunk_key;  // see ChunkCache
  bool vectors_complete = false;         // see ContextWrite
  std::int64_t revision = 0;             // changes whenever the context is written
};

struct PackedContext;

// A context to store, given in pieces so that the chunk records need not be copied.
struct ContextWrite {
  std::string file_path;  // normalised
  std::string language;
  const Json& chunks;  // array of chunk records (objects)
  // Per chunk: a hash_id to store in place of a missing or empty one, or "" to keep the
  // chunk's own. Empty: every chunk keeps its own.
  std::vector<std::string> hash_ids;
  const Json& imports;  // array of import records
  FileFacts facts;
  double indexed_at = 0;
  // The context's other members, stored as given: every member of the record the store
  // hands out except chunks, imports and external_imports, which are null here.
  Json record;
  // The chunk key of the chunk records, when they are what the chunker made of a text.
  std::optional<std::string> chunk_key;
  // True when the agent holds a vector for every hash id of the chunks. It stays true while
  // the context is stored: a vector that a stored chunk refers to is never deleted, only
  // replaced by one of another embedder (see hashes_with_vectors).
  bool vectors_complete = false;
  // What ContextTable::pack answers for this context, when it was worked out ahead (by
  // another thread, before the write transaction); null: put works it out.
  const PackedContext* packed = nullptr;
};

// The texts a context is stored as: per chunk, its packed body (chunk_body.h) and the texts
// the keyword index is given; per import record, its JSON text; and the context hash over all
// of them.
struct PackedContext {
  // False while `bodies` holds the record texts: the bodies are packed when stored, unless
  // the context is stored as a copy of another (schema.h), which needs none.
  bool bodies_packed = false;
  std::vector<std::string> bodies;
  std::vector<ChunkSearchText> search_texts;
  std::vector<std::string> imports;
  std::string context_hash;
  // Per chunk, while `bodies` holds the record texts: where a text writes the keywords and
  // the hash id when its body may leave them out (chunk_body.h), else empty ranges.
  struct Movable {
    std::size_t keywords_begin = 0, keywords_end = 0;
    std::size_t hash_begin = 0, hash_end = 0;
  };
  std::vector<Movable> movable;
  // Once the bodies are packed: the words of the file's chunks (word_filter.h), stored form;
  // empty when they have none.
  std::string words;
  std::int64_t word_count = 0;
};

class ContextTable {
 public:
  explicit ContextTable(Database& db) : db_(db) {}

  // --- Reading ---

  // An agent's contexts as full records, with the stored row each was read from.
  struct Loaded {
    Json contexts = Json::array();
    std::vector<std::int64_t> ids;        // per context: its row
    std::vector<std::int64_t> revisions;  // per context: the row's revision when read
    std::vector<std::optional<std::string>> chunk_keys;  // per context
  };

  // The agent's contexts as full records, in indexing order. Contexts of `earlier` (a load of
  // the same agent that the caller gives up) whose rows have not been written since are
  // moved from it instead of being read again.
  Loaded load(const std::string& agent_id, Loaded* earlier = nullptr);
  // The context stored under `file_path` (normalised), without chunks.
  std::optional<ContextRow> find(const std::string& agent_id, const std::string& file_path);
  // All of the agent's contexts without chunks, in indexing order.
  std::vector<ContextRow> rows(const std::string& agent_id);
  // True when one of the agent's contexts has the chunk key `chunk_key` and a vector stored
  // for each of its chunks.
  bool key_has_all_vectors(const std::string& agent_id, const std::string& chunk_key);
  // The chunk records and the import records of one context, in order. Given `file_path`,
  // the chunk records name it, as if cut for that file (ChunkCache).
  Json chunk_records(std::int64_t context_id, const std::string* file_path = nullptr);
  Json import_records(std::int64_t context_id);

  // --- Writing (inside a Transaction) ---

  // The texts `context` is stored as, without the database, the bodies compressed with
  // `dictionary` (the current one of the database's text dictionaries, or null):
  // thread-safe. Throws as put does for records that cannot be stored and read back. Without
  // `bodies` (for a copy of a stored file), the bodies are left for put to pack if it must.
  static PackedContext pack(const ContextWrite& context, const TextDictionary* dictionary,
                            bool bodies = true);

  // Stores `context` (a record as above whose file_path is normalised), replacing the context
  // of the same path, which keeps its place in indexing order and its access counters. A
  // context whose chunks, imports, language and file facts equal the stored ones is left as
  // it is (nothing is written but a chunk key or complete vectors the stored one lacked); one
  // whose file facts alone differ has only its row rewritten.
  // Answers the distinct hash ids of the chunks that the replaced context held (empty for a
  // new file). Throws
  // TypeError for a record of the wrong shape, ValueError for chunk records nested too deeply
  // to be read back.
  std::vector<std::string> put(const std::string& agent_id, const Json& context);
  std::vector<std::string> put(const std::string& agent_id, const ContextWrite& context);

  // Removes the context of `file_path` (normalised): the distinct hash ids of its chunks, or
  // nothing when there was no such context. Vectors left unreferenced are dropped.
  std::optional<std::vector<std::string>> remove(const std::string& agent_id,
                                                 const std::string& file_path);

  // Removes every context of the agent. Its vectors stay for the caller to collect
  // (drop_all_unreferenced_vectors) once it has stored what replaces them.
  void clear(const std::string& agent_id);

  // --- The keyword index's writes, held back over a batch ---

  // From now on the keyword index's inserts and deletes are queued, in order, instead of
  // run. The index flushes what it was given at every savepoint, each flush a segment that
  // later merges rewrite: held, a batch's writes make one segment. Until
  // apply_keyword_writes, the keyword index does not show the queued changes.
  void hold_keyword_writes();
  // The bytes of text the queued writes hold.
  std::size_t held_keyword_bytes() const { return held_bytes_; }
  // Runs the queued writes in order, all or none, inside the caller's transaction, and stops
  // queueing. Throws RuntimeError when the database fails: then none of them ran, and they
  // stay queued.
  void apply_keyword_writes();
  // Forgets the queued writes and stops queueing (the batch was rolled back).
  void discard_keyword_writes() noexcept;

  // Creates the agent's row if missing.
  void ensure_agent(const std::string& agent_id);
  // Marks the agent's data as changed for readers that cache it.
  void bump_generation(const std::string& agent_id);
  // The agent's current generation (0 for an unknown agent).
  std::int64_t generation(const std::string& agent_id);

 private:
  // The steps of put.
  static const std::string& filled_hash(const ContextWrite& context, std::size_t i);
  // The context hash and the import texts; `bodies` then holds the chunks' record texts,
  // which pack_bodies turns into their packed bodies beside their keyword texts.
  static PackedContext hash_context(const ContextWrite& context);
  static void pack_bodies(const ContextWrite& context, PackedContext& packed,
                          const TextDictionary* dictionary);
  // Notes what an unchanged context may still learn: that its records are the
  // chunker's own, or that all of its vectors are stored now.
  void note_unchanged(const ContextRow& existing, const ContextWrite& context);
  // With `words` (packed bodies), the row takes its words; without, an existing row keeps
  // its own and a new one has none.
  std::int64_t write_context_row(const std::string& agent_id,
                                 const std::optional<ContextRow>& existing,
                                 const ContextWrite& context, const std::string& context_hash,
                                 const PackedContext* words = nullptr);
  // A copy holds no words of its own: it reads those of the file whose chunk bodies it reads
  // (`shared_chunk` is one of them), and keeps only their count.
  void read_words_of_original(std::int64_t context_id, std::int64_t shared_chunk);
  // The chunks whose bodies the chunks of `context` (stored as `context_id`) can read, in
  // order: those of another context of the agent with the same chunk key and the same hash
  // ids (the original's own, when that context is a copy too). Empty when there is none.
  std::vector<std::int64_t> bodies_to_share(const std::string& agent_id,
                                            std::int64_t context_id,
                                            const ContextWrite& context);
  // Answers the distinct hash ids of the chunks.
  // With `shared` (from bodies_to_share), the chunks read those bodies.
  std::unordered_set<std::string> insert_chunks(const std::string& agent_id,
                                                std::int64_t context_id,
                                                const ContextWrite& context,
                                                const PackedContext& packed,
                                                const std::vector<std::int64_t>& shared);
  void insert_imports(const std::string& agent_id, std::int64_t context_id,
                      const ContextWrite& context, const PackedContext& packed);
  void write_global_entry(const std::string& agent_id, const ContextWrite& context,
                          const std::string& context_hash);

  // Removes from the keyword index the chunks that `select_sql` (id, body, body_of)
  // selects with `id`, or with `agent_id` when it is not empty. Without `agent_id` (one
  // context's chunks), the copies that read a chunk's body are given it first.
  void forget_chunks(const char* select_sql, std::int64_t id, const std::string& agent_id);
  // The body of chunk `chunk_id` (about to be deleted) moves to the first of the copies'
  // chunks that read it, put in that chunk's file, with its keyword index row; the other
  // copies read it there.
  void hand_body_to_copy(std::int64_t chunk_id, ChunkBody body);
  void delete_children(std::int64_t context_id);
  // The context record of row `id` with its chunks and imports; external_imports left null.
  Json read_context(std::int64_t id);
  std::vector<std::string> chunk_hashes(std::int64_t context_id);

  // Inserts `text` into the keyword index as chunk `rowid`, or deletes it, now or queued.
  void keyword_write(bool remove, std::int64_t rowid, const ChunkSearchText& text);

  struct KeywordWrite {
    bool remove = false;
    std::int64_t rowid = 0;
    ChunkSearchText text;
  };

  Database& db_;
  bool holding_ = false;
  std::vector<KeywordWrite> held_;
  std::size_t held_bytes_ = 0;
};

// The last dotted component of a module name, leading dots (relative imports) removed:
// "pkg.sub.util" -> "util", "..models" -> "models".
std::string module_stem(const std::string& module);

// The stems a module name may resolve to among the agent's files: a file's stem, and for a
// package's index file (__init__, index, mod) the name of its directory.
std::vector<std::string> resolvable_stems(const std::string& file_path);

}  // namespace vantory::backend
