// The embedding cache file: <cache_path>/embedding_cache.json, one JSON object mapping each
// cache key to the embedding's numbers, written in the JSON text format every vantory file
// uses.
#include <span>
#include <string>

#include "common/files.h"
#include "common/json_text.h"
#include "memory/embedding/embedding_log.h"
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

}  // namespace

void RemoteEmbeddingClient::_load_cache() {
  try {
    std::string cache_file = cache_file_path(*_cache_path);
    if (!path_exists(cache_file)) return;
    // Built aside and swapped in only once every member converted: all or nothing. The file
    // is read in pieces, so a large cache never sits in memory twice.
    EmbeddingCache loaded;
    parse_number_array_file(cache_file, [&](std::string&& key, std::vector<double>& values) {
      loaded.insert_or_assign(key, PythonVector(std::span<const double>(values)));
    });
    std::size_t count = loaded.size();
    {
      std::lock_guard<std::mutex> guard(lock);
      _cache = std::move(loaded);
    }
    log_embedding_line("Loaded " + std::to_string(count) + " cached embeddings");
  } catch (const std::exception& e) {
    log_embedding_line(std::string("Failed to load cache: ") + e.what());
  }
}

void RemoteEmbeddingClient::_save_cache() {
  if (!_cache_path) return;
  try {
    make_directories(*_cache_path);
    AtomicFileWriter writer(cache_file_path(*_cache_path));
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
  } catch (const std::exception& e) {
    log_embedding_line(std::string("Failed to save cache: ") + e.what());
  }
}

void RemoteEmbeddingClient::save_cache() {
  std::lock_guard<std::mutex> guard(lock);
  _save_cache();
}

void RemoteEmbeddingClient::clear_cache() {
  {
    std::lock_guard<std::mutex> guard(lock);
    _cache.clear();
  }
  if (!_cache_path) return;
  std::string cache_file = cache_file_path(*_cache_path);
  if (path_exists(cache_file)) remove_file(cache_file);
}

}  // namespace vantory
