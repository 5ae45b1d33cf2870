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
    : provider_(provider ? std::move(provider) : default_component_provider()) {
  store_ = provider_->make_store(root_path);
  ambrel_ = provider_->make_ambrel(root_path);
  builder_ = provider_->make_builder(*store_, *ambrel_);
  retriever_ = provider_->make_retriever(*store_, *ambrel_);
  filesystem_ = provider_->make_filesystem(*store_);
  perf_tracker_ = Json::object();
  for (const char* op : kTrackedOperations) {
    perf_tracker_[op] = Json{{"total_ms", 0}, {"count", 0}, {"last_ms", 0}};
  }
  clock_ = steady_seconds;
}

Tarnel::~Tarnel() = default;

void Tarnel::_record_perf(const std::string& op, double elapsed_ms) {
  auto it = perf_tracker_.find(op);
  if (it == perf_tracker_.end() || it->empty()) return;
  Json& entry = *it;
  entry["total_ms"] = entry["total_ms"].get<double>() + elapsed_ms;
  entry["count"] = entry["count"].get<std::int64_t>() + 1;
  entry["last_ms"] = round_places(elapsed_ms, 1);
}

Json Tarnel::performance_profile(const std::string& /*agent_id*/) {
  Json profile = Json::object();
  for (const auto& [op, entry] : perf_tracker_.items()) {
    std::int64_t count = entry["count"].get<std::int64_t>();
    Json avg = count > 0 ? Json(round_places(entry["total_ms"].get<double>() /
                                                 static_cast<double>(count), 1))
                         : Json(0);
    profile[op] = Json{{"avg_ms", std::move(avg)}, {"count", count}};
  }
  return Json{{"status", "ok"}, {"profile", std::move(profile)}};
}

}  // namespace vantory
