#include "apps/mcp/folder_watches.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <thread>

#include "apps/host/exception_kind.h"
#include "apps/host/index_updater.h"
#include "common/json_text.h"
#include "common/mutex.h"

namespace vantory::mcp {

namespace {

// How often a watch that waits for its turn looks whether it is to stop, and how long it waits
// before it offers again work the scheduler had no room for.
constexpr std::chrono::milliseconds kStopCheck{100};
constexpr std::chrono::milliseconds kBusyRetry{50};

// The lane of the code-memory tools, as the server's own calls are given it.
std::string code_memory_lane(const host::Host& host) {
  const host::ToolDefinition* tool = host.find_tool("index_directory");
  return tool ? host::Host::call_lane(*tool, Json::object()) : "code";
}

void report(const std::string& folder, const std::string& text) {
  std::fprintf(stderr, "vantory-mcp: watch %s: %s\n", folder.c_str(), text.c_str());
}

}  // namespace

struct FolderWatches::Watch {
  Watch(const std::string& folder, const host::SourceFilter& filter, host::WatchOptions options)
      : watcher(folder, filter, options) {}

  host::TreeWatcher watcher;
  std::unique_ptr<host::IndexUpdater> updater;
  std::thread thread;
};

FolderWatches::FolderWatches(host::Host& host, CallScheduler& scheduler,
                             const std::vector<std::string>& folders, host::WatchOptions options,
                             BatchObserver on_batch)
    : host_(host),
      scheduler_(scheduler),
      lane_(code_memory_lane(host)),
      on_batch_(std::move(on_batch)) {
  host::SourceFilter filter;
  filter.max_file_bytes = host.config().max_file_bytes();
  filter.own_folders = host.config().store_folders();
  for (const std::string& folder : folders) {
    host.allowed_roots().check(folder);
    auto watch = std::make_unique<Watch>(folder, filter, options);
    host::TreeWatcher& watcher = watch->watcher;
    watch->updater = std::make_unique<host::IndexUpdater>(
        watcher.root(), host.config().agent_id,
        [this, &watcher](const std::function<void(Tarnel&)>& work) { run_in_lane(watcher, work); });
    watches_.push_back(std::move(watch));
  }
  for (auto& watch : watches_) {
    watch->thread = std::thread([this, &w = *watch] { this->watch(w); });
  }
}

FolderWatches::~FolderWatches() {
  for (auto& watch : watches_) watch->watcher.stop();
  for (auto& watch : watches_) {
    if (watch->thread.joinable()) watch->thread.join();
  }
}

void FolderWatches::run_in_lane(const host::TreeWatcher& watcher,
                                const std::function<void(Tarnel&)>& work) {
  struct Outcome {
    Mutex mutex;
    std::condition_variable done_changed;
    bool done GUARDED_BY(mutex) = false;
    std::exception_ptr error GUARDED_BY(mutex);
  };
  auto outcome = std::make_shared<Outcome>();
  // `work` outlives the job: the job is either cancelled before it starts or waited for.
  auto job = [this, outcome, &work] {
    std::exception_ptr error;
    try {
      work(host_.tarnel());
    } catch (...) {
      error = std::current_exception();
    }
    MutexLock lock(outcome->mutex);
    outcome->error = error;
    outcome->done = true;
    outcome->done_changed.notify_all();
  };
  std::uint64_t ticket = 0;
  while ((ticket = scheduler_.submit(lane_, job)) == 0) {
    if (watcher.stopping()) return;
    std::this_thread::sleep_for(kBusyRetry);  // the scheduler is full of the client's calls
  }
  MutexLock lock(outcome->mutex);
  while (!outcome->done) {
    if (watcher.stopping()) {
      lock.unlock();
      if (scheduler_.cancel(ticket)) return;
      lock.lock();
      while (!outcome->done) lock.wait(outcome->done_changed);
      break;
    }
    lock.wait_for(outcome->done_changed, kStopCheck);
  }
  if (outcome->error) std::rethrow_exception(outcome->error);
}

void FolderWatches::watch(Watch& watch) {
  const std::string& folder = watch.watcher.root();
  auto stopping = [&watch] { return watch.watcher.stopping(); };
  while (true) {
    host::WatchBatch batch;
    try {
      batch = watch.watcher.next_batch();
    } catch (const std::exception& e) {
      report(folder, host::exception_text(e) + "; watching ended");
      return;
    }
    for (const std::string& warning : batch.warnings) report(folder, warning);
    if (batch.ended == host::TreeWatcher::kStopped) return;
    if (batch.has_changes()) {
      try {
        Json answer = watch.updater->apply(batch, stopping);
        std::string counts = host::IndexUpdater::counts_text(answer);
        if (!counts.empty()) {
          report(folder, (batch.rescan ? "rescan: " : "") + counts + " in " +
                             dump_json(answer["time_ms"]) + " ms");
        }
        for (const Json& failure : answer["failures"]) {
          report(folder, failure["file_path"].get<std::string>() + ": " +
                             failure["reason"].get<std::string>());
        }
        if (on_batch_) on_batch_(batch, answer);
      } catch (const std::exception& e) {
        report(folder, host::exception_text(e));
      }
    }
    if (!batch.ended.empty()) {
      report(folder, batch.ended + "; watching ended");
      return;
    }
  }
}

}  // namespace vantory::mcp
