// A process-wide slot holding one shared object, made on first use.
//
// Readers copy the pointer under a short lock of the slot's own; the object is built under
// the owner's creation lock (held only while building or clearing), so a slow construction
// (a client loading its cache file) never holds up callers that find the slot filled. Every
// caller of one generation gets the same object, fully built; `reset` empties the slot, and an
// object handed out before stays alive for as long as its holders keep it.
//
// A plain mutex rather than std::atomic<std::shared_ptr>: libstdc++ 12 releases that atomic's
// internal lock with relaxed ordering after reading the pointer, so a concurrent store may
// overtake the read on weakly ordered processors such as 32-bit ARM.
//
// Locks: the owner's creation lock guards building and clearing; `value_lock_` guards `value_`.
// The creation lock is taken first, and `value_lock_` is never held while anything is built.
#pragma once

#include <memory>
#include <utility>

#include "common/mutex.h"

namespace vantory {

template <typename T>
class SharedSlot {
 public:
  constexpr SharedSlot() = default;
  SharedSlot(const SharedSlot&) = delete;
  SharedSlot& operator=(const SharedSlot&) = delete;

  // The object in the slot; when empty, `make()` fills it, called at most once per generation
  // even by callers racing each other. An exception from `make` leaves the slot empty.
  template <typename Make>
  std::shared_ptr<T> get_or_make(Mutex& creation_lock, Make&& make)
      EXCLUDES(creation_lock, value_lock_) {
    if (std::shared_ptr<T> value = load()) return value;
    MutexLock building(creation_lock);
    if (std::shared_ptr<T> value = load()) return value;
    std::shared_ptr<T> value = std::forward<Make>(make)();
    MutexLock guard(value_lock_);
    value_ = value;
    return value;
  }

  // Empties the slot. The object is released after both locks, by its last holder.
  void reset(Mutex& creation_lock) EXCLUDES(creation_lock, value_lock_) {
    std::shared_ptr<T> dropped;
    MutexLock building(creation_lock);
    MutexLock guard(value_lock_);
    dropped.swap(value_);
  }

 private:
  std::shared_ptr<T> load() EXCLUDES(value_lock_) {
    MutexLock guard(value_lock_);
    return value_;
  }

  Mutex value_lock_;
  std::shared_ptr<T> value_ GUARDED_BY(value_lock_);
};

}  // namespace vantory
