#include "backend/vectors/vector_store.h"

#include "backend/store/context_table.h"
#include "backend/vectors/vector_rows.h"
#include "common/error.h"
#include "common/message_text.h"

namespace vantory::backend {

VectorStore::VectorStore(const std::string& root_path) : VectorStore(root_path, make_embedder()) {}

VectorStore::VectorStore(const std::string& root_path, std::unique_ptr<Embedder> embedder)
    : core_(std::make_shared<BackendCore>(root_path, nullptr, std::move(embedder))) {}

void VectorStore::delete_vectors(const std::string& agent_id, const Json& hash_ids) {
  if (!hash_ids.is_array()) {
    throw TypeError(std::string("hash_ids must be a list, not ") + type_name(hash_ids));
  }
  std::vector<std::string> ids;
  for (const Json& id : hash_ids) {
    if (id.is_string()) ids.push_back(id.get<std::string>());
  }
  if (ids.empty()) return;
  Database& db = core_->database();
  Transaction tx(db);
  if (drop_unreferenced_vectors(db, agent_id, ids) > 0) core_->contexts().bump_generation(agent_id);
  tx.commit();
}

}  // namespace vantory::backend
