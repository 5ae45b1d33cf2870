// The watch command: keeps the code memory of a folder current while it runs.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>

#include "apps/cli/command.h"
#include "apps/cli/progress_bar.h"
#include "apps/host/index_updater.h"
#include "apps/host/tree_watcher.h"
#include "common/json_text.h"

namespace vantory::cli {

namespace {

// The watcher that SIGINT and SIGTERM stop; stop() is async-signal-safe.
std::atomic<host::TreeWatcher*> stopped_by_signal{nullptr};

extern "C" void stop_watching(int) {
  if (host::TreeWatcher* watcher = stopped_by_signal.load()) watcher->stop();
}

// Installs stop_watching for SIGINT and SIGTERM while it lives.
class StopOnSignals {
 public:
  explicit StopOnSignals(host::TreeWatcher& watcher) {
    stopped_by_signal.store(&watcher);
    struct sigaction action = {};
    action.sa_handler = stop_watching;
    action.sa_flags = SA_RESTART;  // the files being indexed are read to their end
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~StopOnSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    stopped_by_signal.store(nullptr);
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  struct sigaction old_int_ = {};
  struct sigaction old_term_ = {};
};

std::string clock_text() {
  std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// One line for a batch that changed something (every rescan included).
void show_report(const Invocation& invocation, const Json& report, bool first) {
  std::string counts = host::IndexUpdater::counts_text(report);
  if (counts.empty() && !first) return;
  if (invocation.json) {
    std::cout << dump_json(report) << std::endl;
  } else if (first) {
    std::cout << "Indexed " << report["directory"].get<std::string>() << ": "
              << dump_json(report["files"]) << " files"
              << (counts.empty() ? "" : " (" + counts + ")") << " in "
              << dump_json(report["time_ms"]) << " ms; watching for changes, Ctrl-C "
              << "stops" << std::endl;
  } else {
    std::cout << clock_text() << (report["rescan"] == true ? " rescan: " : " ") << counts << " in "
              << dump_json(report["time_ms"]) << " ms" << std::endl;
  }
  for (const Json& failure : report["failures"]) {
    std::fprintf(stderr, "vantory watch: %s: %s\n", failure["file_path"].get<std::string>().c_str(),
                 failure["reason"].get<std::string>().c_str());
  }
}

int run_watch(Invocation& invocation) {
  std::string directory = invocation.operands.empty() ? "." : invocation.operands[0];
  std::int64_t quiet = invocation.integer("debounce", 200);
  if (quiet < 10 || quiet > 60000) throw UsageError("--debounce must be from 10 to 60000 ms");
  host::Host& host = *invocation.host;
  host.allowed_roots().check(directory);
  host::SourceFilter filter{host.config().max_file_bytes(), invocation.texts("include"),
                            invocation.texts("exclude"), host.config().store_folders()};
  host::WatchOptions options;
  options.quiet = std::chrono::milliseconds(quiet);
  options.max_delay = options.quiet * 10;
  host::TreeWatcher watcher(directory, filter, options);
  StopOnSignals stop_on_signals(watcher);
  host::IndexUpdater updater(
      watcher.root(), host.config().agent_id,
      [&host](const std::function<void(Tarnel&)>& work) { work(host.tarnel()); });
  auto stopping = [&watcher] { return watcher.stopping(); };
  for (bool first = true;; first = false) {
    host::WatchBatch batch = watcher.next_batch();
    for (const std::string& warning : batch.warnings) {
      std::fprintf(stderr, "vantory watch: %s\n", warning.c_str());
    }
    if (batch.ended == host::TreeWatcher::kStopped) return 0;
    if (batch.has_changes()) {
      ProgressBar bar;
      Json report = updater.apply(
          batch, stopping, [&bar](std::int64_t done, std::int64_t total, const std::string& path) {
            bar.update(done, total, path);
          });
      bar.clear();
      show_report(invocation, report, first);
    }
    if (!batch.ended.empty()) {
      std::fprintf(stderr, "vantory watch: %s; watching ended\n", batch.ended.c_str());
      return 1;
    }
  }
}

}  // namespace

Command watch_command() {
  return {"watch",
          "[PATH]",
          "keep the code memory of a folder current as its files change",
          "Indexes PATH (default: .) as index does, then watches it and re-indexes "
          "what\n"
          "changes: files written, created, renamed or moved in are indexed (only "
          "those whose\n"
          "size or modification time moved are read again), and files deleted or "
          "moved away\n"
          "leave the memory. The same files are left out as by index. A burst of "
          "changes (an\n"
          "editor saving, a checkout of another branch) is taken as one batch once "
          "the tree\n"
          "has been quiet for the debounce time, or at the latest ten times that "
          "after its\n"
          "first change. Prints one line for each batch that changed the memory; "
          "Ctrl-C or\n"
          "SIGTERM stops, after the files being indexed. Exits with status 1 when "
          "PATH is\n"
          "deleted or moved away.",
          {{"include", "GLOB", "only index files this pattern matches (or a folder of them)", true},
           {"exclude", "GLOB", "leave out what this pattern matches", true},
           {"debounce", "MS", "the quiet time that ends a batch (default 200)"}},
          0,
          1,
          run_watch};
}

}  // namespace vantory::cli
