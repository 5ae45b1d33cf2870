// Codebase search: the retriever's hybrid search, timed, optionally enriched with a call chain
// of the hits and a grouping of the hits by semantic purpose.
#include <array>
#include <string_view>

#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "coding/internal/timing.h"
#include "coding/tarnel.h"
#include "common/error.h"
#include "common/message_text.h"
#include "common/paths.h"
#include "common/unicode.h"

namespace vantory {

namespace {

struct Purpose {
  const char* bucket;
  std::array<std::string_view, 9> keywords;  // unused slots stay empty
};

// Earlier groups win: a hit that both stores and encodes is a storage operation.
constexpr Purpose kPurposeMap[] = {
    {"storage_operations",
     {"storage", "store", "save", "db", "database", "insert", "update", "delete", "filesystem"}},
    {"search_operations", {"search", "find", "query", "lookup", "retrieval", "retriever"}},
    {"encoding_operations", {"encoding", "encode", "embed", "vector", "token", "hash"}},
    {"llm_interactions", {"llm", "chat", "model", "prompt", "completion", "generate"}},
};
constexpr const char* kOtherBucket = "other";

const Json& chunk_of(const Json& result) {
  static const Json empty = Json::object();
  return records::as_record(records::get_or(records::as_record(result, "a search result"), "chunk", empty),
                     "a search result's chunk");
}

Json call_chain(const Json& results) {
  static const Json no_value;
  Json chain = Json::array();
  for (const Json& result : records::get_array(results, "results")) {
    const Json& chunk = chunk_of(result);
    chain.push_back(std::string(base_name(records::get_string(chunk, "file_path", ""))) + ":" +
                    value_text(records::get_or(chunk, "name", "unknown")) + " [line " +
                    value_text(records::get_or(chunk, "start_line", 0)) + "]");
    for (const Json& call : records::get_array(chunk, "calls")) {
      records::as_record(call, "a call record");
      chain.push_back("  \u2192 " + value_text(records::get_or(call, "target", no_value)) +
                      " [line " + value_text(records::get_or(call, "line", no_value)) + "]");
    }
  }
  return chain;
}

const char* purpose_bucket(const Json& chunk) {
  std::string text = to_lower(records::get_string(chunk, "content", "") + " " +
                              records::get_string(chunk, "summary", ""));
  for (const Purpose& purpose : kPurposeMap) {
    for (std::string_view keyword : purpose.keywords) {
      if (!keyword.empty() && text.find(keyword) != std::string::npos) return purpose.bucket;
    }
  }
  return kOtherBucket;
}

Json group_by_purpose(const Json& results) {
  Json grouped = Json::object();
  for (const Purpose& purpose : kPurposeMap) grouped[purpose.bucket] = Json::array();
  grouped[kOtherBucket] = Json::array();
  for (const Json& result : records::get_array(results, "results")) {
    grouped[purpose_bucket(chunk_of(result))].push_back(result);
  }
  return grouped;
}

}  // namespace

Json Tarnel::search_codebase(const std::string& agent_id, const std::string& query,
                             std::int64_t top_k, const Json& file_paths, bool trace_calls,
                             const std::optional<std::string>& group_by) {
  records::expect_array(file_paths, "file_paths", true);
  Json results = timed_call("search", [&] {
    return retriever_->search(agent_id, query, top_k, file_paths);
  });
  bool grouping = group_by && *group_by == "semantic_purpose";
  if (!trace_calls && !grouping) return records::expect_object(std::move(results), "search");

  records::as_record(results, "the search answer");
  if (trace_calls) results["call_chain"] = call_chain(results);
  if (grouping) results["grouped_results"] = group_by_purpose(results);
  return results;
}

Json Tarnel::get_mem(const std::string& agent_id, const std::string& query, std::int64_t top_k,
                     const Json& file_paths) {
  return search_codebase(agent_id, query, top_k, file_paths);
}

}  // namespace vantory
