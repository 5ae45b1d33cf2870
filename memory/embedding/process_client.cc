#include "memory/embedding/process_client.h"

#include <atomic>
#include <mutex>

namespace vantory {

namespace {

// Read without the lock on the fast path; the atomic publishes the client fully built.
constinit std::atomic<std::shared_ptr<RemoteEmbeddingClient>> _embedding_client_singleton;
constinit std::mutex _embedding_client_lock;

}  // namespace

std::shared_ptr<RemoteEmbeddingClient> get_embedding_client(
    const std::optional<std::string>& cache_path) {
  if (auto client = _embedding_client_singleton.load(std::memory_order_acquire)) return client;
  std::lock_guard<std::mutex> guard(_embedding_client_lock);
  auto client = _embedding_client_singleton.load(std::memory_order_acquire);
  if (!client) {
    client = std::make_shared<RemoteEmbeddingClient>(std::nullopt, std::nullopt,
                                                     "dense-embedding", std::nullopt, 60, true,
                                                     cache_path);
    _embedding_client_singleton.store(client, std::memory_order_release);
  }
  return client;
}

void reset_embedding_client() {
  std::lock_guard<std::mutex> guard(_embedding_client_lock);
  _embedding_client_singleton.store(nullptr, std::memory_order_release);
}

PythonVector get_embedding(const std::string& text,
                           const std::shared_ptr<RemoteEmbeddingClient>& client) {
  return (client ? client : get_embedding_client())->embed(text);
}

std::vector<PythonVector> get_embeddings(const std::vector<std::string>& texts,
                                         const std::shared_ptr<RemoteEmbeddingClient>& client) {
  return (client ? client : get_embedding_client())->embed_batch(texts);
}

}  // namespace vantory
