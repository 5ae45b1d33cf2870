#include "backend/store/code_flow.h"

#include <string>
#include <vector>

namespace vantory::backend {

namespace {

std::string string_member(const Json& record, const char* key) {
  auto it = record.find(key);
  return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Json member_or_null(const Json& record, const char* key) {
  auto it = record.find(key);
  return it == record.end() ? Json(nullptr) : *it;
}

std::string last_component(const std::string& name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(dot + 1);
}

// True when a call written as `target` inside this file reaches the unit `name` (a function
// f, or a method C.f reached as self.f, cls.f, C.f or f).
bool reaches(const std::string& target, const std::string& name) {
  if (target.empty() || name.empty()) return false;
  if (target == name) return true;
  std::string short_name = last_component(name);
  return target == short_name || target == "self." + short_name || target == "cls." + short_name;
}

}  // namespace

Json build_code_flow(const Json& chunks, const Json& imports) {
  struct Unit {
    std::string name;
    Json entry;
    std::vector<std::string> calls;
  };
  std::vector<Unit> units;
  std::size_t call_count = 0;
  for (const Json& chunk : chunks) {
    if (!chunk.is_object()) continue;
    std::string type = string_member(chunk, "type");
    if (type == "import" || type == "imports") continue;
    Unit unit;
    unit.name = string_member(chunk, "name");
    auto calls = chunk.find("calls");
    if (calls != chunk.end() && calls->is_array()) {
      for (const Json& call : *calls) {
        std::string target = call.is_object() ? string_member(call, "target") : std::string();
        if (target.empty()) continue;
        ++call_count;
        bool seen = false;
        for (const std::string& known : unit.calls) seen = seen || known == target;
        if (!seen) unit.calls.push_back(target);
      }
    }
    unit.entry = {{"name", member_or_null(chunk, "name")},
                  {"type", member_or_null(chunk, "type")},
                  {"start_line", member_or_null(chunk, "start_line")},
                  {"end_line", member_or_null(chunk, "end_line")},
                  {"calls", unit.calls}};
    units.push_back(std::move(unit));
  }
  Json flow_units = Json::array();
  for (Unit& unit : units) {
    Json called_by = Json::array();
    for (const Unit& caller : units) {
      if (&caller == &unit) continue;
      for (const std::string& target : caller.calls) {
        if (reaches(target, unit.name)) {
          called_by.push_back(caller.name);
          break;
        }
      }
    }
    unit.entry["called_by"] = std::move(called_by);
    flow_units.push_back(std::move(unit.entry));
  }
  Json modules = Json::array();
  for (const Json& record : imports) {
    if (record.is_object()) {
      auto module = record.find("module");
      if (module != record.end()) modules.push_back(*module);
    }
  }
  std::size_t unit_count = flow_units.size();
  return {{"units", std::move(flow_units)},
          {"imports", std::move(modules)},
          {"unit_count", unit_count},
          {"call_count", call_count}};
}

}  // namespace vantory::backend
