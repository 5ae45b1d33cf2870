#include "apps/host/directory_indexer.h"

#include <chrono>
#include <exception>
#include <unordered_map>

#include "apps/host/exception_kind.h"
#include "apps/host/source_tree.h"
#include "common/error.h"
#include "common/error_answer.h"
#include "common/rounding.h"

namespace vantory::host {

namespace {

// The freshness ("fresh", "stale", ...) of every file the agent has indexed, by path.
std::unordered_map<std::string, std::string> indexed_freshness(Tarnel& tarnel,
                                                               const std::string& agent_id) {
  std::unordered_map<std::string, std::string> freshness;
  Json stats = tarnel.cache_stats(agent_id);
  auto files = stats.is_object() ? stats.find("files") : stats.end();
  if (files == stats.end() || !files->is_array()) return freshness;
  for (const Json& file : *files) {
    if (!file.is_object()) continue;
    auto path = file.find("file_path");
    auto state = file.find("freshness");
    if (path == file.end() || !path->is_string()) continue;
    freshness[path->get<std::string>()] =
        state != file.end() && state->is_string() ? state->get<std::string>() : "";
  }
  return freshness;
}

// The reason an answer of index_file or delta_update reports a failure, or "".
std::string failure_of(const Json& answer) { return error_answer_message(answer).value_or(""); }

}  // namespace

Json index_directory(Tarnel& tarnel, const std::string& agent_id, const std::string& directory,
                     const SourceFilter& filter, const ProgressFn& progress) {
  auto start = std::chrono::steady_clock::now();
  SourceTree tree;
  try {
    tree = collect_source_files(directory, filter);
  } catch (const OSError& e) {
    return error_answer(e.what());
  }
  std::unordered_map<std::string, std::string> known = indexed_freshness(tarnel, agent_id);
  const auto total = static_cast<std::int64_t>(tree.files.size());
  if (progress) progress(0, total, std::to_string(total) + " files to index");

  std::int64_t indexed = 0, updated = 0, unchanged = 0, done = 0;
  Json failures = Json::array();
  for (const std::string& path : tree.files) {
    auto it = known.find(path);
    std::string failure;
    try {
      if (it != known.end() && it->second == "fresh") {
        ++unchanged;
      } else if (it != known.end()) {
        failure = failure_of(tarnel.delta_update(agent_id, path));
        if (failure.empty()) ++updated;
      } else {
        failure = failure_of(tarnel.index_file(agent_id, path));
        if (failure.empty()) ++indexed;
      }
    } catch (const std::exception& e) {
      failure = exception_text(e);
    }
    if (!failure.empty()) failures.push_back({{"file_path", path}, {"reason", failure}});
    if (progress) progress(++done, total, path);
  }

  std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  return {{"status", "ok"},
          {"directory", directory},
          {"files", total},
          {"indexed", indexed},
          {"updated", updated},
          {"unchanged", unchanged},
          {"skipped", tree.skipped_files},
          {"skipped_folders", tree.skipped_folders},
          {"skipped_reasons", tree.skipped_reasons},
          {"failed", failures.size()},
          {"failures", std::move(failures)},
          {"time_ms", round_places(elapsed.count(), 1)}};
}

Json preview_directory(const std::string& directory, const SourceFilter& filter) {
  SourceTree tree;
  try {
    tree = collect_source_files(directory, filter);
  } catch (const OSError& e) {
    return error_answer(e.what());
  }
  return {{"status", "ok"},
          {"directory", directory},
          {"dry_run", true},
          {"files", tree.files.size()},
          {"total_bytes", tree.total_bytes},
          {"paths", tree.files},
          {"skipped", tree.skipped_files},
          {"skipped_folders", tree.skipped_folders},
          {"skipped_reasons", tree.skipped_reasons}};
}

}  // namespace vantory::host
