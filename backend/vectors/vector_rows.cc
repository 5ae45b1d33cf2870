#include "backend/vectors/vector_rows.h"

#include <algorithm>
#include <cstring>

#include "backend/storage/database.h"
#include "backend/storage/hash_keys.h"

namespace vantory::backend {

namespace {

// The first of the agent's embedder names in the order `sql` asks for; "" without vectors.
std::string embedder_at(Database& db, const char* sql, const std::string& agent_id) {
  Statement st = db.prepare(sql);
  st.bind(1, agent_id);
  return st.step() ? st.column_text(0) : std::string();
}

}  // namespace

bool only_embedder(Database& db, const std::string& agent_id, const std::string& embedder) {
  std::string lowest = embedder_at(
      db, "SELECT embedder FROM vectors WHERE agent_id = ?1 ORDER BY embedder LIMIT 1", agent_id);
  if (lowest.empty()) return true;
  std::string highest = embedder_at(
      db, "SELECT embedder FROM vectors WHERE agent_id = ?1 ORDER BY embedder DESC LIMIT 1",
      agent_id);
  return lowest == embedder && highest == embedder;
}

std::unordered_set<std::string> hashes_with_vectors(Database& db, const std::string& agent_id,
                                                    const std::string& embedder,
                                                    const std::vector<std::string>& hash_ids) {
  std::unordered_set<std::string> held;
  if (hash_ids.empty()) return held;
  // One look into the index a hash: handing the hashes over as one JSON array to read in SQL
  // cost more than the looks themselves.
  const bool uniform = only_embedder(db, agent_id, embedder);
  const char* sql = uniform ? "SELECT 1 FROM vectors WHERE agent_id = ?1 AND hash_id = ?2"
                            : "SELECT 1 FROM vectors WHERE agent_id = ?1 AND hash_id = ?2 AND "
                              "embedder = ?3";
  std::unordered_set<std::string_view> asked;
  for (const std::string& hash : hash_ids) {
    if (!asked.insert(hash).second) continue;
    Statement st = db.prepare(sql);
    st.bind(1, agent_id);
    if (!uniform) st.bind(3, embedder);
    bind_hash_id(st, 2, hash);
    if (st.step()) held.insert(hash);
  }
  return held;
}

std::string encode_vector(const std::vector<float>& vector) {
  std::size_t nonzero = 0;
  for (float x : vector) nonzero += x != 0.0f;
  constexpr std::size_t kPair = sizeof(std::uint16_t) + sizeof(float);
  if (vector.size() > 0xffff || nonzero * kPair >= vector.size() * sizeof(float)) {
    return std::string(reinterpret_cast<const char*>(vector.data()), vector.size() * sizeof(float));
  }
  std::string blob(nonzero * kPair, '\0');
  char* at = blob.data();
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (vector[i] == 0.0f) continue;
    auto index = static_cast<std::uint16_t>(i);
    std::memcpy(at, &index, sizeof(index));
    std::memcpy(at + sizeof(index), &vector[i], sizeof(float));
    at += kPair;
  }
  return blob;
}

bool decode_vector(std::string_view blob, std::size_t dim, float* out) {
  if (blob.size() == dim * sizeof(float)) {
    std::memcpy(out, blob.data(), blob.size());
    return true;
  }
  constexpr std::size_t kPair = sizeof(std::uint16_t) + sizeof(float);
  if (blob.size() % kPair != 0 || blob.size() >= dim * sizeof(float)) return false;
  std::fill(out, out + dim, 0.0f);
  for (std::size_t at = 0; at < blob.size(); at += kPair) {
    std::uint16_t index;
    std::memcpy(&index, blob.data() + at, sizeof(index));
    if (index >= dim) return false;
    std::memcpy(out + index, blob.data() + at + sizeof(index), sizeof(float));
  }
  return true;
}

namespace {

// Runs `sql`, an insert of (agent_id, hash_id, embedder, dim, vector) as ?1 to ?5; answers
// whether a row was written.
bool insert_vector(Database& db, const char* sql, const std::string& agent_id,
                   const std::string& hash_id, const std::string& embedder,
                   const std::vector<float>& vector) {
  Statement st = db.prepare(sql);
  st.bind(1, agent_id).bind(3, embedder);
  bind_hash_id(st, 2, hash_id);
  st.bind(4, static_cast<std::int64_t>(vector.size()));
  std::string blob = encode_vector(vector);
  st.bind_blob(5, blob.data(), blob.size());
  st.run();
  return sqlite3_changes(db.handle()) > 0;
}

}  // namespace

void put_vector(Database& db, const std::string& agent_id, const std::string& hash_id,
                const std::string& embedder, const std::vector<float>& vector) {
  insert_vector(db,
                "INSERT OR REPLACE INTO vectors(agent_id, hash_id, embedder, dim, vector) "
                "VALUES(?1, ?2, ?3, ?4, ?5)",
                agent_id, hash_id, embedder, vector);
}

bool insert_vector_unless_held(Database& db, const std::string& agent_id,
                               const std::string& hash_id, const std::string& embedder,
                               const std::vector<float>& vector) {
  return insert_vector(db,
                       "INSERT INTO vectors(agent_id, hash_id, embedder, dim, vector) "
                       "VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(agent_id, hash_id) DO NOTHING",
                       agent_id, hash_id, embedder, vector);
}

int drop_unreferenced_vectors(Database& db, const std::string& agent_id,
                              const std::vector<std::string>& hash_ids) {
  int dropped = 0;
  for (const std::string& hash_id : hash_ids) {
    Statement st = db.prepare(
        "DELETE FROM vectors WHERE agent_id = ?1 AND hash_id = ?2 AND NOT EXISTS "
        "(SELECT 1 FROM chunks WHERE agent_id = ?1 AND hash_id = ?2 AND body_of IS NULL)");
    st.bind(1, agent_id);
    bind_hash_id(st, 2, hash_id);
    st.run();
    dropped += sqlite3_changes(db.handle());
  }
  return dropped;
}

int drop_all_unreferenced_vectors(Database& db, const std::string& agent_id) {
  Statement st = db.prepare(
      "DELETE FROM vectors WHERE agent_id = ?1 AND hash_id NOT IN "
      "(SELECT hash_id FROM chunks WHERE agent_id = ?1 AND hash_id IS NOT NULL AND "
      "body_of IS NULL)");
  st.bind(1, agent_id);
  st.run();
  return sqlite3_changes(db.handle());
}

std::int64_t count_vectors(Database& db, const std::string& agent_id) {
  Statement st = db.prepare("SELECT COUNT(*) FROM vectors WHERE agent_id = ?1");
  st.bind(1, agent_id);
  return st.step() ? st.column_int(0) : 0;
}

}  // namespace vantory::backend
