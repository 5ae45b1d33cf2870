#include "memory/ambrel/process_ambrel.h"

#include "common/mutex.h"
#include "common/shared_slot.h"

namespace vantory {

namespace {

// Held only while the store is made or dropped. Making the store gets the embedding client, so
// this lock is taken before the embedding client's own process-wide lock, never after it.
constinit Mutex _ambrel_lock;
constinit SharedSlot<LocalAmbrel> _ambrel_singleton;

}  // namespace

std::shared_ptr<LocalAmbrel> get_ambrel(const std::string& root_path) {
  return _ambrel_singleton.get_or_make(_ambrel_lock,
                                       [&] { return std::make_shared<LocalAmbrel>(root_path); });
}

// The last owner frees the store's cache, which can be large: outside the locks.
void reset_ambrel() { _ambrel_singleton.reset(_ambrel_lock); }

}  // namespace vantory
