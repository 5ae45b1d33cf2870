#include "memory/ambrel/process_ambrel.h"

#include <atomic>
#include <mutex>

namespace vantory {

namespace {

// Read without the lock on the fast path; the atomic publishes the store fully built.
constinit std::atomic<std::shared_ptr<LocalAmbrel>> _ambrel_singleton;
constinit std::mutex _ambrel_lock;

}  // namespace

std::shared_ptr<LocalAmbrel> get_ambrel(const std::string& root_path) {
  if (auto store = _ambrel_singleton.load(std::memory_order_acquire)) return store;
  std::lock_guard<std::mutex> guard(_ambrel_lock);
  auto store = _ambrel_singleton.load(std::memory_order_acquire);
  if (!store) {
    store = std::make_shared<LocalAmbrel>(root_path);
    _ambrel_singleton.store(store, std::memory_order_release);
  }
  return store;
}

void reset_ambrel() {
  std::shared_ptr<LocalAmbrel> dropped;
  std::lock_guard<std::mutex> guard(_ambrel_lock);
  // Released after the lock: the last owner frees the store's cache, which can be large.
  dropped = _ambrel_singleton.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace vantory
