// BackendCore: what the backend's five components share for one data folder:
// the database connection, the context table over it, the embedder in use, the
// chunk cache, the in-memory vector index and keyword counts of the retriever,
// and the counters behind the reports.
//
// The components (ContextStore, VectorStore, MemoryBuilder, HybridRetriever,
// VirtualFileSystem) are thin adapters over one core: they read and write
// through it, never through one another. A Tarnel's components share one core,
// so every write of one indexing call (context, keyword rows, vectors,
// counters) is one transaction of one connection.
//
// Thread safety: none; the components over one core are used by one thread at a
// time (as a Tarnel's are). Cores of the same folder in different threads or
// processes may work at once: each has its own connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "backend/retriever/keyword_vocabulary.h"
#include "backend/retriever/vector_index.h"
#include "backend/storage/database.h"
#include "backend/store/chunk_cache.h"
#include "backend/store/context_table.h"
#include "backend/vectors/embedder.h"

namespace vantory::backend {

class BackendCore {
 public:
  // Opens (creating on demand, with its directory) the database under
  // `root_path`. Without `embedder`, the one the environment selects
  // (make_embedder). With `chunk_cache`, the builder marks the chunks it stores
  // in it. Throws OSError or RuntimeError when the database cannot be opened.
  explicit BackendCore(const std::string& root_path,
                       std::shared_ptr<ChunkCache> chunk_cache = nullptr,
                       std::unique_ptr<Embedder> embedder = nullptr);
  BackendCore(const BackendCore&) = delete;
  BackendCore& operator=(const BackendCore&) = delete;

  const std::string& root_path() const { return root_path_; }
  Database& database() { return db_; }
  ContextTable& contexts() { return table_; }
  Embedder& embedder() { return *embedder_; }
  // Null when the components were made without one.
  const std::shared_ptr<ChunkCache>& chunk_cache() const { return chunk_cache_; }
  VectorIndex& vector_index() { return vector_index_; }
  KeywordVocabulary& keyword_vocabulary() { return keyword_vocabulary_; }

  // Called by the builder after it wrote the context of `file_path`; the store
  // listens to keep its global index current. An empty listener stops
  // listening.
  using IndexedListener =
      std::function<void(const std::string& agent_id, const std::string& file_path)>;
  void set_indexed_listener(IndexedListener listener) { indexed_listener_ = std::move(listener); }
  void note_indexed(const std::string& agent_id, const std::string& file_path) {
    if (indexed_listener_) indexed_listener_(agent_id, file_path);
  }

  // --- Counters (each agent's row in the agents table) ---

  // Counts one search that served `results` chunks: `tokens_served` tokens of
  // content instead of `tokens_baseline` tokens of the whole files they came
  // from. Its own transaction.
  void record_search(const std::string& agent_id, std::int64_t results, std::int64_t tokens_served,
                     std::int64_t tokens_baseline);

  // Counts one indexing run of `elapsed_ms` that embedded `embedded` chunks and
  // reused the vectors of `reused`. Call inside the indexing transaction.
  void record_indexing(const std::string& agent_id, double elapsed_ms, std::int64_t embedded,
                       std::int64_t reused);

 private:
  std::string root_path_;
  std::shared_ptr<ChunkCache> chunk_cache_;
  Database db_;
  ContextTable table_;
  std::unique_ptr<Embedder> embedder_;
  VectorIndex vector_index_;
  KeywordVocabulary keyword_vocabulary_;
  IndexedListener indexed_listener_;
};

}  // namespace vantory::backend
