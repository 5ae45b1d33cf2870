#include "common/paths.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/files.h"

namespace vantory {

namespace {

std::vector<std::string_view> split_segments(std::string_view path) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    segments.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return segments;
}

std::string join_segments(const std::vector<std::string_view>& segments) {
  std::string out;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i) out.push_back('/');
    out.append(segments[i]);
  }
  return out;
}

}  // namespace

std::string normalize_path(std::string_view path) {
  if (path.empty()) return ".";
  int leading = 0;
  if (path[0] == '/') {
    leading = 1;
    if (path.size() > 1 && path[1] == '/' && (path.size() == 2 || path[2] != '/')) leading = 2;
  }
  std::vector<std::string_view> kept;
  for (std::string_view segment : split_segments(path)) {
    if (segment.empty() || segment == ".") continue;
    if (segment != ".." || (leading == 0 && kept.empty()) || (!kept.empty() && kept.back() == "..")) {
      kept.push_back(segment);
    } else if (!kept.empty()) {
      kept.pop_back();
    }
  }
  std::string out(static_cast<std::size_t>(leading), '/');
  out += join_segments(kept);
  return out.empty() ? "." : out;
}

bool is_normalized_path(std::string_view path) {
  if (path.empty()) return false;
  if (path == ".") return true;
  std::size_t leading = 0;
  if (path[0] == '/') {
    leading = path.size() > 1 && path[1] == '/' && (path.size() == 2 || path[2] != '/') ? 2 : 1;
  }
  std::string_view rest = path.substr(leading);
  if (rest.empty()) return true;  // "/" or "//"
  bool only_parents = leading == 0;  // ".." may lead a relative path, and only there
  for (std::string_view segment : split_segments(rest)) {
    if (segment.empty() || segment == ".") return false;
    if (segment == "..") {
      if (!only_parents) return false;
    } else {
      only_parents = false;
    }
  }
  return true;
}

bool is_at_or_below(std::string_view path, std::string_view folder) {
  if (folder == ".") {
    return path.empty() || (path.front() != '/' && path != ".." && path.substr(0, 3) != "../");
  }
  if (folder == "/") return !path.empty() && path.front() == '/';
  return path.substr(0, folder.size()) == folder &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string_view base_name(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view file_stem(std::string_view path) {
  std::string_view base = base_name(path);
  std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return base;
  // Dots at the start of the name start no extension.
  std::size_t first_other = base.find_first_not_of('.');
  if (first_other == std::string_view::npos || first_other > dot) return base;
  return base.substr(0, dot);
}

std::string absolute_path(std::string_view path, std::string_view cwd) {
  std::string joined;
  if (!path.empty() && path[0] == '/') {
    joined = std::string(path);
  } else {
    joined = std::string(cwd);
    joined.push_back('/');
    joined.append(path);
  }
  bool two_slashes = joined.size() >= 2 && joined[0] == '/' && joined[1] == '/' &&
                     (joined.size() == 2 || joined[2] != '/');
  std::vector<std::string_view> kept;
  for (std::string_view segment : split_segments(joined)) {
    if (segment.empty() || segment == ".") continue;
    kept.push_back(segment);
  }
  return (two_slashes ? "//" : "/") + join_segments(kept);
}

std::string current_directory() {
  std::string buf(256, '\0');
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) throw OSError(os_error_text(errno, "."));
    buf.resize(buf.size() * 2);
  }
  buf.resize(buf.find('\0'));
  return buf;
}

}  // namespace vantory
