// Navigation and index CRUD: the directory view and the store's index, passed through.
#include "coding/internal/records.h"
#include "coding/tarnel.h"

namespace vantory {

Json Tarnel::list_directory(const std::string& agent_id, const std::string& path) {
  Json nodes = filesystem_->list_dir(agent_id, path);
  std::int64_t count = records::length_of(nodes);
  return Json{{"status", "ok"},
              {"path", path.empty() ? std::string("/") : path},
              {"items", std::move(nodes)},
              {"count", count}};
}

bool Tarnel::remove_index(const std::string& agent_id, const std::string& file_path) {
  return store_->delete_code_mem(agent_id, file_path);
}

bool Tarnel::delete_mem(const std::string& agent_id, const std::string& file_path) {
  return remove_index(agent_id, file_path);
}

Json Tarnel::list_indexed_files(const std::string& agent_id, std::int64_t limit,
                                std::int64_t offset) {
  return records::expect_object(store_->list_code_mems(agent_id, limit, offset), "list_code_mems");
}

Json Tarnel::list_mems(const std::string& agent_id, std::int64_t limit, std::int64_t offset) {
  return list_indexed_files(agent_id, limit, offset);
}

}  // namespace vantory
