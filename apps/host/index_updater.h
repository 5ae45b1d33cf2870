// Keeping an agent's code memory of one folder current with the batches a TreeWatcher hands on,
// through the code memory's public operations: cache_stats to learn what is indexed and fresh,
// index_files for new files, delta_update for changed ones, remove_index for files that are gone.
//
// Only files whose size or modification time moved since they were last indexed (or found fresh)
// are read again. Files that are ignored or binary now but were indexed before are left alone; only
// files that no longer exist leave the memory.
//
// The work is cut into slices of a few files, each handed to a runner that gives it the Tarnel to
// itself: the command line runs a slice at once, the MCP server as a job in the lane of the
// code-memory tools, so that tool calls go on between slices and never run beside one. The new
// files of a slice are indexed together (Tarnel::index_files: cut on every core, one batch).
//
// Thread safety: none; one caller at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "apps/host/tool.h"
#include "apps/host/tree_watcher.h"
#include "coding/tarnel.h"
#include "common/json.h"

namespace vantory::host {

// Runs `work` with the Tarnel to itself, and returns once it has run; it may return without running
// it once the watch is stopping. May throw what `work` throws.
using TarnelRunner = std::function<void(const std::function<void(Tarnel&)>& work)>;

class IndexUpdater {
 public:
  // Files handled in one slice of work.
  static constexpr std::size_t kSliceFiles = 32;

  // Keeps the memory of `agent_id` current for the folder `root` (normalised as the watcher
  // normalises it), doing its work through `run`.
  IndexUpdater(const std::string& root, std::string agent_id, TarnelRunner run);

  // Applies `batch`. A rescan first learns from cache_stats which files are indexed and which of
  // them are fresh, and removes the indexed files below the root that no longer exist. Then files
  // that are gone leave the memory (files of removed_folders too), and each changed file is indexed
  // (index_file) when the memory does not hold it, or updated by its changed chunks (delta_update)
  // when its size or modification time moved. A file that fails is counted with its reason and the
  // others go on. `stopping`, when set, is asked between slices: true ends the work there.
  // `progress`, when set, is called after every slice with the files done of those to read or
  // remove. Answers {"status": "ok", "directory", "rescan", "files" (the changed files looked at),
  // "indexed", "updated", "unchanged", "removed", "failed", "failures": [{"file_path", "reason"}],
  // "time_ms"}. Failures of cache_stats reach the caller.
  Json apply(const WatchBatch& batch, const std::function<bool()>& stopping = {},
             const ProgressFn& progress = {});

  // The counts of an answer of apply that are not zero, for people: "3 indexed, 1 removed"; "" when
  // all are zero.
  static std::string counts_text(const Json& report);

 private:
  // What a file looked like on disk when it was last indexed or found fresh.
  struct Stamp {
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const Stamp&) const = default;
  };
  struct Task {
    std::string path;
    enum { kRemove, kIndex, kUpdate } kind;
    Stamp stamp;
  };

  static std::optional<Stamp> stamp_of(const std::string& path);
  void learn_indexed(Tarnel& tarnel);
  // Drops a file that is gone from the memory.
  void remove(Tarnel& tarnel, const Task& task, Json& report);
  void run_slice(Tarnel& tarnel, const std::vector<const Task*>& slice, Json& report);
  // Counts a task done (its answer, when it did not fail) and remembers its stamp.
  void note_done(const Task& task, const std::string& failure, const Json* answer, Json& report);

  const std::string root_;
  const std::string agent_id_;
  const TarnelRunner run_;
  // The files below the root that the memory holds, with their stamps when known fresh.
  std::unordered_map<std::string, std::optional<Stamp>> indexed_;
};

}  // namespace vantory::host
