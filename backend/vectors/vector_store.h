// VectorStore: the backend's CodingAmbrel, an adapter over its BackendCore. The
// core keeps one float32 vector per chunk hash per agent in the code-memory
// database and owns the embedder that makes them.
//
// Thread safety: as its core.
#pragma once

#include <memory>
#include <string>

#include "backend/core/backend_core.h"
#include "coding/coding_ambrel.h"

namespace vantory::backend {

class VectorStore : public CodingAmbrel {
 public:
  // Opens (creating on demand) the database under `root_path`; the embedder is the one the
  // environment selects (make_embedder). Throws as Database does.
  explicit VectorStore(const std::string& root_path);
  // As above with a given embedder.
  VectorStore(const std::string& root_path, std::unique_ptr<Embedder> embedder);
  // The store over `core`'s data folder and embedder.
  explicit VectorStore(std::shared_ptr<BackendCore> core) : core_(std::move(core)) {}

  // Removes the agent's vectors among `hash_ids` (a JSON array of strings; other elements are
  // ignored), except those that a stored chunk of the agent still refers to: a chunk shared
  // by two files keeps its vector while one of them holds it, and a vector of a chunk being
  // replaced is dropped by the replacement itself once nothing refers to it. Throws TypeError
  // when `hash_ids` is not an array.
  void delete_vectors(const std::string& agent_id, const Json& hash_ids) override;

  Embedder& embedder() { return core_->embedder(); }

 private:
  std::shared_ptr<BackendCore> core_;
};

}  // namespace vantory::backend
