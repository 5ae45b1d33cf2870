// The process-wide embedding client that the rest of the system shares, and the two
// convenience functions over it.
//
// Ownership is shared: whoever holds the client may go on using it after a reset, and the
// next get_embedding_client creates a fresh one (which reloads the cache file, if any).
//
// Thread safety: all functions may be called from any thread. At most one client is created
// even when many threads ask at once.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "memory/embedding/python_vector.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory {

// The process-wide client, created on first use as RemoteEmbeddingClient(cache_path =
// `cache_path`) with every other setting from the defaults and the environment. Later calls
// return the existing client whatever they pass. Throws what the constructor throws (the
// next call then tries again).
std::shared_ptr<RemoteEmbeddingClient> get_embedding_client(
    const std::optional<std::string>& cache_path = std::nullopt);

// Forgets the process-wide client; it is neither saved nor closed.
void reset_embedding_client();

// client->embed(text); a null `client` means the process-wide client.
PythonVector get_embedding(const std::string& text,
                           const std::shared_ptr<RemoteEmbeddingClient>& client = nullptr);

// client->embed_batch(texts) with its default of 10 workers; a null `client` means the
// process-wide client.
std::vector<PythonVector> get_embeddings(
    const std::vector<std::string>& texts,
    const std::shared_ptr<RemoteEmbeddingClient>& client = nullptr);

}  // namespace vantory
