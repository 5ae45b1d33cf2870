#include "memory/embedding/internal/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

namespace vantory {

void run_on_pool(std::size_t count, int max_workers, const std::function<void(std::size_t)>& task) {
  std::vector<std::exception_ptr> errors(count);
  std::atomic<std::size_t> next{0};
  // Set by the first failure: tasks not started by then are skipped.
  std::atomic<bool> stop{false};
  auto work = [&] {
    while (!stop.load()) {
      std::size_t i = next.fetch_add(1);
      if (i >= count) return;
      try {
        task(i);
      } catch (...) {
        errors[i] = std::current_exception();
        stop.store(true);
      }
    }
  };

  std::vector<std::thread> pool;
  std::size_t workers = std::min(count, static_cast<std::size_t>(max_workers));
  pool.reserve(workers);
  try {
    for (std::size_t w = 0; w < workers; ++w) pool.emplace_back(work);
  } catch (...) {
    stop.store(true);
    for (auto& t : pool) t.join();
    throw;
  }
  for (auto& t : pool) t.join();
  for (std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

}  // namespace vantory
