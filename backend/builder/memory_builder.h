// MemoryBuilder: the backend's CodingMemoryBuilder. It turns one file's chunk records into
// a stored context with its import records, keyword-index rows and chunk vectors.
//
// Only chunks whose hash the agent holds no vector for (from the embedder in use) are
// embedded; vectors that the file's old chunks leave unreferenced are dropped. Embedding
// happens before the write transaction, so a slow embedding service never holds the
// database's write lock. A file stored again unchanged costs no write but the indexing
// counters: its context, keyword-index rows and vectors stay as they are, and its import
// records are reused instead of parsed again.
//
// Thread safety: none; one caller at a time.
#pragma once

#include <memory>
#include <string>

#include "backend/builder/link_schedule.h"
#include "backend/store/chunk_cache.h"
#include "backend/store/context_store.h"
#include "backend/vectors/vector_store.h"
#include "coding/coding_memory_builder.h"

namespace vantory::backend {

class MemoryBuilder : public CodingMemoryBuilder {
 public:
  // `store` and `ambrel` must be the backend's ContextStore and VectorStore (TypeError
  // otherwise); both must outlive the builder. With `chunk_cache`, chunks that are exactly
  // what the cache's chunker answered for the file are stored with their chunk key, so that
  // the next cut of the same text is answered from them.
  MemoryBuilder(CodingContextStore& store, CodingAmbrel& ambrel,
                std::shared_ptr<ChunkCache> chunk_cache = nullptr);
  // Learns the term links that stored units left due (LinkSchedule); a failure to do so is
  // not reported, the links then staying as they were until the next learning.
  ~MemoryBuilder() override;

  // Stores the context of `file_path` (normalised) from `chunks` (a JSON array of chunk
  // records, stored as given except that a missing or empty "hash_id" of a chunk with
  // content becomes the SHA-256 of its white-space-collapsed content). Imports come from the
  // file when it exists and is text, otherwise from the chunks' content. Answers
  // {"status": "indexed", "file_path", "language", "total_chunks", "new_chunks" (chunks whose
  //  vector was made now), "reused_chunks" (chunks whose vector the agent held),
  //  "removed_chunks" (hashes of the old context gone from the new one), "imports",
  //  "embedder", "time_ms"}. Throws TypeError for chunks that are not an array of objects,
  // ValueError for records nested too deeply, RuntimeError when the database fails (nothing
  // is then stored).
  Json process_file_chunks(const std::string& agent_id, const std::string& file_path,
                           const Json& chunks, const std::string& language) override;

 private:
  ContextStore& store_;
  VectorStore& vectors_;
  std::shared_ptr<ChunkCache> chunk_cache_;
  LinkSchedule link_schedule_;
};

}  // namespace vantory::backend
