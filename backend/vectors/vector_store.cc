#include "backend/vectors/vector_store.h"

#include "backend/store/context_table.h"
#include "backend/vectors/vector_rows.h"
#include "common/error.h"
#include "common/message_text.h"

namespace vantory::backend {

VectorStore::VectorStore(const std::string& root_path) : VectorStore(root_path, make_embedder()) {}

VectorStore::VectorStore(const std::string& root_path, std::unique_ptr<Embedder> embedder)
    : db_(root_path), embedder_(std::move(embedder)) {}

void VectorStore::delete_vectors(const std::string& agent_id, const Json& hash_ids) {
  if (!hash_ids.is_array()) {
    throw TypeError(std::string("hash_ids must be a list, not ") + type_name(hash_ids));
  }
  std::vector<std::string> ids;
  for (const Json& id : hash_ids) {
    if (id.is_string()) ids.push_back(id.get<std::string>());
  }
  if (ids.empty()) return;
  Transaction tx(db_);
  if (drop_unreferenced_vectors(db_, agent_id, ids) > 0) {
    ContextTable(db_).bump_generation(agent_id);
  }
  tx.commit();
}

VectorStore& backend_vectors(CodingAmbrel& ambrel, const char* user) {
  auto* concrete = dynamic_cast<VectorStore*>(&ambrel);
  if (!concrete) throw TypeError(std::string(user) + " needs the backend's own vector store");
  return *concrete;
}

}  // namespace vantory::backend
