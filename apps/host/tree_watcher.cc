#include "apps/host/tree_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/error.h"
#include "common/files.h"
#include "common/paths.h"

namespace vantory::host {

namespace {

// What is watched in every folder. A file counts once its writer closes it; IN_CREATE stands for
// the files that appear without being written (hard links) and for new folders.
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                        IN_DONT_FOLLOW | IN_EXCL_UNLINK;

// The value of a setting below /proc/sys/fs/inotify, or "?" when it cannot be read.
std::string inotify_setting(const char* name) {
  try {
    std::string text = read_regular_file(std::string("/proc/sys/fs/inotify/") + name, 64);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "?" : text;
  } catch (const Error&) {
    return "?";
  }
}

bool is_ignore_file(const std::string& name) {
  return name == ".gitignore" || name == ".vantoryignore";
}

}  // namespace

std::string watch_error_text(int error, const std::string& path) {
  if (error == ENOSPC) {
    return "cannot watch " + path +
           ": the system's limit on inotify watches is reached "
           "(fs.inotify.max_user_watches = " +
           inotify_setting("max_user_watches") +
           "); raise it, for example: sudo sysctl "
           "fs.inotify.max_user_watches=524288";
  }
  if (error == EMFILE) {
    return "cannot watch " + path +
           ": the limit on inotify instances is reached "
           "(fs.inotify.max_user_instances = " +
           inotify_setting("max_user_instances") + "); stop other watchers or raise it with sysctl";
  }
  return os_error_text(error, path);
}

TreeWatcher::TreeWatcher(const std::string& root, const SourceFilter& filter, WatchOptions options)
    : root_(normalize_path(root)), filter_(filter), options_(options) {
  if (!is_directory(root_)) {
    throw OSError(os_error_text(path_exists(root_) ? ENOTDIR : ENOENT, root_));
  }
  inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_fd_ < 0) throw OSError(watch_error_text(errno, root_));
  stop_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stop_fd_ < 0) {
    int error = errno;
    ::close(inotify_fd_);
    throw OSError(os_error_text(error, "eventfd"));
  }
  try {
    rules_ = std::make_unique<SourceRules>(root_, filter_);
    WatchBatch batch;
    resync(batch);
    first_files_ = std::move(batch.changed);
  } catch (...) {
    ::close(inotify_fd_);
    ::close(stop_fd_);
    throw;
  }
  first_ = false;
  starting_ = true;
}

TreeWatcher::~TreeWatcher() {
  ::close(inotify_fd_);
  ::close(stop_fd_);
}

void TreeWatcher::stop() {
  stopping_.store(true);
  std::uint64_t one = 1;
  // Async-signal-safe; a full counter already wakes the reader.
  [[maybe_unused]] ssize_t written = ::write(stop_fd_, &one, sizeof one);
}

std::string TreeWatcher::full_path(const std::string& relative) const {
  return relative.empty() ? root_ : normalize_path(root_ + "/" + relative);
}

std::string TreeWatcher::relative_path(const std::string& full) const {
  if (root_ == ".") return full;
  return full.substr(root_ == "/" ? 1 : root_.size() + 1);
}

int TreeWatcher::add_watch(const std::string& relative) {
  int wd = ::inotify_add_watch(inotify_fd_, full_path(relative).c_str(), kFolderEvents);
  if (wd < 0) return errno;
  auto known = folder_of_wd_.find(wd);
  if (known != folder_of_wd_.end() && known->second != relative) {
    wd_of_folder_.erase(known->second);  // the same folder, met under a new name
  }
  folder_of_wd_[wd] = relative;
  wd_of_folder_[relative] = wd;
  if (relative.empty()) root_wd_ = wd;
  return 0;
}

SourceTree TreeWatcher::collect_watched(const std::string& relative,
                                        std::vector<std::string>& warnings) {
  bool out_of_watches = false;
  return rules_->collect(relative, [&](const std::string& folder) {
    if (out_of_watches) return;
    int error = add_watch(folder);
    // A folder that vanished or cannot be read is no folder the walk enters.
    if (error == 0 || error == ENOENT || error == ENOTDIR || error == EACCES) return;
    std::string text = watch_error_text(error, full_path(folder));
    if (first_) throw OSError(text);
    warnings.push_back(text + "; changes there are missed");
    out_of_watches = error == ENOSPC;  // every further folder fails the same way
  });
}

void TreeWatcher::watch_tree(const std::string& relative) {
  if (!rules_->enters_folder(relative)) return;
  SourceTree tree;
  try {
    tree = collect_watched(relative, warnings_);
  } catch (const OSError&) {
    return;  // gone again; its parent reports that
  }
  // Files written before the watch was in place send no event of their own.
  for (const std::string& file : tree.files) touched_.insert(relative_path(file));
}

void TreeWatcher::unwatch_tree(const std::string& relative) {
  for (auto it = wd_of_folder_.lower_bound(relative); it != wd_of_folder_.end();) {
    const std::string& folder = it->first;
    bool below = folder == relative || (folder.size() > relative.size() &&
                                        folder.compare(0, relative.size(), relative) == 0 &&
                                        folder[relative.size()] == '/');
    if (!below) {
      if (folder.compare(0, relative.size(), relative) != 0) break;
      ++it;  // "a-b" sorts between "a" and "a/b"
      continue;
    }
    ::inotify_rm_watch(inotify_fd_, it->second);
    folder_of_wd_.erase(it->second);
    it = wd_of_folder_.erase(it);
  }
}

void TreeWatcher::resync(WatchBatch& batch) {
  SourceTree tree = collect_watched("", batch.warnings);
  std::set<std::string> entered(tree.folders.begin(), tree.folders.end());
  for (auto it = wd_of_folder_.begin(); it != wd_of_folder_.end();) {
    if (entered.count(it->first)) {
      ++it;
      continue;
    }
    ::inotify_rm_watch(inotify_fd_, it->second);
    folder_of_wd_.erase(it->second);
    it = wd_of_folder_.erase(it);
  }
  batch.changed = std::move(tree.files);
}

void TreeWatcher::mark_change() {
  auto now = std::chrono::steady_clock::now();
  if (!pending_) first_change_ = now;
  last_change_ = now;
  pending_ = true;
}

void TreeWatcher::handle_event(int wd, std::uint32_t mask, const std::string& name) {
  if (mask & IN_Q_OVERFLOW) {
    rescan_ = true;
    mark_change();
    return;
  }
  auto it = folder_of_wd_.find(wd);
  if (it == folder_of_wd_.end()) return;  // a watch already dropped
  const std::string folder = it->second;
  if (wd == root_wd_ && (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
    if (ended_.empty()) {
      ended_ = root_ + (mask & IN_MOVE_SELF ? " was moved away" : " was deleted");
      root_gone_ = true;
    }
    return;
  }
  if (mask & IN_IGNORED) {
    folder_of_wd_.erase(it);
    auto named = wd_of_folder_.find(folder);
    if (named != wd_of_folder_.end() && named->second == wd) wd_of_folder_.erase(named);
    return;
  }
  // A folder below the root that went away is reported by its parent, with its name.
  if ((mask & (IN_DELETE_SELF | IN_MOVE_SELF)) || name.empty()) return;
  std::string relative = folder.empty() ? name : folder + "/" + name;
  mark_change();
  if (mask & IN_ISDIR) {
    if (mask & (IN_DELETE | IN_MOVED_FROM)) {
      unwatch_tree(relative);
      gone_folders_.insert(relative);
    } else if (mask & (IN_CREATE | IN_MOVED_TO)) {
      watch_tree(relative);
    }
    return;
  }
  if (is_ignore_file(name)) rules_changed_ = true;
  touched_.insert(relative);
}

void TreeWatcher::read_events() {
  alignas(struct inotify_event) char buffer[64 * 1024];
  while (true) {
    ssize_t n = ::read(inotify_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n < 0) throw OSError(os_error_text(errno, root_));
    if (n == 0) return;
    for (char* at = buffer; at < buffer + n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(at);
      handle_event(event->wd, event->mask, event->len ? std::string(event->name) : std::string());
      at += sizeof(struct inotify_event) + event->len;
    }
  }
}

WatchBatch TreeWatcher::take_batch() {
  WatchBatch batch;
  batch.warnings = std::move(warnings_);
  warnings_.clear();
  if (!ended_.empty()) {
    batch.ended = ended_;
    if (root_gone_) batch.removed_folders.push_back(root_);
  } else if (rescan_ || rules_changed_) {
    try {
      if (rules_changed_) rules_ = std::make_unique<SourceRules>(root_, filter_);
      resync(batch);
      batch.rescan = true;
    } catch (const OSError& e) {
      ended_ = e.what();
      return take_batch();
    }
  } else {
    for (const std::string& relative : touched_) {
      std::string path = full_path(relative);
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        batch.removed.push_back(std::move(path));
      } else if (rules_->keeps_file(relative)) {
        batch.changed.push_back(std::move(path));
      }
    }
  }
  if (ended_.empty()) {
    for (const std::string& folder : gone_folders_) {
      batch.removed_folders.push_back(full_path(folder));
    }
  }
  touched_.clear();
  gone_folders_.clear();
  rescan_ = false;
  rules_changed_ = false;
  pending_ = false;
  return batch;
}

WatchBatch TreeWatcher::next_batch() {
  if (starting_) {
    starting_ = false;
    WatchBatch batch;
    batch.rescan = true;
    batch.changed = std::move(first_files_);
    return batch;
  }
  while (true) {
    if (stopping_.load() && ended_.empty()) ended_ = kStopped;
    if (!ended_.empty()) return take_batch();
    int timeout_ms = -1;
    if (pending_) {
      auto due = std::min(last_change_ + options_.quiet, first_change_ + options_.max_delay);
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        WatchBatch batch = take_batch();
        if (batch.has_changes() || !batch.warnings.empty() || !batch.ended.empty()) return batch;
        continue;
      }
      timeout_ms = static_cast<int>(left.count());
    }
    struct pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(fds, 2, timeout_ms) < 0) {
      if (errno == EINTR) continue;
      throw OSError(os_error_text(errno, root_));
    }
    if (fds[1].revents) {
      ended_ = kStopped;
      continue;
    }
    if (fds[0].revents) read_events();
  }
}

}  // namespace vantory::host
