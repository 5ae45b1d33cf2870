// Adding, reading, removing and counting the stored vectors of memory entries.
#include <unordered_set>

#include "common/error.h"
#include "common/files.h"
#include "common/message_text.h"
#include "memory/ambrel/internal/ambrel_log.h"
#include "memory/ambrel/internal/embedder_record.h"
#include "memory/ambrel/internal/memory_entry.h"
#include "memory/ambrel/internal/no_embedding.h"
#include "memory/ambrel/local_ambrel.h"

namespace vantory {

std::optional<std::vector<double>> LocalAmbrel::add_vector(const std::string& agent_id,
                                                           const std::string& entry_id,
                                                           const std::string& text) {
  try {
    PythonVector embedding = embedding_client->embed(text);
    if (!RemoteEmbeddingClient::usable_embedding(embedding)) throw NoEmbedding();
    std::vector<double> embedding_list = _to_list(embedding);
    make_directories(_get_agent_path(agent_id));
    FileGuard guard(file_lock(_get_vectors_path(agent_id)), _get_agent_path(agent_id));
    VectorMap vectors = load_locked(agent_id, true, true);
    vectors.insert_or_assign(entry_id, StoredVector(std::move(embedding)));
    save_locked(agent_id, std::move(vectors));
    return embedding_list;
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to add vector: ") + e.what());
    return std::nullopt;
  }
}

std::int64_t LocalAmbrel::add_vectors_batch(const std::string& agent_id, const Json& entries) {
  if (!entries.is_array()) {
    throw TypeError(std::string("entries must be an array of memory entries, not ") +
                    type_name(entries));
  }
  // Embedding happens without the file's lock (requests are slow); the ids are checked
  // again under it, so a vector another thread stored meanwhile is never replaced.
  std::shared_ptr<const VectorMap> stored = vectors_for_reading(agent_id);
  std::vector<std::pair<const std::string*, PythonVector>> embedded;
  std::unordered_set<std::string_view> embedded_ids;
  const Json::array_t& list = entries.get_ref<const Json::array_t&>();
  for (std::size_t i = 0; i < list.size(); ++i) {
    require_object(list[i], i);
    const std::string* id = entry_id(list[i], i);
    if (id == nullptr || (stored && stored->contains(*id)) || embedded_ids.count(*id)) continue;
    std::string_view text;
    try {
      text = entry_text(list[i], i);
    } catch (const TypeError& e) {
      log_ambrel_line("Failed to embed " + *id + ": " + e.what());  // this entry alone fails
      continue;
    }
    if (text.empty()) continue;
    try {
      PythonVector embedding = embedding_client->embed(std::string(text));
      if (!RemoteEmbeddingClient::usable_embedding(embedding)) throw NoEmbedding();
      embedded.emplace_back(id, std::move(embedding));
      embedded_ids.insert(*id);
    } catch (const std::exception& e) {
      log_ambrel_line("Failed to embed " + *id + ": " + e.what());
    }
  }
  if (embedded.empty()) return 0;
  std::vector<const std::string*> added_ids;
  {
    make_directories(_get_agent_path(agent_id));
    FileGuard guard(file_lock(_get_vectors_path(agent_id)), _get_agent_path(agent_id));
    try {
      VectorMap vectors = load_locked(agent_id, false, true);
      for (auto& [id, embedding] : embedded) {
        if (vectors.contains(*id)) continue;
        vectors.insert_or_assign(*id, StoredVector(std::move(embedding)));
        added_ids.push_back(id);
      }
      if (added_ids.empty()) return 0;
      save_locked(agent_id, std::move(vectors));
    } catch (const std::exception& e) {
      // Nothing reached the file: each entry failed as a failed add fails.
      for (const auto& [id, embedding] : embedded) {
        log_ambrel_line("Failed to embed " + *id + ": " + e.what());
      }
      return 0;
    }
  }
  auto added = static_cast<std::int64_t>(added_ids.size());
  log_ambrel_line("Added " + std::to_string(added) + " vectors for " + agent_id);
  return added;
}

std::optional<PythonVector> LocalAmbrel::get_vector(const std::string& agent_id,
                                                    const std::string& entry_id) {
  if (auto vectors = vectors_for_reading(agent_id)) {
    if (const StoredVector* vector = vectors->find(entry_id)) return vector->vector();
  }
  return std::nullopt;
}

bool LocalAmbrel::delete_vector(const std::string& agent_id, const std::string& entry_id) {
  FileGuard guard(file_lock(_get_vectors_path(agent_id)), _get_agent_path(agent_id));
  // An id the cache does not hold is answered without copying the agent's map.
  if (auto cached = fresh_cached(agent_id); cached && !cached->contains(entry_id)) {
    return false;
  }
  VectorMap vectors;
  try {
    vectors = load_locked(agent_id, true, true);
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to save vectors: ") + e.what());
    return false;
  }
  if (!vectors.erase(entry_id)) return false;
  make_directories(_get_agent_path(agent_id));
  try {
    save_locked(agent_id, std::move(vectors));
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to save vectors: ") + e.what());
    return false;
  }
  return true;
}

void LocalAmbrel::clear_vectors(const std::string& agent_id) {
  std::string path = _get_vectors_path(agent_id);
  {
    FileGuard guard(file_lock(path), _get_agent_path(agent_id));
    if (path_exists(path)) remove_file(path);
    remove_embedder_record(_get_agent_path(agent_id));
    cache(agent_id, nullptr);
  }
  log_ambrel_line("Cleared vectors for " + agent_id);
}

Json LocalAmbrel::get_stats(const std::string& agent_id) {
  std::shared_ptr<const VectorMap> vectors = vectors_for_reading(agent_id);
  Json stats = Json::object();
  stats["agent_id"] = agent_id;
  stats["vector_count"] = vectors ? vectors->size() : 0;
  stats["dimension"] = embedding_client->get_dimension();
  stats["cache_size"] = embedding_client->cache_size();
  stats["embedder_mismatch"] = vectors ? embedder_mismatch(agent_id) : Json(nullptr);
  return stats;
}

}  // namespace vantory
