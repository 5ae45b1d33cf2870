// The store's layout on disk, its vectors files and the cache of their decoded vectors.
#include "memory/ambrel/local_ambrel.h"

#include <utility>

#include "common/error.h"
#include "common/files.h"
#include "common/message_text.h"
#include "common/paths.h"
#include "common/unicode.h"
#include "memory/ambrel/ambrel_log.h"
#include "memory/ambrel/vectors_file.h"
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

std::string LocalAmbrel::_get_agent_path(const std::string& agent_id) const {
  return join_path(join_path(root_path, "agents"), safe_id(agent_id));
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

std::shared_ptr<const VectorMap> LocalAmbrel::_cached_vectors(const std::string& agent_id) const {
  std::lock_guard<std::mutex> guard(cache_mutex_);
  auto it = _vector_cache.find(agent_id);
  return it == _vector_cache.end() ? nullptr : it->second;
}

void LocalAmbrel::cache(const std::string& agent_id, std::shared_ptr<const VectorMap> vectors) {
  std::shared_ptr<const VectorMap> replaced;
  std::lock_guard<std::mutex> guard(cache_mutex_);
  // The old map is released after the lock: a large one takes a while to free.
  if (vectors) {
    replaced = std::exchange(_vector_cache[agent_id], std::move(vectors));
  } else if (auto it = _vector_cache.find(agent_id); it != _vector_cache.end()) {
    replaced = std::move(it->second);
    _vector_cache.erase(it);
  }
}

std::mutex& LocalAmbrel::file_lock(const std::string& vectors_path) {
  std::lock_guard<std::mutex> guard(file_locks_mutex_);
  std::unique_ptr<std::mutex>& lock = file_locks_[vectors_path];
  if (!lock) lock = std::make_unique<std::mutex>();
  return *lock;
}

std::shared_ptr<const VectorMap> LocalAmbrel::vectors_for_reading(const std::string& agent_id) {
  if (auto cached = _cached_vectors(agent_id)) return cached;
  std::string path = _get_vectors_path(agent_id);
  // Filled under the file's lock, so a read of the old file cannot replace what a writer
  // has just cached.
  std::lock_guard<std::mutex> guard(file_lock(path));
  if (auto cached = _cached_vectors(agent_id)) return cached;
  if (!path_exists(path)) return nullptr;
  try {
    auto vectors = std::make_shared<const VectorMap>(read_vectors_file(path, false));
    cache(agent_id, vectors);
    return vectors;
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to load vectors: ") + e.what());
    return nullptr;
  }
}

VectorMap LocalAmbrel::load_locked(const std::string& agent_id, bool report) {
  if (auto cached = _cached_vectors(agent_id)) return *cached;
  std::string path = _get_vectors_path(agent_id);
  if (!path_exists(path)) return {};
  try {
    VectorMap vectors = read_vectors_file(path, true);
    VectorMap rounded = vectors;
    rounded.round_all();
    cache(agent_id, std::make_shared<const VectorMap>(std::move(rounded)));
    return vectors;
  } catch (const std::exception& e) {
    if (report) log_ambrel_line(std::string("Failed to load vectors: ") + e.what());
    return {};
  }
}

VectorMap LocalAmbrel::_load_vectors(const std::string& agent_id) {
  if (auto cached = _cached_vectors(agent_id)) return *cached;
  std::lock_guard<std::mutex> guard(file_lock(_get_vectors_path(agent_id)));
  return load_locked(agent_id, true);
}

void LocalAmbrel::save_locked(const std::string& agent_id, VectorMap vectors) {
  std::string path = _get_vectors_path(agent_id);
  make_directories(_get_agent_path(agent_id));
  std::lock_guard<std::recursive_mutex> guard(_lock);
  try {
    write_vectors_file(path, vectors);
    vectors.round_all();
    cache(agent_id, std::make_shared<const VectorMap>(std::move(vectors)));
  } catch (const std::exception& e) {
    log_ambrel_line(std::string("Failed to save vectors: ") + e.what());
  }
}

void LocalAmbrel::_save_vectors(const std::string& agent_id, const VectorMap& vectors) {
  std::lock_guard<std::mutex> guard(file_lock(_get_vectors_path(agent_id)));
  save_locked(agent_id, vectors);
}

}  // namespace vantory
