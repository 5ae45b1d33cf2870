#include "apps/host/allowed_roots.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "common/paths.h"

namespace vantory::host {

namespace fs = std::filesystem;

std::string resolved_path(const std::string& path) {
  std::string absolute = absolute_path(path.empty() ? "." : path, current_directory());
  std::error_code error;
  fs::path real = fs::weakly_canonical(absolute, error);
  // A path that cannot be examined at all (a folder on the way that may not be searched) is
  // judged by its letters; whatever lies behind it cannot be read either.
  return normalize_path(error ? absolute : real.string());
}

AllowedRoots::AllowedRoots(const std::vector<std::string>& roots) {
  for (const std::string& root : roots) {
    std::string real = resolved_path(root);
    if (std::find(roots_.begin(), roots_.end(), real) == roots_.end()) roots_.push_back(real);
  }
}

std::vector<std::string> AllowedRoots::from_environment() {
  std::vector<std::string> roots;
  if (const char* value = std::getenv("VANTORY_ALLOWED_ROOTS")) {
    std::string_view rest = value;
    while (!rest.empty()) {
      std::size_t colon = rest.find(':');
      if (colon != 0) roots.emplace_back(rest.substr(0, colon));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  if (roots.empty()) roots.push_back(current_directory());
  return roots;
}

std::string AllowedRoots::describe() const {
  std::string text;
  for (const std::string& root : roots_) text += (text.empty() ? "" : ", ") + root;
  return text.empty() ? "none" : text;
}

bool AllowedRoots::holds(const std::string& real) const {
  return std::any_of(roots_.begin(), roots_.end(),
                     [&](const std::string& root) { return is_at_or_below(real, root); });
}

bool AllowedRoots::contains(const std::string& path) const { return holds(resolved_path(path)); }

void AllowedRoots::check(const std::string& path) const {
  std::string real = resolved_path(path);
  if (holds(real)) return;
  std::string lexical =
      normalize_path(absolute_path(path.empty() ? "." : path, current_directory()));
  std::string where = "'" + path + "'";
  if (real != lexical) where += " (which leads to '" + real + "')";
  throw PermissionError(where + " is outside the allowed roots: " + describe());
}

}  // namespace vantory::host
