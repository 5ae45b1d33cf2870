// ContextStore: the backend's CodingContextStore, over the code-memory database under a root
// directory (default "./.vantory_coding").
//
// Per agent it keeps the file contexts in indexing order, each with its
// normalised file_path, language, chunk records, import records and the size,
// modification time and SHA-256 of the file when it was indexed; it answers
// freshness by comparing those facts with the file on disk now. It counts
// accesses and the tokens it serves, and builds the savings, cache and usage
// reports from those counts. It is an adapter over its BackendCore, which the
// builder, the retriever and the file-system view share.
//
// Every change is one transaction, so a failure never leaves half a context behind, and
// several instances (in this process or in others) may share one root.
//
// Thread safety: none; one caller at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "backend/core/backend_core.h"
#include "backend/storage/database.h"
#include "backend/store/chunk_cache.h"
#include "backend/store/context_table.h"
#include "coding/coding_context_store.h"
#include "coding/stored_chunks.h"

namespace vantory::backend {

class ContextStore : public CodingContextStore, public StoredChunks {
 public:
  // Opens (creating on demand, with its directory) the database under `root_path` and loads
  // the global index. With `chunk_cache`, the database is one of the cache's sources while
  // the store lives. Throws OSError or RuntimeError when the database cannot be opened.
  explicit ContextStore(const std::string& root_path,
                        std::shared_ptr<ChunkCache> chunk_cache = nullptr);
  // The store over `core`'s data folder (the cache is the core's).
  explicit ContextStore(std::shared_ptr<BackendCore> core);
  ~ContextStore() override;
  ContextStore(const ContextStore&) = delete;
  ContextStore& operator=(const ContextStore&) = delete;

  // {"status": "cache_hit", "file_path", "language", "freshness": "fresh" | "stale",
  //  ["stale_reason": "modified" | "deleted" | "created",] "code_flow", "chunk_count",
  //  "access_count", "indexed_at", "context_hash"} or {"status": "cache_miss", "file_path"}.
  // `file_path` is normalised again. A hit counts an access and the tokens of the code flow
  // served; a miss is counted too.
  Json retrieve_file_context(const std::string& agent_id, const std::string& file_path) override;

  // "file_contexts": the agent's contexts in indexing order (see ContextTable). Any other
  // section: the value last saved under it, or null. The contexts of the agent asked last
  // are kept in memory until its data changes (in any process), and every caller is handed
  // that one value, since the analyses and delta_update ask for all of them on every call;
  // when the data changes, only the contexts written since are read again.
  std::shared_ptr<const Json> _load_agent_data(const std::string& agent_id,
                                               const std::string& section) override;

  // "file_contexts": replaces the agent's contexts with `value` (an array of context
  // records; TypeError otherwise), in its order; a path given twice keeps its first place and
  // its last record. Access counters of paths that stay are kept. Any other section: stored
  // as given.
  void _save_agent_data(const std::string& agent_id, const std::string& section,
                        const Json& value) override;

  // _global_index is {agent_id: {file_path: {"language", "chunk_count", "context_hash",
  // "indexed_at"}}}, loaded at construction and kept current by this instance's writes.
  // Saving writes the entries of every agent present in it and deletes those of agents
  // dropped with drop_global_index_entries; agents it does not mention are left alone, so
  // a stale copy never erases another writer's entries. TypeError when it is not an object
  // of objects.
  void _save_global_index() override;
  void drop_global_index_entries(const std::string& agent_id) override;
  Json _global_index = Json::object();

  // Deletes the context of `file_path` (normalised here) with its chunks, imports, index rows
  // and the vectors only it referred to. True when one was deleted.
  bool delete_code_mem(const std::string& agent_id, const std::string& file_path) override;

  // {"status": "ok", "files": [{"file_path", "language", "chunk_count", "file_size",
  //  "indexed_at", "access_count"}], "total", "count", "limit", "offset", "has_more"}.
  // A negative limit or offset counts as 0.
  Json list_code_mems(const std::string& agent_id, std::int64_t limit,
                      std::int64_t offset) override;

  // The three reports; their keys are documented in reports.h.
  Json get_token_savings_report(const std::string& agent_id) override;
  Json get_detailed_cache_stats(const std::string& agent_id) override;
  Json get_usage_report(const std::string& agent_id) override;

  // {"removed": bool, "hash_ids": [distinct hash ids of the removed chunks], "file_path",
  //  "chunks_removed"}.
  Json invalidate_with_vectors(const std::string& agent_id, const std::string& file_path) override;

  // Removes every stale context (file modified, deleted or created since indexing):
  // {"hash_ids": [...], "invalidated": count, "files": [paths], "checked": count}.
  Json invalidate_stale(const std::string& agent_id) override;

  // The stored import records of `file_path` (normalised here), in file order; [] when the
  // file is not indexed.
  Json get_file_imports(const std::string& agent_id, const std::string& file_path) override;

  // [{"file_path", "module"}], one per file that imports a module whose last dotted
  // component (leading dots of relative imports removed) equals `module_name`, in indexing
  // order.
  Json find_importers(const std::string& agent_id, const std::string& module_name) override;

  // The chunk records of the context stored under `file_path` exactly, read from its rows
  // alone.
  std::optional<Json> stored_chunks(const std::string& agent_id,
                                    const std::string& file_path) override;

  // Keeps _global_index current after a write of the context of `file_path`.
  void note_indexed(const std::string& agent_id, const std::string& file_path);

 private:
  void load_global_index();
  // Where each path of an agent's object in _global_index sits, so that noting a file costs
  // no comparison with every path before it (a tree of 70,000 files took seconds). Kept by
  // the hash of the path, and trusted only while the object is the one it was made for, of
  // the size and with the last path it had then: callers may change the field as they like.
  struct GlobalPositions {
    const Json::object_t* object = nullptr;
    std::size_t size = 0;
    std::string last;
    std::unordered_multimap<std::size_t, std::size_t> by_hash;
  };
  // The position of `path` in `entries`, the agent's object in _global_index; entries.size()
  // when it is not there.
  std::size_t global_position(const std::string& agent_id, const Json::object_t& entries,
                              const std::string& path);
  // Notes that the last entry of `entries` was just appended.
  void note_global_append(const std::string& agent_id, const Json::object_t& entries);
  std::unordered_map<std::string, GlobalPositions> global_positions_;

  std::shared_ptr<BackendCore> core_;
  std::string root_path_;
  std::shared_ptr<ChunkCache> chunk_cache_;
  Database& db_;
  ContextTable& table_;
  std::set<std::string> dropped_agents_;
  // The contexts of the agent asked last, with the rows they were read from. Handed out as
  // immutable; read again, when the agent's data has changed, from what changed alone,
  // reusing the rest when nobody else holds them any more.
  std::string cached_agent_;
  std::int64_t cached_generation_ = -1;
  std::shared_ptr<Json> cached_contexts_;
  ContextTable::Loaded cached_rows_;  // its `contexts` stays empty: they are above
};

}  // namespace vantory::backend
