#include "apps/mcp/call_scheduler.h"

#include <algorithm>

namespace vantory::mcp {

CallScheduler::CallScheduler(std::size_t max_running, std::size_t max_waiting)
    : max_waiting_(max_waiting) {
  max_running = std::max<std::size_t>(max_running, 1);
  workers_.reserve(max_running);
  for (std::size_t i = 0; i < max_running; ++i) workers_.emplace_back([this] { work(); });
}

CallScheduler::~CallScheduler() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    waiting_.clear();
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

std::uint64_t CallScheduler::submit(const std::string& lane, Job job) {
  std::uint64_t ticket;
  {
    MutexLock lock(mutex_);
    if (stopping_ || waiting_.size() >= max_waiting_) return 0;
    ticket = next_ticket_++;
    waiting_.push_back({ticket, lane, std::move(job)});
  }
  ready_.notify_one();
  return ticket;
}

bool CallScheduler::cancel(std::uint64_t ticket) {
  {
    MutexLock lock(mutex_);
    auto it = std::find_if(waiting_.begin(), waiting_.end(),
                           [&](const Waiting& w) { return w.ticket == ticket; });
    if (it == waiting_.end()) return false;
    waiting_.erase(it);
  }
  idle_.notify_all();
  return true;
}

void CallScheduler::wait_idle() {
  MutexLock lock(mutex_);
  while (!waiting_.empty() || running_ != 0) lock.wait(idle_);
}

void CallScheduler::work() {
  MutexLock lock(mutex_);
  while (true) {
    auto next = waiting_.end();
    while (!stopping_) {
      // The oldest job whose lane is free; a job behind a busy lane lets later ones pass.
      next = std::find_if(waiting_.begin(), waiting_.end(),
                          [&](const Waiting& w) REQUIRES(mutex_) {
                            return w.lane.empty() || busy_lanes_.count(w.lane) == 0;
                          });
      if (next != waiting_.end()) break;
      lock.wait(ready_);
    }
    if (stopping_) return;
    Waiting taken = std::move(*next);
    waiting_.erase(next);
    if (!taken.lane.empty()) busy_lanes_.insert(taken.lane);
    ++running_;
    lock.unlock();
    taken.job();
    taken.job = nullptr;  // what the job holds is released outside the lock
    lock.lock();
    --running_;
    if (!taken.lane.empty()) busy_lanes_.erase(taken.lane);
    // The lane just freed may hold the only runnable job, and any worker may be the one to
    // take it.
    ready_.notify_all();
    idle_.notify_all();
  }
}

}  // namespace vantory::mcp
