#include "backend/core/backend_core.h"

#include "backend/retriever/keyword_rank.h"
#include "common/message_text.h"

namespace vantory::backend {

BackendCore::BackendCore(const std::string& root_path, std::shared_ptr<ChunkCache> chunk_cache,
                         std::unique_ptr<Embedder> embedder)
    : root_path_(root_path),
      chunk_cache_(std::move(chunk_cache)),
      db_(root_path),
      table_(db_),
      embedder_(embedder ? std::move(embedder) : make_embedder()) {
  register_keyword_rank(db_, keyword_vocabulary_);
}

void BackendCore::record_search(const std::string& agent_id, std::int64_t results,
                                std::int64_t tokens_served, std::int64_t tokens_baseline) {
  Transaction tx(db_);
  table_.ensure_agent(agent_id);
  db_.prepare(
         "UPDATE agents SET searches = searches + 1, search_results = "
         "search_results + ?2, "
         "search_tokens_served = search_tokens_served + ?3, "
         "search_tokens_baseline = search_tokens_baseline + ?4 WHERE "
         "agent_id = ?1")
      .bind(1, agent_id)
      .bind(2, results)
      .bind(3, tokens_served)
      .bind(4, tokens_baseline)
      .run();
  tx.commit();
}

void BackendCore::record_indexing(const std::string& agent_id, double elapsed_ms,
                                  std::int64_t embedded, std::int64_t reused) {
  table_.ensure_agent(agent_id);
  db_.prepare(
         "UPDATE agents SET index_runs = index_runs + 1, index_ms = "
         "index_ms + ?2, "
         "chunks_embedded = chunks_embedded + ?3, chunks_reused = "
         "chunks_reused + ?4, "
         "last_indexed_at = ?5 WHERE agent_id = ?1")
      .bind(1, agent_id)
      .bind(2, elapsed_ms)
      .bind(3, embedded)
      .bind(4, reused)
      .bind(5, now_seconds())
      .run();
}

}  // namespace vantory::backend
