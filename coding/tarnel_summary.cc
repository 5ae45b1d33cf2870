// Context summaries: what the memory holds about one file, at three levels of detail, after
// re-indexing the file when its stored context is missing or stale.
#include <utility>
#include <vector>

#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "coding/tarnel.h"
#include "common/error_answer.h"
#include "common/files.h"
#include "common/message_text.h"
#include "common/paths.h"

namespace vantory {

namespace {

constexpr std::size_t kMaxKeyNames = 8;

// "app.py (python): 4 chunks — 2 functions, 1 classs, 1 blocks. Key: run, main, App".
std::string brief_line(const Json& chunks, std::string_view file_name, const Json& language) {
  std::vector<std::pair<Json, std::int64_t>> type_counts;  // in order of first occurrence
  std::vector<std::string> key_names;
  for (const Json& chunk : chunks) {
    records::as_record(chunk, "a chunk record");
    Json type = records::get_or(chunk, "type", "block");
    auto counted = type_counts.begin();
    while (counted != type_counts.end() && counted->first != type) ++counted;
    if (counted == type_counts.end()) {
      type_counts.emplace_back(type, 1);
    } else {
      ++counted->second;
    }
    const Json* name = records::find(chunk, "name");
    if ((type == "class" || type == "function") && name && records::truthy(*name)) {
      key_names.push_back(value_text(*name));
    }
  }

  std::string line = std::string(file_name) + " (" + value_text(language) +
                     "): " + std::to_string(chunks.size()) + " chunks \u2014 ";
  for (std::size_t i = 0; i < type_counts.size(); ++i) {
    if (i > 0) line += ", ";
    line += std::to_string(type_counts[i].second) + " " + value_text(type_counts[i].first) + "s";
  }
  line += ". Key: ";
  for (std::size_t i = 0; i < key_names.size() && i < kMaxKeyNames; ++i) {
    if (i > 0) line += ", ";
    line += key_names[i];
  }
  return line;
}

Json detailed_chunks(const Json& chunks) {
  Json out = Json::array();
  for (const Json& chunk : chunks) {
    records::as_record(chunk, "a chunk record");
    out.push_back(Json{{"name", records::get_or(chunk, "name", "")},
                       {"type", records::get_or(chunk, "type", "")},
                       {"content", records::get_or(chunk, "content", "")},
                       {"summary", records::get_or(chunk, "summary", "")},
                       {"keywords", records::get_or(chunk, "keywords", Json::array())}});
  }
  return out;
}

}  // namespace

Json Tarnel::summarize_context(const std::string& agent_id, const std::string& file_path,
                               const std::string& verbosity) {
  const std::string normalized = normalize_path(file_path);

  Json cached = store_->retrieve_file_context(agent_id, normalized);
  records::as_record(cached, "retrieve_file_context");
  if (cached.value("status", Json()) == "cache_miss" ||
      cached.value("freshness", Json()) == "stale") {
    // A file deleted from disk keeps whatever the store still holds about it.
    if (path_exists(normalized)) {
      index_file(agent_id, normalized);
      cached = store_->retrieve_file_context(agent_id, normalized);
      records::as_record(cached, "retrieve_file_context");
    }
  }
  if (cached.value("status", Json()) != "cache_hit") {
    return error_answer("Could not retrieve context: " + normalized);
  }

  std::shared_ptr<const Json> snapshot = store_->_load_agent_data(agent_id, "file_contexts");
  const Json& contexts = records::loaded(snapshot);
  records::expect_array(contexts, "file_contexts", false);
  const Json* found = nullptr;
  for (const Json& context : contexts) {
    if (normalize_path(records::get_string(records::as_record(context, "a file context"), "file_path",
                                           "")) == normalized) {
      found = &context;
      break;
    }
  }
  if (!found) return error_answer("Context not found in store: " + normalized);

  const Json& chunks = records::get_array(*found, "chunks");
  const std::string_view file_name = base_name(normalized);
  const Json language = records::get_or(*found, "language", "unknown");

  if (verbosity == "brief") {
    return Json{{"status", "ok"},
                {"verbosity", "brief"},
                {"file", file_name},
                {"language", language},
                {"summary", brief_line(chunks, file_name, language)}};
  }
  if (verbosity == "detailed") {
    Json detailed = detailed_chunks(chunks);
    std::int64_t total = records::length_of(detailed);
    return Json{{"status", "ok"},
                {"verbosity", "detailed"},
                {"file", file_name},
                {"language", language},
                {"chunks", std::move(detailed)},
                {"total_chunks", total}};
  }
  return Json{{"status", "ok"},
              {"verbosity", "normal"},
              {"file", file_name},
              {"language", language},
              {"code_flow", records::get_or(cached, "code_flow", Json::object())},
              {"freshness", records::get_or(cached, "freshness", "unknown")}};
}

}  // namespace vantory
