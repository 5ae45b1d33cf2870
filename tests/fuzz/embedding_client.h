// One embedding client for the targets that feed it answers of a service: built once, it
// never reaches a network (it is handed the answers directly) and keeps no cache.
#pragma once

#include "memory/embedding/remote_embedding_client.h"

namespace vantory::fuzzing {

inline RemoteEmbeddingClient& offline_client() {
  static RemoteEmbeddingClient client("http://127.0.0.1:9/embed", std::nullopt,
                                      "dense-embedding", 768, 60, /*cache_embeddings=*/false);
  return client;
}

}  // namespace vantory::fuzzing
