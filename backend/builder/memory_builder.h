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
// It is an adapter over its BackendCore: it reads and writes the core's
// database and embeds with the core's embedder, in the store's transaction.
//
// Thread safety: as its core.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "backend/core/backend_core.h"
#include "coding/batched_writes.h"
#include "coding/coding_memory_builder.h"
#include "coding/prepared_writes.h"

namespace vantory::backend {

class MemoryBuilder : public CodingMemoryBuilder, public BatchedWrites, public PreparedWrites {
 public:
  // With the core's chunk cache, chunks that are exactly what the cache's
  // chunker answered for the file are stored with their chunk key, so that the
  // next cut of the same text is answered from them.
  explicit MemoryBuilder(std::shared_ptr<BackendCore> core);
  // Rolls back a batch left open.
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

  // A batch is one write transaction of the core's connection. Other writers of the folder
  // wait for the batch's commit. The batch keeps the files it wrote until the commit: when
  // one fails, the transaction is rolled back and begun again, and the earlier files are
  // written again. (No savepoint: a savepoint saves each page the first time it changes
  // under it, a tenth of the indexing of /usr/include even with one savepoint for a few
  // dozen files.) Should writing them again fail too, the batch is lost: every later file
  // and the commit throw that error. batch_full tells when the files kept hold enough
  // content that the batch should be committed.
  void begin_batch() override;
  void commit_batch() override;
  void abort_batch() noexcept override;
  bool batch_full() const override;

  // Ahead of the store, in any thread: the hash ids, the import records, the
  // stored texts and packed bodies, and, when the embedder runs locally, the
  // vectors of every distinct hash (those the agent turns out to hold are
  // dropped). Nothing here reads the database.
  std::unique_ptr<PreparedFile> prepare_file(const std::string& agent_id,
                                             const std::string& file_path, Json chunks,
                                             const std::string& language) override;
  Json store_prepared(PreparedFile& file) override;

 private:
  struct Prepared;
  // The steps of storing a file. stage: what needs neither the database nor
  // much work (hash ids, chunk key, the file's facts and bytes). settle: what
  // needs the stored context, under no write lock (the import records when not
  // known ahead, which vectors are held, the missing ones made). write: the
  // writes, inside the caller's transaction; answers the number of removed
  // chunks. Each throws as process_file_chunks.
  void stage(Prepared& prepared, const std::string& agent_id, const std::string& file_path,
             const Json& chunks, const std::string& language);
  void settle(Prepared& prepared);
  // True when every hash of the file has a vector made ahead (the local embedder, in a worker).
  static bool made_ahead(const Prepared& prepared);
  std::int64_t write(const std::string& agent_id, Prepared& prepared);
  // settle, then write in the open batch or a transaction of its own.
  Json store(Prepared& prepared);
  // write in the open batch, keeping the file.
  std::int64_t write_in_batch(const std::string& agent_id, Prepared& prepared);
  // Runs the held keyword-index writes once they hold more than their limit.
  void apply_keyword_writes_past_limit();
  // After a file of the batch failed: rolls the batch back, begins it again and writes its
  // kept files again. Never throws: a failure is kept in batch_failure_.
  void write_batch_again() noexcept;
  // After a commit: trains the store's next text dictionary when one is due. A failure is
  // not reported: the bodies are compressed as before.
  void train_dictionary() noexcept;

  std::shared_ptr<BackendCore> core_;
  std::unique_ptr<Transaction> batch_;
  // The files the open batch wrote, in order, with the bytes of their content: written again
  // after a failure, and told to the core's listener once the batch is committed.
  std::vector<std::unique_ptr<Prepared>> kept_;
  std::uint64_t kept_bytes_ = 0;
  // Set when the batch could not be written again: it cannot be committed.
  std::exception_ptr batch_failure_;
};

}  // namespace vantory::backend
