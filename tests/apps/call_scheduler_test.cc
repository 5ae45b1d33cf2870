#include "apps/mcp/call_scheduler.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace vantory::mcp {
namespace {

// Jobs that note when they start and hold until the gate opens.
class Gate {
 public:
  CallScheduler::Job held(const std::string& name) {
    return [this, name] {
      std::unique_lock<std::mutex> lock(mutex_);
      started_.push_back(name);
      ++running_;
      most_running_ = std::max(most_running_, running_);
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
      --running_;
    };
  }
  void wait_started(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return started_.size() >= count; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> started() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }
  int most_running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return most_running_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> started_;
  int running_ = 0;
  int most_running_ = 0;
  bool open_ = false;
};

TEST(CallSchedulerTest, LanesKeepOrderOthersPassAndCancelledJobsNeverRun) {
  Gate gate;
  CallScheduler scheduler(2, 8);
  scheduler.submit("agent:a", gate.held("a1"));
  gate.wait_started(1);
  std::uint64_t second = scheduler.submit("agent:a", gate.held("a2"));
  scheduler.submit("agent:a", gate.held("a3"));
  scheduler.submit("", gate.held("free"));
  // The free job passes the two that wait behind a1 in their lane.
  gate.wait_started(2);
  EXPECT_EQ(gate.started(), (std::vector<std::string>{"a1", "free"}));
  EXPECT_TRUE(scheduler.cancel(second));
  EXPECT_FALSE(scheduler.cancel(second));
  gate.open();
  scheduler.wait_idle();
  EXPECT_EQ(gate.started(), (std::vector<std::string>{"a1", "free", "a3"}));
}

TEST(CallSchedulerTest, BoundsRunningAndWaitingJobs) {
  Gate gate;
  CallScheduler scheduler(2, 3);
  for (const char* name : {"1", "2", "3", "4", "5"}) {
    EXPECT_NE(scheduler.submit("", gate.held(name)), 0u) << name;
    if (std::string(name) <= "2") gate.wait_started(std::stoul(name));
  }
  EXPECT_EQ(scheduler.submit("", gate.held("6")), 0u) << "three already wait";
  EXPECT_EQ(gate.started().size(), 2u);
  gate.open();
  scheduler.wait_idle();
  EXPECT_EQ(gate.started().size(), 5u);
  EXPECT_EQ(gate.most_running(), 2);
}

}  // namespace
}  // namespace vantory::mcp
