#include "backend/vectors/vector_rows.h"

#include "backend/storage/database.h"

namespace vantory::backend {

bool has_vector(Database& db, const std::string& agent_id, const std::string& hash_id,
                const std::string& embedder) {
  Statement st =
      db.prepare("SELECT 1 FROM vectors WHERE agent_id = ?1 AND hash_id = ?2 AND embedder = ?3");
  st.bind(1, agent_id).bind(2, hash_id).bind(3, embedder);
  return st.step();
}

std::unordered_set<std::string> context_vectors(Database& db, std::int64_t context_id,
                                                const std::string& embedder) {
  Statement st = db.prepare(
      "SELECT DISTINCT c.hash_id FROM chunks c JOIN vectors v "
      "ON v.agent_id = c.agent_id AND v.hash_id = c.hash_id "
      "WHERE c.context_id = ?1 AND v.embedder = ?2");
  st.bind(1, context_id).bind(2, embedder);
  std::unordered_set<std::string> held;
  while (st.step()) held.insert(st.column_text(0));
  return held;
}

void put_vector(Database& db, const std::string& agent_id, const std::string& hash_id,
                const std::string& embedder, const std::vector<float>& vector) {
  Statement st = db.prepare(
      "INSERT OR REPLACE INTO vectors(agent_id, hash_id, embedder, dim, vector) "
      "VALUES(?1, ?2, ?3, ?4, ?5)");
  st.bind(1, agent_id).bind(2, hash_id).bind(3, embedder);
  st.bind(4, static_cast<std::int64_t>(vector.size()));
  st.bind_blob(5, vector.data(), vector.size() * sizeof(float));
  st.run();
}

int drop_unreferenced_vectors(Database& db, const std::string& agent_id,
                              const std::vector<std::string>& hash_ids) {
  int dropped = 0;
  for (const std::string& hash_id : hash_ids) {
    Statement st = db.prepare(
        "DELETE FROM vectors WHERE agent_id = ?1 AND hash_id = ?2 AND NOT EXISTS "
        "(SELECT 1 FROM chunks WHERE agent_id = ?1 AND hash_id = ?2)");
    st.bind(1, agent_id).bind(2, hash_id);
    st.run();
    dropped += sqlite3_changes(db.handle());
  }
  return dropped;
}

int drop_all_unreferenced_vectors(Database& db, const std::string& agent_id) {
  Statement st = db.prepare(
      "DELETE FROM vectors WHERE agent_id = ?1 AND hash_id NOT IN "
      "(SELECT hash_id FROM chunks WHERE agent_id = ?1 AND hash_id IS NOT NULL)");
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
