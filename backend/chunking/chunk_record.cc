#include "backend/chunking/chunk_record.h"

#include <type_traits>
#include <utility>

namespace vantory::backend {

namespace {

// The record of `r` (a ChunkRecord, const or about to be spent): its strings are copied or
// moved as `r` allows. Members are appended in order: the object is new, no key is looked up.
template <typename Record>
Json record_json(Record&& r) {
  auto take = [](auto& value) -> decltype(auto) {
    if constexpr (std::is_const_v<std::remove_reference_t<Record>>) {
      return static_cast<const std::remove_reference_t<decltype(value)>&>(value);
    } else {
      return std::move(value);
    }
  };
  Json calls = Json::array();
  calls.get_ref<Json::array_t&>().reserve(r.calls.size());
  for (auto& call : r.calls) {
    Json entry = Json::object();
    auto& members = entry.get_ref<Json::object_t&>();
    members.emplace_back("target", take(call.target));
    members.emplace_back("line", call.line);
    calls.get_ref<Json::array_t&>().push_back(std::move(entry));
  }
  Json parameters = Json::array();
  parameters.get_ref<Json::array_t&>().reserve(r.parameters.size());
  for (auto& parameter : r.parameters) {
    Json entry = Json::object();
    entry.get_ref<Json::object_t&>().emplace_back("name", take(parameter));
    parameters.get_ref<Json::array_t&>().push_back(std::move(entry));
  }
  Json out = Json::object();
  auto& members = out.get_ref<Json::object_t&>();
  members.reserve(11);
  members.emplace_back("name", take(r.name));
  members.emplace_back("type", take(r.type));
  members.emplace_back("content", take(r.content));
  members.emplace_back("summary", take(r.summary));
  members.emplace_back("keywords", take(r.keywords));
  members.emplace_back("start_line", r.start_line);
  members.emplace_back("end_line", r.end_line);
  members.emplace_back("calls", std::move(calls));
  members.emplace_back("parameters", std::move(parameters));
  members.emplace_back("language", take(r.language));
  members.emplace_back("file_path", take(r.file_path));
  return out;
}

}  // namespace

Json ChunkRecord::to_json() const& { return record_json(*this); }

Json ChunkRecord::to_json() && { return record_json(std::move(*this)); }

std::vector<std::unique_ptr<CodeUnit>> to_units(std::vector<ChunkRecord> records) {
  std::vector<std::unique_ptr<CodeUnit>> units;
  units.reserve(records.size());
  for (ChunkRecord& record : records) {
    units.push_back(std::make_unique<RecordUnit>(std::move(record)));
  }
  return units;
}

}  // namespace vantory::backend
