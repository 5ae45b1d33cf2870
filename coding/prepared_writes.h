// PreparedWrites: an optional capability of a CodingMemoryBuilder: storing a file is split in
// the work that needs no store (hashing, import records, the texts and packed bodies of the
// records, the vectors of an embedder that runs locally), which any thread may do ahead, and
// the writes, which the one writer does. Tarnel asks a builder for it and uses it in
// index_files, where worker threads prepare the files they cut; a builder that lacks it does
// all of the work in process_file_chunks.
#pragma once

#include <memory>
#include <string>

#include "common/json.h"

namespace vantory {

// A file prepared by a builder, for that builder's store_prepared.
class PreparedFile {
 public:
  virtual ~PreparedFile() = default;
};

class PreparedWrites {
 public:
  virtual ~PreparedWrites() = default;
  // The store-free work of process_file_chunks(agent_id, file_path, chunks, language).
  // Thread-safe: several threads may prepare at once, beside the builder's other calls.
  // Throws what process_file_chunks throws for records it refuses.
  virtual std::unique_ptr<PreparedFile> prepare_file(const std::string& agent_id,
                                                     const std::string& file_path, Json chunks,
                                                     const std::string& language) = 0;
  // Stores a file this builder prepared: answers and throws as process_file_chunks would
  // have, with the store as it is now. Called by one thread at a time, as process_file_chunks.
  // The file is spent: the builder may keep what it holds, and it is not stored twice.
  virtual Json store_prepared(PreparedFile& file) = 0;
};

}  // namespace vantory
