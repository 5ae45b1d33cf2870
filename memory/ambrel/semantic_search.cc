// Ranking memory entries by the cosine similarity of their stored vectors to a query.
#include <algorithm>

#include "common/files.h"
#include "memory/ambrel/internal/ambrel_log.h"
#include "memory/ambrel/internal/memory_entry.h"
#include "memory/ambrel/internal/no_embedding.h"
#include "memory/ambrel/internal/similarity.h"
#include "memory/ambrel/local_ambrel.h"

namespace vantory {

std::vector<std::optional<PythonVector>> LocalAmbrel::add_vectors_once(
    const std::string& agent_id,
    const std::vector<std::pair<const std::string*, std::string_view>>& entries) {
  std::vector<std::optional<PythonVector>> embedded(entries.size());
  // The directory is made at the first vector to store, as the first add would make it; when
  // that fails, every entry embedded is reported with its reason, as each add would be.
  std::optional<std::string> directory_failure;
  bool directory_made = false;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PythonVector embedding;
    try {
      embedding = embedding_client->embed(std::string(entries[i].second));
      if (!RemoteEmbeddingClient::usable_embedding(embedding)) throw NoEmbedding();
    } catch (const std::exception& e) {
      log_ambrel_line(std::string("Failed to add vector: ") + e.what());
      continue;
    }
    if (!directory_made && !directory_failure) {
      try {
        make_directories(_get_agent_path(agent_id));
        directory_made = true;
      } catch (const std::exception& e) {
        directory_failure = e.what();
      }
    }
    if (directory_failure) {
      log_ambrel_line("Failed to add vector: " + *directory_failure);
      continue;
    }
    embedded[i] = std::move(embedding);
  }
  if (!directory_made) return embedded;
  try {
    FileGuard guard(file_lock(_get_vectors_path(agent_id)), _get_agent_path(agent_id));
    VectorMap vectors = load_locked(agent_id, true, true);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (embedded[i]) vectors.insert_or_assign(*entries[i].first, StoredVector(*embedded[i]));
    }
    save_locked(agent_id, std::move(vectors));
  } catch (const std::exception& e) {
    // The directory went away after it was made, or the file could not be read or written:
    // no entry was stored.
    for (std::optional<PythonVector>& embedding : embedded) {
      if (!embedding) continue;
      log_ambrel_line(std::string("Failed to add vector: ") + e.what());
      embedding.reset();
    }
  }
  return embedded;
}

std::vector<RankedEntry> LocalAmbrel::rank_semantic(const std::string& agent_id,
                                                    const std::string& query,
                                                    const Json::array_t& memories,
                                                    std::int64_t top_k, double threshold) {
  PythonVector query_embedding;
  try {
    query_embedding = embedding_client->embed(query);
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to embed query: ") + e.what());
    return {};
  }
  std::shared_ptr<const VectorMap> stored = vectors_for_reading(agent_id);

  // Every entry is checked before anything is embedded or written.
  std::vector<const StoredVector*> vectors;
  std::vector<std::size_t> positions;
  std::vector<std::pair<const std::string*, std::string_view>> missing;
  std::vector<std::size_t> missing_positions;
  for (std::size_t i = 0; i < memories.size(); ++i) {
    const Json& mem = memories[i];
    require_object(mem, i);
    const std::string* id = entry_id(mem, i);
    if (id == nullptr) continue;
    if (const StoredVector* vector = stored ? stored->find(*id) : nullptr) {
      vectors.push_back(vector);
      positions.push_back(i);
      continue;
    }
    if (!auto_embed) continue;
    std::string_view text;
    try {
      text = entry_text(mem, i);
    } catch (const TypeError& e) {
      log_ambrel_line(std::string("Failed to add vector: ") + e.what());  // left out alone
      continue;
    }
    if (text.empty()) continue;
    missing.emplace_back(id, text);
    missing_positions.push_back(i);
  }

  std::vector<StoredVector> fresh;
  // A query the service could not embed says the service is failing: the entries without a
  // vector wait for a later search rather than each costing a failed request now.
  if (!missing.empty() && RemoteEmbeddingClient::usable_embedding(query_embedding)) {
    std::vector<std::optional<PythonVector>> embedded = add_vectors_once(agent_id, missing);
    fresh.reserve(missing.size());
    for (std::size_t k = 0; k < missing.size(); ++k) {
      if (!embedded[k] || embedded[k]->empty()) continue;
      fresh.emplace_back(std::move(*embedded[k]));
      vectors.push_back(&fresh.back());
      positions.push_back(missing_positions[k]);
    }
  }

  std::vector<double> scores(vectors.size());
  QueryScorer(query_embedding).score(vectors, scores);
  std::vector<RankedEntry> ranked;
  for (std::size_t k = 0; k < vectors.size(); ++k) {
    if (scores[k] >= threshold) ranked.push_back({scores[k], positions[k]});
  }
  keep_top(ranked, top_k);
  return ranked;
}

Json LocalAmbrel::semantic_search(const std::string& agent_id, const std::string& query,
                                  const Json& memories, std::int64_t top_k, double threshold) {
  const Json::array_t* list = memory_list(memories);
  if (list == nullptr) return Json::array();
  return ranked_records(*list, rank_semantic(agent_id, query, *list, top_k, threshold),
                        "semantic_score");
}

}  // namespace vantory
