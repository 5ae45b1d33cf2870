// The embedding cache file: <cache_path>/embedding_cache.json, one JSON object mapping each
// cache key to the embedding's numbers, written in the JSON text format every vantory file
// uses.
#include <span>
#include <string>

#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"
#include "memory/embedding/internal/embedding_log.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory {

namespace {

std::string cache_file_path(const std::string& directory) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path + "embedding_cache.json";
}

// The file is streamed out in pieces of about this size: a large cache never exists twice
// in memory, once as vectors and once as text.
constexpr std::size_t kWritePiece = std::size_t{1} << 20;

// Reads the cache file into a new map. Throws what parse_number_array_file throws.
EmbeddingCache read_cache_file(const std::string& cache_file) {
  EmbeddingCache loaded;
  parse_number_array_file(cache_file, [&](std::string&& key, std::vector<double>& values) {
    loaded.insert_or_assign(key, PythonVector(std::span<const double>(values)));
  });
  return loaded;
}

// After a failed read of the cache file: a file that could not be parsed is kept beside as
// embedding_cache.json.damaged-<time> so that no save replaces it. Answers whether the file
// is out of the way; one that cannot be read at all stays (and must not be saved over).
bool set_aside_if_damaged(const std::string& cache_file, const std::exception& failure) {
  if (dynamic_cast<const OSError*>(&failure) != nullptr) return false;
  try {
    log_embedding_line("Kept the damaged cache file as " + set_aside_damaged(cache_file));
    return true;
  } catch (const std::exception& e) {
    log_embedding_line(std::string("Failed to keep the damaged cache file aside: ") + e.what());
    return false;
  }
}

}  // namespace

void RemoteEmbeddingClient::_load_cache() {
  std::string cache_file = cache_file_path(*_cache_path);
  try {
    if (!path_exists(cache_file)) return;
    std::string identity = file_identity(cache_file);
    // Built aside and swapped in only once every member converted: all or nothing. The file
    // is read in pieces, so a large cache never sits in memory twice.
    EmbeddingCache loaded = read_cache_file(cache_file);
    std::size_t count = loaded.size();
    {
      MutexLock guard(lock);
      _cache = std::move(loaded);
      cache_file_identity_ = identity;
    }
    log_embedding_line("Loaded " + std::to_string(count) + " cached embeddings");
  } catch (const std::exception& e) {
    log_embedding_line(std::string("Failed to load cache: ") + e.what());
    set_aside_if_damaged(cache_file, e);
  }
}

void RemoteEmbeddingClient::_save_cache() {
  if (!_cache_path) return;
  try {
    make_directories(*_cache_path);
    // Processes sharing the folder save one at a time, each adding what the others saved.
    DirectoryLock folder(*_cache_path);
    std::string cache_file = cache_file_path(*_cache_path);
    std::string identity = file_identity(cache_file);
    if (!identity.empty() && identity != cache_file_identity_) {
      try {
        EmbeddingCache on_disk = read_cache_file(cache_file);
        // The callback runs here, under `lock`; the analysis cannot follow it into for_each.
        on_disk.for_each(
            [&](std::string_view key, const PythonVector& vector) NO_THREAD_SAFETY_ANALYSIS {
              if (_cache.find(key) == nullptr) _cache.insert_or_assign(key, vector);
            });
      } catch (const std::exception& e) {
        if (!set_aside_if_damaged(cache_file, e)) throw;
      }
    }
    AtomicFileWriter writer(cache_file);
    std::string piece;
    piece.reserve(kWritePiece + 32 * 1024);
    piece.push_back('{');
    bool first = true;
    _cache.for_each([&](std::string_view key, const PythonVector& vector) {
      if (!first) piece.append(", ");
      first = false;
      append_json_string(piece, key);
      piece.append(": ");
      std::span<const float> values = vector.data();
      append_json_float_array(piece, values.data(), values.size());
      if (piece.size() >= kWritePiece) {
        writer.append(piece);
        piece.clear();
      }
    });
    piece.push_back('}');
    writer.append(piece);
    writer.commit();
    cache_file_identity_ = file_identity(cache_file);
  } catch (const std::exception& e) {
    log_embedding_line(std::string("Failed to save cache: ") + e.what());
  }
}

void RemoteEmbeddingClient::save_cache() {
  MutexLock guard(lock);
  _save_cache();
}

void RemoteEmbeddingClient::clear_cache() {
  {
    MutexLock guard(lock);
    _cache.clear();
  }
  if (!_cache_path) return;
  std::string cache_file = cache_file_path(*_cache_path);
  if (path_exists(cache_file)) remove_file(cache_file);
}

}  // namespace vantory
