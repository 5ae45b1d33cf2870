// Runs tool calls on a bounded set of worker threads, so that one slow call does not hold up
// the others. Calls in the same lane run one at a time in the order they were submitted (the
// calls that drive one Tarnel, or change one agent's files); calls in different lanes, or in
// no lane, run side by side up to the bound.
//
// Thread safety: every operation may be called from any thread, a job included.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"

namespace vantory::mcp {

class CallScheduler {
 public:
  using Job = std::function<void()>;

  // Runs at most `max_running` jobs at once (at least one) and lets at most `max_waiting`
  // more wait for their turn. Starts `max_running` threads.
  CallScheduler(std::size_t max_running, std::size_t max_waiting);
  // Drops the jobs still waiting and waits for the running ones.
  ~CallScheduler();
  CallScheduler(const CallScheduler&) = delete;
  CallScheduler& operator=(const CallScheduler&) = delete;

  // Queues `job` in `lane` ("" for none). Answers a ticket for cancel, or 0 when max_waiting
  // jobs already wait (the job is dropped unrun). `job` must not throw.
  std::uint64_t submit(const std::string& lane, Job job) EXCLUDES(mutex_);

  // Drops the job of `ticket` if it has not started: answers true when it never runs.
  bool cancel(std::uint64_t ticket) EXCLUDES(mutex_);

  // Blocks until no job waits or runs.
  void wait_idle() EXCLUDES(mutex_);

  std::size_t max_running() const { return workers_.size(); }

 private:
  struct Waiting {
    std::uint64_t ticket;
    std::string lane;
    Job job;
  };

  void work() EXCLUDES(mutex_);

  // Locks: `mutex_` guards the queue, the busy lanes and the counters; a job runs without it.
  // The workers are started by the constructor and joined by the destructor.
  const std::size_t max_waiting_;
  Mutex mutex_;
  std::condition_variable ready_;  // a job may have become runnable, or stopping_ was set
  std::condition_variable idle_;   // a job finished or was dropped
  std::list<Waiting> waiting_ GUARDED_BY(mutex_);  // in submission order
  std::set<std::string> busy_lanes_ GUARDED_BY(mutex_);
  std::size_t running_ GUARDED_BY(mutex_) = 0;
  std::uint64_t next_ticket_ GUARDED_BY(mutex_) = 1;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::thread> workers_;
};

}  // namespace vantory::mcp
