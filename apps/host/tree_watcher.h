// Watching a source tree for changes (Linux inotify), and handing them on in batches: the files a
// person would index that were written, created, moved in, deleted or moved away, with the same
// rules as indexing (SourceRules: hidden files, build folders, ignore files, include and exclude
// patterns, the size limit, binary files).
//
// Every folder the indexing walk enters is watched, and folders are added as they appear. A burst
// of changes (an editor saving through a temporary file, a checkout of another branch) is handed on
// as one batch once the tree has been quiet for `quiet`, or at the latest `max_delay` after the
// first change of the batch. A file counts as written when its writer closes it.
//
// Thread safety: next_batch serves one caller at a time; stop() may be called from any thread and
// from a signal handler.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "apps/host/source_tree.h"

namespace vantory::host {

// One batch of changes below a watched root. Paths are the root joined with the path below it,
// lexically normalised, as collect_source_files gives them.
struct WatchBatch {
  // Files to index: those the rules keep that changed, or every file of the tree when `rescan` is
  // set.
  std::vector<std::string> changed;
  // Files that were there and are gone: deleted, moved away, or no longer regular files.
  std::vector<std::string> removed;
  // Folders that were deleted or moved away: whatever was indexed below them is gone.
  std::vector<std::string> removed_folders;
  // The whole tree is to be compared with what is indexed: the first batch, after the kernel's
  // event queue overflowed, and after an ignore file changed.
  bool rescan = false;
  // Problems that do not end the watch (a folder that could not be watched), one line each.
  std::vector<std::string> warnings;
  // Why watching ended ("" while it goes on): stop() was called, or the root was deleted or moved
  // away. The batch ending a watch holds no changes but removed_folders.
  std::string ended;

  bool has_changes() const {
    return rescan || !changed.empty() || !removed.empty() || !removed_folders.empty();
  }
};

// When a TreeWatcher hands on a batch.
struct WatchOptions {
  // Once no change came for this long...
  std::chrono::milliseconds quiet{200};
  // ...or this long after the batch's first change, whichever comes first.
  std::chrono::milliseconds max_delay{2000};
};

class TreeWatcher {
 public:
  // The message of a stop() batch.
  static constexpr const char* kStopped = "stopped";

  // Starts watching the folder `root` and every folder below it that the indexing walk enters.
  // Throws OSError when `root` is not a readable folder, when inotify cannot be set up, or when the
  // system's limit on watches is reached (the message names the limit and how to raise it).
  TreeWatcher(const std::string& root, const SourceFilter& filter = {}, WatchOptions options = {});
  ~TreeWatcher();
  TreeWatcher(const TreeWatcher&) = delete;
  TreeWatcher& operator=(const TreeWatcher&) = delete;

  // The root as given, normalised.
  const std::string& root() const { return root_; }

  // Blocks until the next batch is complete and answers it. The first call answers at once with a
  // rescan of the files found when watching started. Once a batch with `ended` was answered, every
  // later call answers such a batch at once.
  WatchBatch next_batch();

  // Makes the current or next next_batch answer at once with `ended` "stopped", dropping the
  // changes not handed on yet.
  void stop();

  // True once stop() was called: work on a batch may check it to end early.
  bool stopping() const { return stopping_.load(); }

 private:
  std::string full_path(const std::string& relative) const;
  std::string relative_path(const std::string& full) const;
  // Watches the folder `relative`; answers 0 or the errno of inotify_add_watch.
  int add_watch(const std::string& relative);
  // Lists the folder `relative` as the walk does, watching each folder it enters before that
  // folder is read: a file written meanwhile is then listed or sends an event. A failure to
  // watch throws OSError while the watcher is made, and is a warning after (after the first
  // folder over the limit on watches, no more are tried). Throws OSError as
  // SourceRules::collect.
  SourceTree collect_watched(const std::string& relative, std::vector<std::string>& warnings);
  // A folder that appeared: watches it and what the walk enters below it, and counts its files as
  // touched.
  void watch_tree(const std::string& relative);
  // A folder that went away: drops its watch and those below it.
  void unwatch_tree(const std::string& relative);
  // Walks the whole tree again: watches what the walk enters, drops what it does not, and lists
  // every file it keeps as changed.
  void resync(WatchBatch& batch);
  void mark_change();
  void read_events();
  void handle_event(int wd, std::uint32_t mask, const std::string& name);
  WatchBatch take_batch();

  const std::string root_;
  const SourceFilter filter_;
  const WatchOptions options_;
  std::unique_ptr<SourceRules> rules_;
  int inotify_fd_ = -1;
  int stop_fd_ = -1;
  std::atomic<bool> stopping_{false};
  int root_wd_ = -1;
  std::map<int, std::string> folder_of_wd_;  // watched folders, relative to the root
  std::map<std::string, int> wd_of_folder_;
  bool first_ = true;      // the constructor is running
  bool starting_ = false;  // the first batch is yet to be answered
  std::vector<std::string> first_files_;

  // The batch being gathered.
  std::set<std::string> touched_;  // files, relative to the root
  std::set<std::string> gone_folders_;
  std::vector<std::string> warnings_;
  bool rescan_ = false;
  bool rules_changed_ = false;
  bool pending_ = false;
  std::chrono::steady_clock::time_point first_change_;
  std::chrono::steady_clock::time_point last_change_;
  std::string ended_;
  bool root_gone_ = false;  // deleted or moved away: nothing indexed below it is there now
};

// What a failed inotify_add_watch of `path` with errno `error` means for a person: for ENOSPC, the
// limit on watches (fs.inotify.max_user_watches) and how to raise it.
std::string watch_error_text(int error, const std::string& path);

}  // namespace vantory::host
