#include "apps/host/directory_indexer.h"

#include <chrono>
#include <exception>
#include <unordered_map>
#include <vector>

#include "apps/host/exception_kind.h"
#include "apps/host/source_tree.h"
#include "common/error.h"
#include "common/error_answer.h"
#include "common/rounding.h"

namespace vantory::host {

namespace {

// What the agent's cache report says of a file it has indexed.
struct IndexedFile {
  std::string freshness;  // "fresh", "stale", ...
  // Chunks the embedder in use has not embedded: after a change of embedding model, every
  // chunk stored before it.
  bool missing_vectors = false;
};

std::unordered_map<std::string, IndexedFile> indexed_files(Tarnel& tarnel,
                                                           const std::string& agent_id) {
  std::unordered_map<std::string, IndexedFile> known;
  Json stats = tarnel.cache_stats(agent_id);
  auto files = stats.is_object() ? stats.find("files") : stats.end();
  if (files == stats.end() || !files->is_array()) return known;
  for (const Json& file : *files) {
    if (!file.is_object()) continue;
    auto path = file.find("file_path");
    auto state = file.find("freshness");
    auto missing = file.find("chunks_without_vectors");
    if (path == file.end() || !path->is_string()) continue;
    IndexedFile& entry = known[path->get<std::string>()];
    entry.freshness = state != file.end() && state->is_string() ? state->get<std::string>() : "";
    entry.missing_vectors =
        missing != file.end() && missing->is_number_integer() && missing->get<std::int64_t>() > 0;
  }
  return known;
}

}  // namespace

// The reason an answer of index_file or delta_update reports a failure, or "".
std::string indexing_failure(const Json& answer) {
  return error_answer_message(answer).value_or("");
}

Json index_directory(Tarnel& tarnel, const std::string& agent_id, const std::string& directory,
                     const SourceFilter& filter, const ProgressFn& progress) {
  auto start = std::chrono::steady_clock::now();
  SourceTree tree;
  try {
    tree = collect_source_files(directory, filter);
  } catch (const OSError& e) {
    return error_answer(e.what());
  }
  std::unordered_map<std::string, IndexedFile> known = indexed_files(tarnel, agent_id);
  const auto total = static_cast<std::int64_t>(tree.files.size());
  if (progress) progress(0, total, std::to_string(total) + " files to index");

  std::int64_t indexed = 0, updated = 0, unchanged = 0, reembedded = 0, done = 0;
  Json failures = Json::array();
  auto finish = [&](const std::string& path, const std::string& failure) {
    if (!failure.empty()) failures.push_back({{"file_path", path}, {"reason", failure}});
    if (progress) progress(++done, total, path);
  };
  // Fresh files are left alone, new ones go through the indexing pipeline (cut on every core,
  // stored in batches), stale ones are updated by their changed chunks, and fresh ones with
  // chunks the embedder in use has not embedded are indexed again, which embeds just those.
  std::vector<std::string> fresh, stale, added, reembed;
  for (const std::string& path : tree.files) {
    auto it = known.find(path);
    if (it == known.end()) {
      added.push_back(path);
    } else if (it->second.freshness != "fresh") {
      stale.push_back(path);
    } else {
      (it->second.missing_vectors ? reembed : fresh).push_back(path);
    }
  }
  for (const std::string& path : fresh) {
    ++unchanged;
    finish(path, "");
  }
  // Counts a file in `counter` when it did not fail.
  auto tally = [&finish](const std::vector<std::string>& paths, std::int64_t& counter) {
    return [&finish, &paths, &counter](std::size_t i, const Json* answer,
                                       std::exception_ptr error) {
      std::string failure = error ? exception_text(error) : indexing_failure(*answer);
      if (failure.empty()) ++counter;
      finish(paths[i], failure);
    };
  };
  tarnel.index_files(agent_id, added, tally(added, indexed));
  tarnel.index_files(agent_id, reembed, tally(reembed, reembedded));
  tarnel.delta_update_files(agent_id, stale, tally(stale, updated));

  std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  return {{"status", "ok"},
          {"directory", directory},
          {"files", total},
          {"indexed", indexed},
          {"updated", updated},
          {"unchanged", unchanged},
          {"reembedded", reembedded},
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
