// A REST embedding service that holds every request until released: a slow service that
// keeps a call running for as long as a test needs.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace vantory::testing {

class HeldEmbeddingService {
 public:
  HeldEmbeddingService() {
    server_.Post("/embed", [this](const httplib::Request&, httplib::Response& response) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++arrived_;
      changed_.notify_all();
      // Bounded, so that a server that never lets go of a call fails the test, not the run.
      changed_.wait_for(lock, std::chrono::seconds(60), [this] { return released_; });
      response.set_content("[0.6, 0.8]", "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~HeldEmbeddingService() {
    release();
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/embed"; }
  void wait_for_requests(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return arrived_ >= count; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
  bool released_ = false;
};

}  // namespace vantory::testing
