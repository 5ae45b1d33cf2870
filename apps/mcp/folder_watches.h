// The folders whose code memory the MCP server keeps current while it serves (--watch). One thread
// per folder waits for its TreeWatcher's batches and applies them with an IndexUpdater; every slice
// of that work runs as a job in the lane of the code-memory tools on the server's CallScheduler, so
// it never runs beside a tool call on the same Tarnel, and tool calls go on between slices. Each
// batch that changed the memory is reported in one line on standard error, and so is the end of a
// watch whose folder was deleted or moved away.
//
// Thread safety: made and destroyed by one thread; the watches run on their own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "apps/host/host.h"
#include "apps/host/tree_watcher.h"
#include "apps/mcp/call_scheduler.h"

namespace vantory::mcp {

class FolderWatches {
 public:
  // Called on a watch's thread after each batch it applied, with the batch and the answer of
  // IndexUpdater::apply.
  using BatchObserver = std::function<void(const host::WatchBatch& batch, const Json& answer)>;

  // Watches `folders` for the host's agent (HostConfig::agent_id), each first brought up to date as
  // `vantory index` would. Throws PermissionError for a folder outside the host's allowed roots and
  // OSError for one that cannot be watched (see TreeWatcher), before any watch starts. `scheduler`
  // must outlive this object.
  FolderWatches(host::Host& host, CallScheduler& scheduler, const std::vector<std::string>& folders,
                host::WatchOptions options = {}, BatchObserver on_batch = {});
  // Stops every watch: a slice of work that runs is finished, the rest is dropped.
  ~FolderWatches();
  FolderWatches(const FolderWatches&) = delete;
  FolderWatches& operator=(const FolderWatches&) = delete;

 private:
  struct Watch;
  void watch(Watch& watch);
  void run_in_lane(const host::TreeWatcher& watcher, const std::function<void(Tarnel&)>& work);

  host::Host& host_;
  CallScheduler& scheduler_;
  const std::string lane_;
  const BatchObserver on_batch_;
  std::vector<std::unique_ptr<Watch>> watches_;
};

}  // namespace vantory::mcp
