// The store's layout on disk, its vectors files and the cache of their decoded vectors.
#include "memory/ambrel/local_ambrel.h"

#include <utility>

#include "common/error.h"
#include "common/files.h"
#include "common/message_text.h"
#include "common/paths.h"
#include "common/unicode.h"
#include "memory/ambrel/internal/ambrel_log.h"
#include "memory/ambrel/internal/embedder_record.h"
#include "memory/ambrel/internal/vectors_file.h"
#include "memory/embedding/process_client.h"

namespace vantory {

namespace {

std::string join_path(const std::string& directory, std::string_view name) {
  std::string path = directory;
  if (name.empty()) return path;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

std::shared_ptr<RemoteEmbeddingClient> client_for(std::shared_ptr<RemoteEmbeddingClient> given,
                                                  const std::string& root) {
  if (given) return given;
  return get_embedding_client(join_path(root, ".embedding_cache"));
}

}  // namespace

LocalAmbrel::LocalAmbrel(const std::string& root, std::shared_ptr<RemoteEmbeddingClient> client,
                         bool embed_missing)
    : root_path(absolute_path(root, current_directory())),
      auto_embed(embed_missing),
      embedding_client(client_for(std::move(client), root_path)) {
  make_directories(root_path);
}

std::string LocalAmbrel::safe_id(std::string_view agent_id) {
  std::string safe;
  safe.reserve(agent_id.size());
  std::size_t i = 0;
  while (i < agent_id.size()) {
    std::size_t start = i;
    // A byte that is not UTF-8 decodes as U+FFFD, which is not alphanumeric either.
    char32_t c = next_code_point(agent_id, i);
    if (c == U'-' || c == U'_' || is_alnum(c)) {
      safe.append(agent_id.substr(start, i - start));
    } else {
      safe.push_back('_');
    }
  }
  return safe;
}

std::string LocalAmbrel::agent_directory(const std::string& agent_id) const {
  return join_path(join_path(root_path, "agents"), safe_id(agent_id));
}

std::string LocalAmbrel::_get_agent_path(const std::string& agent_id) const {
  return agent_directory(agent_id);
}

std::string LocalAmbrel::_get_vectors_path(const std::string& agent_id) const {
  return join_path(_get_agent_path(agent_id), "vectors.json");
}

std::vector<double> LocalAmbrel::_to_list(const PythonVector& vector) { return vector.tolist(); }

std::vector<double> LocalAmbrel::_to_list(const std::vector<double>& values) { return values; }

std::vector<double> LocalAmbrel::_to_list(const Json& value) {
  if (!value.is_array()) {
    throw TypeError(std::string("expected a vector or an array of numbers, not ") +
                    type_name(value));
  }
  std::vector<double> numbers;
  numbers.reserve(value.size());
  for (const Json& item : value) {
    if (item.is_boolean()) {
      numbers.push_back(item.get<bool>() ? 1.0 : 0.0);
    } else if (item.is_number()) {
      numbers.push_back(item.get<double>());
    } else {
      throw TypeError(std::string("expected an array of numbers, found ") + type_name(item));
    }
  }
  return numbers;
}

std::shared_ptr<const VectorMap> LocalAmbrel::cached_vectors(const std::string& agent_id) const {
  MutexLock guard(cache_mutex_);
  auto it = _vector_cache.find(agent_id);
  return it == _vector_cache.end() ? nullptr : it->second;
}

std::shared_ptr<const VectorMap> LocalAmbrel::fresh_cached(const std::string& agent_id) const {
  std::shared_ptr<const VectorMap> cached;
  std::string stamp;
  {
    MutexLock guard(cache_mutex_);
    auto it = _vector_cache.find(agent_id);
    if (it == _vector_cache.end()) return nullptr;
    cached = it->second;
    auto known = cache_stamps_.find(agent_id);
    if (known != cache_stamps_.end()) stamp = known->second;
  }
  // A file gone since is not another writer's save: the cache answers for it, as it always has.
  std::string now = file_identity(_get_vectors_path(agent_id));
  return now.empty() || now == stamp ? cached : nullptr;
}

void LocalAmbrel::cache(const std::string& agent_id, std::shared_ptr<const VectorMap> vectors,
                        const std::string& stamp) {
  std::shared_ptr<const VectorMap> replaced;
  MutexLock guard(cache_mutex_);
  // The old map is released after the lock: a large one takes a while to free.
  if (vectors) {
    replaced = std::exchange(_vector_cache[agent_id], std::move(vectors));
    cache_stamps_[agent_id] = stamp;
  } else if (auto it = _vector_cache.find(agent_id); it != _vector_cache.end()) {
    replaced = std::move(it->second);
    _vector_cache.erase(it);
    cache_stamps_.erase(agent_id);
  }
}

LocalAmbrel::FileGuard::FileGuard(Mutex& thread_lock, const std::string& agent_directory)
    : thread_lock_(thread_lock), directory_lock_(agent_directory) {}

Mutex& LocalAmbrel::file_lock(const std::string& vectors_path) {
  MutexLock guard(file_locks_mutex_);
  std::unique_ptr<Mutex>& lock = file_locks_[vectors_path];
  if (!lock) lock = std::make_unique<Mutex>();
  return *lock;
}

std::shared_ptr<const VectorMap> LocalAmbrel::vectors_for_reading(const std::string& agent_id) {
  if (auto cached = fresh_cached(agent_id)) return cached;
  std::string path = _get_vectors_path(agent_id);
  // Filled under the file's lock, so a read of the old file cannot replace what a writer
  // has just cached.
  FileGuard guard(file_lock(path), _get_agent_path(agent_id));
  if (auto cached = fresh_cached(agent_id)) return cached;
  std::string stamp = file_identity(path);
  if (stamp.empty()) return nullptr;
  try {
    auto vectors = std::make_shared<const VectorMap>(read_vectors_file(path, false));
    cache(agent_id, vectors, stamp);
    embedder_mismatch(agent_id);
    return vectors;
  } catch (const std::exception& e) {
    read_failed(agent_id, e, true, false);
    return cached_vectors(agent_id);
  }
}

void LocalAmbrel::read_failed(const std::string& agent_id, const std::exception& failure,
                              bool report, bool for_writing) {
  if (report) log_ambrel_line(std::string("Failed to load vectors: ") + failure.what());
  bool unreadable = dynamic_cast<const OSError*>(&failure) != nullptr;
  if (unreadable) {
    // What cannot be read cannot be known to be damaged: it is never replaced.
    if (for_writing) throw OSError(failure.what());
    return;
  }
  std::string path = _get_vectors_path(agent_id);
  try {
    log_ambrel_line("Kept the damaged vectors file as " + set_aside_damaged(path) +
                    "; the vectors cached meanwhile answer");
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to keep the damaged vectors file aside: ") + e.what());
    if (for_writing) throw;
  }
}

VectorMap LocalAmbrel::load_locked(const std::string& agent_id, bool report, bool for_writing) {
  if (auto cached = fresh_cached(agent_id)) return *cached;
  std::string path = _get_vectors_path(agent_id);
  std::string stamp = file_identity(path);
  if (stamp.empty()) return {};
  try {
    VectorMap vectors = read_vectors_file(path, true);
    VectorMap rounded = vectors;
    rounded.round_all();
    cache(agent_id, std::make_shared<const VectorMap>(std::move(rounded)), stamp);
    embedder_mismatch(agent_id);
    return vectors;
  } catch (const std::exception& e) {
    read_failed(agent_id, e, report, for_writing);
  }
  auto cached = cached_vectors(agent_id);
  return cached ? *cached : VectorMap();
}

VectorMap LocalAmbrel::_load_vectors(const std::string& agent_id) {
  if (auto cached = fresh_cached(agent_id)) return *cached;
  FileGuard guard(file_lock(_get_vectors_path(agent_id)), _get_agent_path(agent_id));
  return load_locked(agent_id, true, false);
}

void LocalAmbrel::save_locked(const std::string& agent_id, VectorMap vectors) {
  std::string path = _get_vectors_path(agent_id);
  make_directories(_get_agent_path(agent_id));
  RecursiveMutexLock guard(_lock);
  write_vectors_file(path, vectors);
  record_embedder(agent_id, vectors);
  vectors.round_all();
  cache(agent_id, std::make_shared<const VectorMap>(std::move(vectors)), file_identity(path));
}

void LocalAmbrel::record_embedder(const std::string& agent_id, const VectorMap& vectors) {
  std::string folder = _get_agent_path(agent_id);
  try {
    if (vectors.empty()) {
      remove_embedder_record(folder);
    } else if (!read_embedder_record(folder)) {
      // Vectors older than records are taken to be the client's in use: nothing else is known.
      write_embedder_record(folder, embedding_client->identity());
    }
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to record the embedder: ") + e.what());
  }
}

Json LocalAmbrel::embedder_mismatch(const std::string& agent_id) {
  std::optional<Json> recorded = read_embedder_record(_get_agent_path(agent_id));
  Json current = embedding_client->identity();
  if (!recorded || *recorded == current) return nullptr;
  bool first = false;
  {
    MutexLock guard(warned_mutex_);
    first = embedder_warned_.insert(agent_id).second;
  }
  if (first) {
    log_ambrel_line("Vectors of agent " + agent_id + " were made by " + identity_text(*recorded) +
                    ", not by the embedder in use (" + identity_text(current) +
                    "): clear them and add them again");
  }
  return {{"recorded", std::move(*recorded)}, {"current", std::move(current)}};
}

void LocalAmbrel::_save_vectors(const std::string& agent_id, const VectorMap& vectors) {
  make_directories(_get_agent_path(agent_id));
  FileGuard guard(file_lock(_get_vectors_path(agent_id)), _get_agent_path(agent_id));
  try {
    save_locked(agent_id, vectors);
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to save vectors: ") + e.what());
  }
}

}  // namespace vantory
