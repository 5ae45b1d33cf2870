// RemoteEmbedder: embeds through the embedding library's RemoteEmbeddingClient, configured
// by the environment (endpoint, key, dimension).
//
// The client's own cache is off: the database already keeps one vector per chunk hash, and
// a failed request (a zero vector) must not be remembered as an answer. Failed texts get an
// empty vector, so their chunks are embedded again at the next indexing. Query vectors are
// kept in a small cache of this embedder's own, since agents repeat queries.
//
// Thread safety: none; one caller at a time (the client runs its batch pool inside a call).
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend/vectors/embedder.h"

namespace vantory {
class RemoteEmbeddingClient;
}

namespace vantory::backend {

class RemoteEmbedder : public Embedder {
 public:
  // A client built from the environment. Throws what its constructor throws (ValueError for
  // a REMOTE_EMBEDDING_DIMENSION that is not an integer).
  RemoteEmbedder();
  // A given client (tests supply one without a network).
  explicit RemoteEmbedder(std::shared_ptr<RemoteEmbeddingClient> client);
  ~RemoteEmbedder() override;

  const std::string& name() const override { return name_; }
  Json describe() const override;
  // One text is embedded directly (and cached when it succeeds); several through the
  // client's worker pool.
  std::vector<std::vector<float>> embed(const std::vector<std::string>& texts) override;

 private:
  std::shared_ptr<RemoteEmbeddingClient> client_;
  std::string name_;
  std::unordered_map<std::string, std::vector<float>> recent_;
  std::deque<std::string> recent_order_;
};

}  // namespace vantory::backend
