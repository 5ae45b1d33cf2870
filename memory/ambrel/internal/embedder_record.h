// The embedder record of an agent's vectors: embedder.json beside vectors.json, holding the
// identity of the embedding client that made them ({"format", "url", "model", "dimension"},
// RemoteEmbeddingClient::identity()). vectors.json itself records nothing but the numbers, and
// vectors of two models are not comparable: the record lets the store tell when the client
// in use is not the one the stored vectors came from.
//
// Thread safety: the functions share no state; callers serialise writers of one folder.
#pragma once

#include <optional>
#include <string>

#include "common/json.h"

namespace vantory {

// <agent_directory>/embedder.json.
std::string embedder_record_path(const std::string& agent_directory);

// The recorded identity; absent when there is no record or it cannot be read as a JSON
// object (a damaged record says nothing about the vectors).
std::optional<Json> read_embedder_record(const std::string& agent_directory);

// Replaces the record with `identity`, atomically. Throws OSError.
void write_embedder_record(const std::string& agent_directory, const Json& identity);

// Deletes the record when there is one. Throws OSError when it cannot.
void remove_embedder_record(const std::string& agent_directory);

// The identity as one line of text: "<format> <url> model <model> dimension <dimension>".
std::string identity_text(const Json& identity);

}  // namespace vantory
