// Embedder: turns chunk texts and queries into vectors. Two exist: the local feature-hashing
// embedder (always available, deterministic, offline) and the remote embedding service, used
// when one is configured through the environment.
//
// Thread safety: an Embedder is used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/json.h"

namespace vantory::backend {

class Embedder {
 public:
  virtual ~Embedder() = default;

  // The name of the vector space ("local-hash-256", "remote:<url>",
  // "openai:<model>:<dimension>@<url>"). Vectors made under different names are never
  // compared, and a change of name makes indexing embed the chunks again.
  virtual const std::string& name() const = 0;

  // What the reports say about the embedder: {"kind": "local" | "remote", "name", ...}.
  virtual Json describe() const = 0;

  // One vector per text, in order. A text that could not be embedded gets an empty vector,
  // which callers do not store, so it is tried again next time.
  virtual std::vector<std::vector<float>> embed(const std::vector<std::string>& texts) = 0;

  // True when embed calls no service: it may then be called from several threads at once,
  // and costs so little that indexing embeds every new chunk in its worker threads rather
  // than asking the database first which vectors are held.
  virtual bool runs_locally() const { return false; }
};

// The embedder that the environment selects: the remote service when REMOTE_EMBEDDING_URL,
// EMBEDDING_API_URL or ORVANE_API_URL is set to a non-empty value, the local one otherwise.
std::unique_ptr<Embedder> make_embedder();

// The URL of the embedding service the environment names (REMOTE_EMBEDDING_URL, then
// EMBEDDING_API_URL, then ORVANE_API_URL; empty values skipped); empty when none is named.
std::string configured_service_url();

// The name and description of the embedder make_embedder would select now, without making
// it (the reports use these).
std::string configured_embedder_name();
Json describe_configured_embedder();

// The name of the vector space of a remote embedding client with `identity`
// (RemoteEmbeddingClient::identity()). The Gradio and REST formats send no model, so their
// name is the URL alone, as vectors stored before the identity was recorded are named; the
// OpenAI format's names the model and the configured dimension too.
std::string remote_embedder_name(const Json& identity);

// What the reports say about a remote embedder with `identity`: {"kind": "remote", "name",
// "format", "url", "model", "dimension"}.
Json describe_remote_embedder(const Json& identity);

// The text of a chunk record that is embedded: its name, summary, keywords and content.
std::string embedding_text(const Json& chunk);

}  // namespace vantory::backend
