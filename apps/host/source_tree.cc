#include "apps/host/source_tree.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "apps/host/gitignore.h"
#include "common/error.h"
#include "common/files.h"
#include "common/paths.h"

namespace vantory::host {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBinarySniffBytes = 8000;

bool is_build_or_dependency_folder(const std::string& name, const fs::path& path) {
  static constexpr std::array<std::string_view, 10> kNames = {
      "build",  "dist",        "target",        "_build",        "node_modules", "bower_components",
      "vendor", "__pycache__", "site-packages", "__pypackages__"};
  if (std::find(kNames.begin(), kNames.end(), name) != kNames.end()) return true;
  if (name.rfind("cmake-build-", 0) == 0) return true;
  std::error_code ignored;
  return fs::exists(path / "pyvenv.cfg", ignored);
}

std::string read_head(const fs::path& path, bool& readable) {
  std::ifstream in(path, std::ios::binary);
  std::string head(kBinarySniffBytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  readable = !in.bad() && (in.good() || in.eof());
  head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return head;
}

class Walker {
 public:
  Walker(const std::string& root, const SourceFilter& filter, SourceTree& tree)
      : root_(root),
        filter_(filter),
        too_large_("over " + size_text(filter.max_file_bytes)),
        tree_(tree) {}

  void walk(const std::string& relative) {
    fs::path folder = relative.empty() ? fs::path(root_) : fs::path(root_) / relative;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) {
      if (relative.empty()) throw OSError(os_error_text(error.value(), root_));
      skip_folder("unreadable");
      return;
    }
    std::vector<fs::directory_entry> entries;
    for (; it != fs::directory_iterator(); it.increment(error)) {
      if (error) break;
      entries.push_back(*it);
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return a.path().filename() < b.path().filename();
    });

    for (const fs::directory_entry& entry : entries) {
      if (entry.path().filename() != ".gitignore") continue;
      try {
        rules_.add_file(relative, read_file(entry.path().string()));
      } catch (const OSError&) {
        // An unreadable .gitignore excludes nothing, as in git.
      }
    }
    for (const fs::directory_entry& entry : entries) visit(relative, entry);
  }

 private:
  void visit(const std::string& parent, const fs::directory_entry& entry) {
    std::string name = entry.path().filename().string();
    std::string relative = parent.empty() ? name : parent + "/" + name;
    std::error_code error;
    bool is_link = entry.is_symlink(error);
    bool is_folder = !is_link && entry.is_directory(error);
    auto skip = [&](const char* reason) { is_folder ? skip_folder(reason) : skip_file(reason); };
    if (name.front() == '.') return skip("hidden");
    if (rules_.is_ignored(relative, is_folder)) return skip(".gitignore");
    if (is_link) return skip("symbolic link");
    if (is_folder) {
      if (is_build_or_dependency_folder(name, entry.path())) {
        return skip_folder("build or dependency folder");
      }
      return walk(relative);
    }
    if (!entry.is_regular_file(error)) return skip_file("unreadable");
    std::uintmax_t size = entry.file_size(error);
    if (error) return skip_file("unreadable");
    if (size > filter_.max_file_bytes) return skip_file(too_large_.c_str());
    bool readable = false;
    std::string head = read_head(entry.path(), readable);
    if (!readable) return skip_file("unreadable");
    if (looks_like_binary(head)) return skip_file("binary");
    tree_.files.push_back(normalize_path(root_ + "/" + relative));
  }

  void skip_file(const char* reason) {
    ++tree_.skipped_files;
    ++tree_.skipped_reasons[reason];
  }

  void skip_folder(const char* reason) {
    ++tree_.skipped_folders;
    ++tree_.skipped_reasons[reason];
  }

  const std::string& root_;
  const SourceFilter& filter_;
  const std::string too_large_;
  SourceTree& tree_;
  GitignoreRules rules_;
};

}  // namespace

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
    Walker(root, filter, tree).walk("");
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
  }
  return tree;
}

}  // namespace vantory::host
