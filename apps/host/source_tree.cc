#include "apps/host/source_tree.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>

#include "apps/host/gitignore.h"
#include "common/error.h"
#include "common/files.h"
#include "common/paths.h"

namespace vantory::host {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBinarySniffBytes = 8000;

// The ignore files read in every folder, later ones overriding earlier ones.
constexpr const char* kIgnoreFiles[] = {".gitignore", ".vantoryignore"};
// Ignore files are read whole; a larger one is no ignore file anyone wrote.
constexpr std::uint64_t kMaxIgnoreFileBytes = 1u << 22;

// The text of the ignore file at `path`, or "" when there is none or it cannot be read (it
// then excludes nothing, as in git). Only regular files are read: a FIFO there cannot stall
// the walk.
std::string ignore_file_text(const fs::path& path) {
  try {
    return read_regular_file(path.string(), kMaxIgnoreFileBytes);
  } catch (const OSError&) {
    return {};
  }
}

// The first line of the file at `path`, without its line ending; "" when it cannot be read.
std::string first_line(const fs::path& path) {
  std::string line = ignore_file_text(path);
  line.resize(std::min(line.find_first_of("\r\n"), line.size()));
  return line;
}

// The folder where git keeps the files of the repository whose top is `top`: `top`/.git, or
// where a .git file points (a worktree or submodule), or that worktree's common folder, which
// holds info/exclude.
fs::path git_dir(const fs::path& top) {
  fs::path dir = top / ".git";
  std::error_code error;
  if (fs::is_directory(dir, error)) return dir;
  std::string pointer = first_line(dir);
  if (pointer.rfind("gitdir: ", 0) != 0) return {};
  dir = top / pointer.substr(8);  // an absolute path replaces `top`
  std::string common = first_line(dir / "commondir");
  return common.empty() ? dir : dir / common;
}

// Reads the ignore files that apply to the folder `root` from outside it: the repository's
// info/exclude and the ignore files of the folders from the repository's top down to `root`
// (not included). Nothing when `root` is in no repository.
void add_repository_rules(const std::string& root, GitignoreRules& rules) {
  std::error_code error;
  fs::path folder = fs::absolute(root, error).lexically_normal();
  if (error) return;
  if (!folder.has_filename()) folder = folder.parent_path();  // "/a/b/" -> "/a/b"
  std::vector<fs::path> above;  // folders above `root`, nearest first
  for (fs::path at = folder;; at = at.parent_path()) {
    if (fs::exists(at / ".git", error)) {
      fs::path git = git_dir(at);
      if (!git.empty()) {
        std::string below = folder.lexically_relative(at).generic_string();
        below = below == "." ? "" : below + "/";
        rules.add_file_above(below, ignore_file_text(git / "info/exclude"), ".git/info/exclude");
      }
      break;
    }
    if (!at.has_relative_path()) return;  // the file system's root: no repository
    above.push_back(at.parent_path());
  }
  for (auto at = above.rbegin(); at != above.rend(); ++at) {
    std::string below = folder.lexically_relative(*at).generic_string() + "/";
    for (const char* name : kIgnoreFiles) {
      rules.add_file_above(below, ignore_file_text(*at / name), name);
    }
  }
}

// The patterns of `globs`, one per line, as one ignore file of the root.
GitignoreRules patterns_of(const std::vector<std::string>& globs, std::string_view source) {
  GitignoreRules rules;
  std::string text;
  for (const std::string& glob : globs) text += glob + "\n";
  rules.add_file("", text, source);
  return rules;
}

bool is_build_or_dependency_folder(const std::string& name, const fs::path& path) {
  static constexpr std::array<std::string_view, 10> kNames = {
      "build",  "dist",        "target",        "_build",        "node_modules", "bower_components",
      "vendor", "__pycache__", "site-packages", "__pypackages__"};
  if (std::find(kNames.begin(), kNames.end(), name) != kNames.end()) return true;
  if (name.rfind("cmake-build-", 0) == 0) return true;
  std::error_code ignored;
  return fs::exists(path / "pyvenv.cfg", ignored);
}

std::string without_trailing_slash(const fs::path& path) {
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string read_head(const fs::path& path, bool& readable) {
  std::ifstream in(path, std::ios::binary);
  std::string head(kBinarySniffBytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  readable = !in.bad() && (in.good() || in.eof());
  head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return head;
}

}  // namespace

// The walk of one root: its rules, the ignore files read so far, and the tree being filled.
class SourceWalker {
 public:
  SourceWalker(std::string root, SourceFilter filter)
      : root_(std::move(root)),
        filter_(std::move(filter)),
        too_large_("over " + size_text(filter_.max_file_bytes)),
        include_(patterns_of(filter_.include, "include")),
        exclude_(patterns_of(filter_.exclude, "exclude")) {
    add_repository_rules(root_, rules_);
    // The walk follows no symbolic link, so a folder below the root is the root's real path
    // joined with its relative one.
    std::error_code error;
    for (const std::string& folder : filter_.own_folders) {
      fs::path real = fs::weakly_canonical(fs::absolute(folder, error), error);
      if (!error) own_folders_.insert(without_trailing_slash(real));
    }
    if (!own_folders_.empty()) real_root_ = fs::weakly_canonical(fs::absolute(root_), error);
  }

  // Fills `tree` with what lies below the folder `relative`, which the walk enters.
  void collect(const std::string& relative, SourceTree& tree,
               const std::function<void(const std::string&)>& entering = {}) {
    tree_ = &tree;
    entering_ = &entering;
    walk(relative);
    tree_ = nullptr;
    entering_ = nullptr;
  }

  // True when the walk reaches the entry at `relative` and keeps it as a file (`folder`
  // false) or enters it (`folder` true).
  bool keeps(const std::string& relative, bool folder) {
    if (relative.empty()) return folder;
    std::string parent;
    for (std::size_t start = 0;;) {
      std::size_t slash = relative.find('/', start);
      std::string at = relative.substr(0, slash);
      load_ignore_files(parent);
      std::error_code error;
      fs::directory_entry entry(fs::path(root_) / at, error);
      if (error) return false;
      bool is_folder = false;
      std::uintmax_t size = 0;
      if (left_out_because(at, entry, is_folder, size)) return false;
      if (slash == std::string::npos) return is_folder == folder;
      if (!is_folder) return false;
      parent = std::move(at);
      start = slash + 1;
    }
  }

 private:
  void walk(const std::string& relative) {
    fs::path folder = relative.empty() ? fs::path(root_) : fs::path(root_) / relative;
    if (entering_ && *entering_) (*entering_)(relative);
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) {
      if (tree_->folders.empty()) throw OSError(os_error_text(error.value(), folder.string()));
      skip_folder("unreadable");
      return;
    }
    tree_->folders.push_back(relative);
    std::vector<fs::directory_entry> entries;
    for (; it != fs::directory_iterator(); it.increment(error)) {
      if (error) break;
      entries.push_back(*it);
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return a.path().filename() < b.path().filename();
    });

    if (loaded_.insert(relative).second) {
      for (const char* name : kIgnoreFiles) {
        for (const fs::directory_entry& entry : entries) {
          if (entry.path().filename() == name) {
            rules_.add_file(relative, ignore_file_text(entry.path()), name);
          }
        }
      }
    }
    for (const fs::directory_entry& entry : entries) visit(relative, entry);
  }

  // Reads the ignore files of the folder `relative` unless they were read before. A folder's
  // files are read before those of the folders below it, as the walk reads them.
  void load_ignore_files(const std::string& relative) {
    if (!loaded_.insert(relative).second) return;
    fs::path folder = relative.empty() ? fs::path(root_) : fs::path(root_) / relative;
    for (const char* name : kIgnoreFiles) {
      std::string text = ignore_file_text(folder / name);
      if (!text.empty()) rules_.add_file(relative, text, name);
    }
  }

  void visit(const std::string& parent, const fs::directory_entry& entry) {
    std::string name = entry.path().filename().string();
    std::string relative = parent.empty() ? name : parent + "/" + name;
    bool is_folder = false;
    std::uintmax_t size = 0;
    if (const char* reason = left_out_because(relative, entry, is_folder, size)) {
      return is_folder ? skip_folder(reason) : skip_file(reason);
    }
    if (is_folder) return walk(relative);
    tree_->files.push_back(normalize_path(root_ + "/" + relative));
    tree_->total_bytes += size;
  }

  // Why the walk leaves out the entry at `relative`, or nullptr when it keeps it (a folder is
  // then entered). Sets `is_folder`, and `size` for a file kept.
  const char* left_out_because(const std::string& relative, const fs::directory_entry& entry,
                               bool& is_folder, std::uintmax_t& size) const {
    std::string name = entry.path().filename().string();
    std::error_code error;
    bool is_link = entry.is_symlink(error);
    is_folder = !is_link && entry.is_directory(error);
    if (name.front() == '.') return "hidden";
    if (exclude_.is_ignored(relative, is_folder)) return "excluded";
    if (const std::string* source = rules_.excluded_by(relative, is_folder)) {
      return source->c_str();
    }
    if (is_link) return "symbolic link";
    if (is_folder && !own_folders_.empty() &&
        own_folders_.count(without_trailing_slash(real_root_ / relative)) != 0) {
      return "excluded";
    }
    if (is_folder) {
      return is_build_or_dependency_folder(name, entry.path()) ? "build or dependency folder"
                                                               : nullptr;
    }
    if (!filter_.include.empty() && !included(relative)) return "not included";
    if (!entry.is_regular_file(error)) return "unreadable";
    size = entry.file_size(error);
    if (error) return "unreadable";
    if (size > filter_.max_file_bytes) return too_large_.c_str();
    bool readable = false;
    std::string head = read_head(entry.path(), readable);
    if (!readable) return "unreadable";
    if (looks_like_binary(head)) return "binary";
    return nullptr;
  }

  // True when an include pattern matches the file at `relative` or one of its folders.
  bool included(std::string_view relative) const {
    if (include_.is_ignored(relative, false)) return true;
    for (std::size_t slash = relative.find('/'); slash != std::string_view::npos;
         slash = relative.find('/', slash + 1)) {
      if (include_.is_ignored(relative.substr(0, slash), true)) return true;
    }
    return false;
  }

  void skip_file(const char* reason) {
    ++tree_->skipped_files;
    ++tree_->skipped_reasons[reason];
  }

  void skip_folder(const char* reason) {
    ++tree_->skipped_folders;
    ++tree_->skipped_reasons[reason];
  }

  const std::string root_;
  const SourceFilter filter_;
  const std::string too_large_;
  const GitignoreRules include_;  // "excluded" here means matched
  const GitignoreRules exclude_;
  GitignoreRules rules_;
  std::set<std::string> own_folders_;  // filter_.own_folders, real and absolute
  fs::path real_root_;                 // when there are own folders
  std::set<std::string> loaded_;  // the folders whose ignore files are in rules_
  SourceTree* tree_ = nullptr;
  const std::function<void(const std::string&)>* entering_ = nullptr;
};

SourceRules::SourceRules(std::string root, SourceFilter filter)
    : walker_(std::make_unique<SourceWalker>(std::move(root), std::move(filter))) {}

SourceRules::~SourceRules() = default;

bool SourceRules::keeps_file(const std::string& relative) {
  return walker_->keeps(relative, false);
}

bool SourceRules::enters_folder(const std::string& relative) {
  return walker_->keeps(relative, true);
}

SourceTree SourceRules::collect(const std::string& relative,
                                const std::function<void(const std::string&)>& entering) {
  SourceTree tree;
  walker_->collect(relative, tree, entering);
  return tree;
}

bool looks_like_binary(std::string_view head) {
  if (head.find('\0') != std::string_view::npos) return true;
  std::size_t control = 0;
  for (unsigned char c : head) {
    bool text_control = c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\b' || c == 0x1b;
    if ((c < 0x20 && !text_control) || c == 0x7f) ++control;
  }
  return control * 10 > head.size();
}

std::string size_text(std::uint64_t bytes) {
  if (bytes > 0 && bytes % (1u << 30) == 0) return std::to_string(bytes >> 30) + " GB";
  if (bytes > 0 && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MB";
  if (bytes > 0 && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KB";
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

SourceTree collect_source_files(const std::string& root, const SourceFilter& filter) {
  SourceTree tree;
  if (!path_exists(root)) throw OSError(os_error_text(ENOENT, root));
  if (is_directory(root)) {
    SourceWalker(root, filter).collect("", tree);
    return tree;
  }
  std::error_code error;
  std::uintmax_t size = fs::file_size(root, error);
  bool readable = !error;
  std::string head = readable ? read_head(root, readable) : "";
  if (!readable) {
    throw OSError(os_error_text(error ? error.value() : EACCES, root));
  } else if (size > filter.max_file_bytes) {
    tree.skipped_files = 1;
    tree.skipped_reasons["over " + size_text(filter.max_file_bytes)] = 1;
  } else if (looks_like_binary(head)) {
    tree.skipped_files = 1;
    tree.skipped_reasons["binary"] = 1;
  } else {
    tree.files.push_back(normalize_path(root));
    tree.total_bytes = size;
  }
  return tree;
}

}  // namespace vantory::host
