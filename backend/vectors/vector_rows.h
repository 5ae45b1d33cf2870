// The vectors table: one float32 vector per chunk hash per agent, tagged with the embedder
// that made it so that vectors of different embedders are never compared.
//
// The table holds exactly the vectors that some stored chunk of the agent refers to: writers
// of contexts drop the vectors their removed chunks leave unreferenced, in the same
// transaction.
//
// Thread safety: as the Database passed in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/json.h"

namespace vantory::backend {

class Database;

// True when the agent holds a vector for `hash_id` made by `embedder`.
bool has_vector(Database& db, const std::string& agent_id, const std::string& hash_id,
                const std::string& embedder);

// The hash ids of the stored context `context_id` whose vectors (made by `embedder`) its
// agent holds: one query instead of one has_vector per chunk when a file is stored again.
std::unordered_set<std::string> context_vectors(Database& db, std::int64_t context_id,
                                                const std::string& embedder);

// Stores (or replaces) the agent's vector for `hash_id`.
void put_vector(Database& db, const std::string& agent_id, const std::string& hash_id,
                const std::string& embedder, const std::vector<float>& vector);

// Deletes the agent's vectors among `hash_ids` that no stored chunk of the agent refers to
// any longer. Answers how many were deleted.
int drop_unreferenced_vectors(Database& db, const std::string& agent_id,
                              const std::vector<std::string>& hash_ids);

// Deletes every vector of the agent that no stored chunk refers to.
int drop_all_unreferenced_vectors(Database& db, const std::string& agent_id);

// Number of vectors the agent holds.
std::int64_t count_vectors(Database& db, const std::string& agent_id);

}  // namespace vantory::backend
