// Mutexes and scoped locks that Clang's thread-safety analysis can follow
// (common/thread_annotations.h): thin wrappers of the standard ones, which libstdc++ leaves
// unannotated. Behaviour, cost and layout are those of the wrapped standard types.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

namespace vantory {

// std::mutex with annotations. Can be constinit, like std::mutex.
class CAPABILITY("mutex") Mutex {
 public:
  constexpr Mutex() noexcept = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// std::recursive_mutex with annotations. The analysis treats it as not re-entrant: a function
// that may be entered with the lock held says so in a comment and takes the narrowest escape.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a Mutex from construction to destruction, may release and retake it in between, and
// waits on a std::condition_variable with it (the wait releases the mutex and retakes it
// before it returns, so the caller holds it throughout, as far as its own code can tell).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }

  // Waits for a notification (or a spurious wake-up): callers loop on their condition.
  void wait(std::condition_variable& changed) { changed.wait(lock_); }
  template <typename Clock, typename Duration>
  std::cv_status wait_until(std::condition_variable& changed,
                            const std::chrono::time_point<Clock, Duration>& deadline) {
    return changed.wait_until(lock_, deadline);
  }
  template <typename Rep, typename Period>
  std::cv_status wait_for(std::condition_variable& changed,
                          const std::chrono::duration<Rep, Period>& timeout) {
    return changed.wait_for(lock_, timeout);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

// Holds a RecursiveMutex from construction to destruction.
class SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~RecursiveMutexLock() RELEASE() { mutex_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mutex_;
};

}  // namespace vantory
