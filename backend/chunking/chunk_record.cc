#include "backend/chunking/chunk_record.h"

namespace vantory::backend {

Json ChunkRecord::to_json() const {
  Json calls_json = Json::array();
  for (const CallSite& call : calls) {
    Json entry = Json::object();
    entry["target"] = call.target;
    entry["line"] = call.line;
    calls_json.push_back(std::move(entry));
  }
  Json parameters_json = Json::array();
  for (const std::string& parameter : parameters) {
    Json entry = Json::object();
    entry["name"] = parameter;
    parameters_json.push_back(std::move(entry));
  }
  Json out = Json::object();
  out["name"] = name;
  out["type"] = type;
  out["content"] = content;
  out["summary"] = summary;
  out["keywords"] = keywords;
  out["start_line"] = start_line;
  out["end_line"] = end_line;
  out["calls"] = std::move(calls_json);
  out["parameters"] = std::move(parameters_json);
  out["language"] = language;
  out["file_path"] = file_path;
  return out;
}

std::vector<std::unique_ptr<CodeUnit>> to_units(std::vector<ChunkRecord> records) {
  std::vector<std::unique_ptr<CodeUnit>> units;
  units.reserve(records.size());
  for (ChunkRecord& record : records) {
    units.push_back(std::make_unique<RecordUnit>(std::move(record)));
  }
  return units;
}

}  // namespace vantory::backend
