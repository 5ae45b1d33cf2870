// The store's reports on cached contexts, and invalidation of cached contexts together with
// their vectors.
#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "coding/tarnel.h"
#include "common/error_answer.h"

namespace vantory {

namespace {

// Every non-empty hash_id of every chunk of `contexts`, in order, duplicates kept.
Json collect_hash_ids(const Json& contexts) {
  records::expect_array(contexts, "file_contexts", false);
  Json ids = Json::array();
  for (const Json& context : contexts) {
    for (const Json& chunk : records::get_array(records::as_record(context, "a file context"), "chunks")) {
      const Json* hash_id = records::find(records::as_record(chunk, "a chunk record"), "hash_id");
      if (hash_id && records::truthy(*hash_id)) ids.push_back(*hash_id);
    }
  }
  return ids;
}

}  // namespace

Json Tarnel::get_token_savings(const std::string& agent_id) {
  return records::expect_object(store_->get_token_savings_report(agent_id),
                                "get_token_savings_report");
}

Json Tarnel::cache_stats(const std::string& agent_id) {
  return records::expect_object(store_->get_detailed_cache_stats(agent_id),
                                "get_detailed_cache_stats");
}

Json Tarnel::usage_report(const std::string& agent_id) {
  return records::expect_object(store_->get_usage_report(agent_id), "get_usage_report");
}

Json Tarnel::invalidate_cache(const std::string& agent_id,
                              const std::optional<std::string>& file_path,
                              const std::string& scope) {
  if (scope == "file" && file_path && !file_path->empty()) {
    Json result = store_->invalidate_with_vectors(agent_id, *file_path);
    bool removed = records::truthy(records::require(records::as_record(result, "invalidate_with_vectors"),
                                                    "removed"));
    static const Json none = Json::array();
    const Json& hash_ids = removed ? records::require(result, "hash_ids")
                                   : records::get_or(result, "hash_ids", none);
    if (removed && records::truthy(hash_ids)) ambrel_->delete_vectors(agent_id, hash_ids);
    return Json{{"status", removed ? "invalidated" : "not_found"},
                {"scope", "file"},
                {"file_path", *file_path},
                {"vectors_cleaned", records::length_of(hash_ids)}};
  }

  if (scope == "stale") {
    Json result = store_->invalidate_stale(agent_id);
    const Json& hash_ids = records::require(records::as_record(result, "invalidate_stale"), "hash_ids");
    if (records::truthy(hash_ids)) ambrel_->delete_vectors(agent_id, hash_ids);
    return Json{{"status", "invalidated"},
                {"scope", "stale"},
                {"invalidated", records::require(result, "invalidated")},
                {"files", records::require(result, "files")},
                {"vectors_cleaned", records::length_of(hash_ids)}};
  }

  if (scope == "all") {
    std::shared_ptr<const Json> snapshot = store_->_load_agent_data(agent_id, "file_contexts");
    const Json& contexts = records::loaded(snapshot);
    Json hash_ids = collect_hash_ids(contexts);
    // Vectors go before their contexts: a failure in between must never leave vectors that
    // no context refers to.
    if (!hash_ids.empty()) ambrel_->delete_vectors(agent_id, hash_ids);
    std::int64_t invalidated = records::length_of(contexts);
    store_->_save_agent_data(agent_id, "file_contexts", Json::array());
    // The global index serves every agent; only this agent's entries go.
    store_->drop_global_index_entries(agent_id);
    store_->_save_global_index();
    return Json{{"status", "invalidated"},
                {"scope", "all"},
                {"invalidated", invalidated},
                {"vectors_cleaned", records::length_of(hash_ids)}};
  }

  if (scope == "file") return error_answer("Scope 'file' requires a file_path.");
  return error_answer("Invalid scope '" + scope + "'. Use 'file', 'stale', or 'all'.");
}

}  // namespace vantory
