// A pool of worker threads that lives for one call: the embedding client's batch work.
#pragma once

#include <cstddef>
#include <functional>

namespace vantory {

// Runs task(0) .. task(count - 1) on min(count, max_workers) threads (max_workers >= 1) and
// returns when all have finished. The first task to throw stops the tasks not yet started;
// once the running ones have finished, the exception of the lowest index is rethrown.
void run_on_pool(std::size_t count, int max_workers, const std::function<void(std::size_t)>& task);

}  // namespace vantory
