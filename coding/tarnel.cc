// Construction and the timing tracker.
#include "coding/tarnel.h"

#include <chrono>

#include "common/rounding.h"

namespace vantory {

namespace {

constexpr const char* kTrackedOperations[] = {"indexing", "retrieval", "search", "embedding"};

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Tarnel::Tarnel(std::string root_path, std::shared_ptr<ComponentProvider> provider)
    : _provider(provider ? std::move(provider) : default_component_provider()) {
  store = _provider->make_store(root_path);
  ambrel = _provider->make_ambrel(root_path);
  builder = _provider->make_builder(*store, *ambrel);
  retriever = _provider->make_retriever(*store, *ambrel);
  filesystem = _provider->make_filesystem(*store);
  _perf_tracker = Json::object();
  for (const char* op : kTrackedOperations) {
    _perf_tracker[op] = Json{{"total_ms", 0}, {"count", 0}, {"last_ms", 0}};
  }
  _clock = steady_seconds;
}

Tarnel::~Tarnel() = default;

void Tarnel::_record_perf(const std::string& op, double elapsed_ms) {
  auto it = _perf_tracker.find(op);
  if (it == _perf_tracker.end() || it->empty()) return;
  Json& entry = *it;
  entry["total_ms"] = entry["total_ms"].get<double>() + elapsed_ms;
  entry["count"] = entry["count"].get<std::int64_t>() + 1;
  entry["last_ms"] = round_places(elapsed_ms, 1);
}

Json Tarnel::performance_profile(const std::string& /*agent_id*/) {
  Json profile = Json::object();
  for (const auto& [op, entry] : _perf_tracker.items()) {
    std::int64_t count = entry["count"].get<std::int64_t>();
    Json avg = count > 0 ? Json(round_places(entry["total_ms"].get<double>() /
                                                 static_cast<double>(count), 1))
                         : Json(0);
    profile[op] = Json{{"avg_ms", std::move(avg)}, {"count", count}};
  }
  return Json{{"status", "ok"}, {"profile", std::move(profile)}};
}

}  // namespace vantory
