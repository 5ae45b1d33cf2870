#include "memory/embedding/process_client.h"

#include "common/mutex.h"
#include "common/shared_slot.h"

namespace vantory {

namespace {

constinit Mutex _embedding_client_lock;  // held only while the client is made or dropped
constinit SharedSlot<RemoteEmbeddingClient> _embedding_client_singleton;

}  // namespace

std::shared_ptr<RemoteEmbeddingClient> get_embedding_client(
    const std::optional<std::string>& cache_path) {
  return _embedding_client_singleton.get_or_make(_embedding_client_lock, [&] {
    return std::make_shared<RemoteEmbeddingClient>(std::nullopt, std::nullopt, std::nullopt,
                                                   std::nullopt, 60, true, cache_path);
  });
}

void reset_embedding_client() { _embedding_client_singleton.reset(_embedding_client_lock); }

PythonVector get_embedding(const std::string& text,
                           const std::shared_ptr<RemoteEmbeddingClient>& client) {
  return (client ? client : get_embedding_client())->embed(text);
}

std::vector<PythonVector> get_embeddings(const std::vector<std::string>& texts,
                                         const std::shared_ptr<RemoteEmbeddingClient>& client) {
  return (client ? client : get_embedding_client())->embed_batch(texts);
}

}  // namespace vantory
