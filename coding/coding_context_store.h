// CodingContextStore: the per-agent store of file contexts, import records, indexes and the
// reports built on them. Tarnel passes arguments through and relies only on the results
// documented here; everything else about the store is the implementation's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/json.h"

namespace vantory {

class CodingContextStore {
 public:
  virtual ~CodingContextStore() = default;

  // {"status": "cache_hit" | "cache_miss", "freshness": "fresh" | "stale", "code_flow": ...,
  // ...} for the context stored under `file_path` (already normalised). Counts an access.
  virtual Json retrieve_file_context(const std::string& agent_id, const std::string& file_path) = 0;

  // One section of an agent's data, as an immutable value that the caller may keep and read
  // while the store changes: a store hands out the same value to every caller until the
  // section changes, so loading it costs nothing like a copy of an agent's whole code memory.
  // For "file_contexts": the array of file contexts in stored (indexing) order. Never null.
  virtual std::shared_ptr<const Json> _load_agent_data(const std::string& agent_id,
                                                       const std::string& section) = 0;

  // Replaces one section of an agent's data with `value`.
  virtual void _save_agent_data(const std::string& agent_id, const std::string& section,
                                const Json& value) = 0;

  // The store keeps an index over every agent's files, its `_global_index`, whose content is
  // the store's own. Tarnel never reads it nor replaces it as a whole: it drops one agent's
  // entries and persists what stays.

  // Persists the global index.
  virtual void _save_global_index() = 0;

  // Removes from the global index the entries of `agent_id` and only them (in memory;
  // persisted by _save_global_index). Other agents' entries stay.
  virtual void drop_global_index_entries(const std::string& agent_id) = 0;

  // Deletes the stored context of `file_path` (as given). True when one was deleted.
  virtual bool delete_code_mem(const std::string& agent_id, const std::string& file_path) = 0;

  // A page of the agent's indexed files with totals.
  virtual Json list_code_mems(const std::string& agent_id, std::int64_t limit,
                              std::int64_t offset) = 0;

  // The token-savings report, the detailed cache statistics and the usage report.
  virtual Json get_token_savings_report(const std::string& agent_id) = 0;
  virtual Json get_detailed_cache_stats(const std::string& agent_id) = 0;
  virtual Json get_usage_report(const std::string& agent_id) = 0;

  // Removes the context of `file_path`: {"removed": bool, "hash_ids": [vector ids of the
  // removed context's chunks], ...}. `hash_ids` is required when `removed` is true.
  virtual Json invalidate_with_vectors(const std::string& agent_id, const std::string& file_path) = 0;

  // Removes every stale context: {"hash_ids": [...], "invalidated": ..., "files": ...}, all
  // three required.
  virtual Json invalidate_stale(const std::string& agent_id) = 0;

  // The import records ({"module": dotted name}) of the stored file `file_path`: a JSON array.
  virtual Json get_file_imports(const std::string& agent_id, const std::string& file_path) = 0;

  // The importer records ({"file_path": ...}) of files that import the module `module_name`
  // (a file stem): a JSON array.
  virtual Json find_importers(const std::string& agent_id, const std::string& module_name) = 0;
};

}  // namespace vantory
