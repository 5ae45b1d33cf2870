#include "memory/ambrel/process_ambrel.h"

#include <mutex>

#include "common/shared_slot.h"

namespace vantory {

namespace {

constinit std::mutex _ambrel_lock;  // held only while the store is made or dropped
constinit SharedSlot<LocalAmbrel> _ambrel_singleton;

}  // namespace

std::shared_ptr<LocalAmbrel> get_ambrel(const std::string& root_path) {
  return _ambrel_singleton.get_or_make(_ambrel_lock,
                                       [&] { return std::make_shared<LocalAmbrel>(root_path); });
}

// The last owner frees the store's cache, which can be large: outside the locks.
void reset_ambrel() { _ambrel_singleton.reset(_ambrel_lock); }

}  // namespace vantory
