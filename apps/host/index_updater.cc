#include "apps/host/index_updater.h"

#include <sys/stat.h>

#include <chrono>
#include <exception>
#include <vector>

#include "apps/host/exception_kind.h"
#include "common/error_answer.h"
#include "common/paths.h"
#include "common/rounding.h"

namespace vantory::host {

namespace {

void count(Json& report, const char* key) { report[key] = report[key].get<std::int64_t>() + 1; }

}  // namespace

IndexUpdater::IndexUpdater(const std::string& root, std::string agent_id, TarnelRunner run)
    : root_(normalize_path(root)), agent_id_(std::move(agent_id)), run_(std::move(run)) {}

std::optional<IndexUpdater::Stamp> IndexUpdater::stamp_of(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return Stamp{static_cast<std::int64_t>(st.st_size),
               static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

void IndexUpdater::learn_indexed(Tarnel& tarnel) {
  Json stats = tarnel.cache_stats(agent_id_);
  indexed_.clear();
  auto files = stats.is_object() ? stats.find("files") : stats.end();
  if (files == stats.end() || !files->is_array()) return;
  for (const Json& file : *files) {
    if (!file.is_object() || !file.contains("file_path") || !file["file_path"].is_string()) {
      continue;
    }
    std::string path = file["file_path"].get<std::string>();
    if (!is_at_or_below(path, root_)) continue;
    bool fresh = file.value("freshness", Json()) == "fresh";
    indexed_[path] = fresh ? stamp_of(path) : std::nullopt;
  }
}

void IndexUpdater::note_done(const Task& task, const std::string& failure, const Json* answer,
                             Json& report) {
  if (!failure.empty()) {
    // Read again next time, whatever its stamp.
    if (indexed_.count(task.path)) indexed_[task.path] = std::nullopt;
    report["failures"].push_back({{"file_path", task.path}, {"reason", failure}});
    return;
  }
  indexed_[task.path] = task.stamp;
  const char* counter = "indexed";
  if (task.kind == Task::kUpdate) {
    bool same = answer->value("chunks_added", Json(1)) == 0 &&
                answer->value("chunks_removed", Json(1)) == 0;
    counter = same ? "unchanged" : "updated";
  }
  count(report, counter);
}

void IndexUpdater::remove(Tarnel& tarnel, const Task& task, Json& report) {
  try {
    if (tarnel.remove_index(agent_id_, task.path)) count(report, "removed");
    indexed_.erase(task.path);
  } catch (const std::exception& e) {
    note_done(task, exception_text(e), nullptr, report);
  }
}

void IndexUpdater::run_slice(Tarnel& tarnel, const std::vector<const Task*>& slice,
                             Json& report) {
  // New and changed files go through the indexing pipeline together (cut on every core,
  // stored in batches); removals one by one.
  std::vector<const Task*> added, changed;
  for (const Task* task : slice) {
    if (task->kind == Task::kIndex) {
      added.push_back(task);
    } else if (task->kind == Task::kUpdate) {
      changed.push_back(task);
    } else {
      remove(tarnel, *task, report);
    }
  }
  auto run = [&](const std::vector<const Task*>& tasks, bool update) {
    if (tasks.empty()) return;
    std::vector<std::string> paths;
    for (const Task* task : tasks) paths.push_back(task->path);
    auto done = [&](std::size_t i, const Json* answer, std::exception_ptr error) {
      std::string failure =
          error ? exception_text(error) : error_answer_message(*answer).value_or("");
      note_done(*tasks[i], failure, answer, report);
    };
    if (update) {
      tarnel.delta_update_files(agent_id_, paths, done);
    } else {
      tarnel.index_files(agent_id_, paths, done);
    }
  };
  run(changed, true);
  run(added, false);
}

std::string IndexUpdater::counts_text(const Json& report) {
  std::string text;
  for (const char* key : {"indexed", "updated", "removed", "unchanged", "failed"}) {
    std::int64_t n = report.value(key, Json(0)).get<std::int64_t>();
    if (n != 0) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + key;
  }
  return text;
}

Json IndexUpdater::apply(const WatchBatch& batch, const std::function<bool()>& stopping,
                         const ProgressFn& progress) {
  auto start = std::chrono::steady_clock::now();
  Json report = {{"status", "ok"},
                 {"directory", root_},
                 {"rescan", batch.rescan},
                 {"files", batch.changed.size()},
                 {"indexed", 0},
                 {"updated", 0},
                 {"unchanged", 0},
                 {"removed", 0},
                 {"failed", 0},
                 {"failures", Json::array()}};
  if (batch.rescan) run_([this](Tarnel& tarnel) { learn_indexed(tarnel); });

  std::vector<Task> tasks;
  auto remove_gone_below = [&](const std::string& folder) {
    for (const auto& [path, stamp] : indexed_) {
      if (is_at_or_below(path, folder) && !stamp_of(path)) {
        tasks.push_back({path, Task::kRemove, {}});
      }
    }
  };
  if (batch.rescan) remove_gone_below(root_);
  for (const std::string& folder : batch.removed_folders) remove_gone_below(folder);
  for (const std::string& path : batch.removed) {
    if (indexed_.count(path)) tasks.push_back({path, Task::kRemove, {}});
  }
  std::int64_t unchanged = 0;
  for (const std::string& path : batch.changed) {
    std::optional<Stamp> stamp = stamp_of(path);
    auto known = indexed_.find(path);
    if (!stamp) {
      if (known != indexed_.end()) tasks.push_back({path, Task::kRemove, {}});
    } else if (known == indexed_.end()) {
      tasks.push_back({path, Task::kIndex, *stamp});
    } else if (known->second != stamp) {
      tasks.push_back({path, Task::kUpdate, *stamp});
    } else {
      ++unchanged;
    }
  }

  for (std::size_t first = 0; first < tasks.size(); first += kSliceFiles) {
    if (stopping && stopping()) break;
    std::size_t end = std::min(tasks.size(), first + kSliceFiles);
    std::vector<const Task*> slice;
    for (std::size_t i = first; i < end; ++i) slice.push_back(&tasks[i]);
    run_([&](Tarnel& tarnel) { run_slice(tarnel, slice, report); });
    if (progress) {
      progress(static_cast<std::int64_t>(end), static_cast<std::int64_t>(tasks.size()),
               tasks[end - 1].path);
    }
  }

  report["unchanged"] = report["unchanged"].get<std::int64_t>() + unchanged;
  report["failed"] = report["failures"].size();
  std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  report["time_ms"] = round_places(elapsed.count(), 1);
  return report;
}

}  // namespace vantory::host
