#include "memory/ambrel/internal/embedder_record.h"

#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"
#include "common/message_text.h"

namespace vantory {

std::string embedder_record_path(const std::string& agent_directory) {
  return agent_directory + "/embedder.json";
}

std::optional<Json> read_embedder_record(const std::string& agent_directory) {
  std::string path = embedder_record_path(agent_directory);
  if (!path_exists(path)) return std::nullopt;
  try {
    Json record = parse_json(read_file(path));
    if (record.is_object()) return record;
  } catch (const Error&) {
  }
  return std::nullopt;
}

void write_embedder_record(const std::string& agent_directory, const Json& identity) {
  write_file_atomic(embedder_record_path(agent_directory), dump_json(identity));
}

void remove_embedder_record(const std::string& agent_directory) {
  std::string path = embedder_record_path(agent_directory);
  if (path_exists(path)) remove_file(path);
}

std::string identity_text(const Json& identity) {
  auto part = [&](const char* key) {
    auto it = identity.find(key);
    return it == identity.end() ? std::string("None") : value_text(*it);
  };
  return part("format") + " " + part("url") + " model " + part("model") + " dimension " +
         part("dimension");
}

}  // namespace vantory
