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

// True when every vector the agent holds was made by `embedder` (or it holds none).
bool only_embedder(Database& db, const std::string& agent_id, const std::string& embedder);

// The distinct hash ids among `hash_ids` for which the agent holds a vector made by
// `embedder`, one look into the vectors' index each. Every vector of an agent comes from one embedder as a rule (until
// the embedder in use changes), and then a hash's entry in the vectors' index answers without
// reading the vector's row: the rows are a kilobyte each and spread over the file, the index
// entries are not.
std::unordered_set<std::string> hashes_with_vectors(Database& db, const std::string& agent_id,
                                                    const std::string& embedder,
                                                    const std::vector<std::string>& hash_ids);

// The stored form of a vector of `dim` components: the float32 components as
// they are, or, when few are non-zero (as for the local embedder's vectors of
// short chunks), the non-zero ones as (16-bit index, float32 value) pairs. The
// sparse form is chosen only when it is smaller, so a blob's size tells its
// form; both decode to the same floats.
std::string encode_vector(const std::vector<float>& vector);
// Writes the `dim` components of `blob` to `out`; false when the blob is
// neither form.
bool decode_vector(std::string_view blob, std::size_t dim, float* out);

// Stores (or replaces) the agent's vector for `hash_id`.
void put_vector(Database& db, const std::string& agent_id, const std::string& hash_id,
                const std::string& embedder, const std::vector<float>& vector);

// Stores the agent's vector for `hash_id` unless the agent holds one for it already, made by
// whichever embedder: for an agent whose vectors all come from `embedder` (only_embedder).
// True when it was stored.
bool insert_vector_unless_held(Database& db, const std::string& agent_id,
                               const std::string& hash_id, const std::string& embedder,
                               const std::vector<float>& vector);

// Deletes the agent's vectors among `hash_ids` that no stored chunk of the agent refers to
// any longer. Answers how many were deleted.
int drop_unreferenced_vectors(Database& db, const std::string& agent_id,
                              const std::vector<std::string>& hash_ids);

// Deletes every vector of the agent that no stored chunk refers to.
int drop_all_unreferenced_vectors(Database& db, const std::string& agent_id);

// Number of vectors the agent holds.
std::int64_t count_vectors(Database& db, const std::string& agent_id);

}  // namespace vantory::backend
