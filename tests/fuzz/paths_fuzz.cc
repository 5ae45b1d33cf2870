// The lexical path operations on any bytes: normalising twice changes nothing, a normalised
// path holds no empty, "." or misplaced ".." segment, an absolute path made from any input
// stays below "/", and names and stems are the pieces of the path they come from.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/paths.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::vector<std::string_view> segments_of(std::string_view path) {
  std::vector<std::string_view> segments;
  std::size_t start = path.find_first_not_of('/');
  while (start != std::string_view::npos && start < path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    segments.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return segments;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

void check_normalized(std::string_view path, std::string_view normal) {
  FUZZ_CHECK(!normal.empty());
  FUZZ_CHECK(vantory::normalize_path(normal) == normal);
  bool absolute = !path.empty() && path[0] == '/';
  FUZZ_CHECK(absolute == (normal[0] == '/'));
  FUZZ_CHECK(normal.substr(0, 3) != "///");
  std::string_view body = normal.substr(normal.find_first_not_of('/') == std::string_view::npos
                                            ? normal.size()
                                            : normal.find_first_not_of('/'));
  FUZZ_CHECK(body.find("//") == std::string_view::npos);
  if (normal == ".") return;
  bool climbing = !absolute;  // ".." may only open a relative path
  for (std::string_view segment : segments_of(normal)) {
    FUZZ_CHECK(!segment.empty() && segment != ".");
    if (segment == "..") FUZZ_CHECK(climbing);
    climbing = climbing && segment == "..";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view path(reinterpret_cast<const char*>(data), size);
  check_normalized(path, vantory::normalize_path(path));

  std::string absolute = vantory::absolute_path(path, "/srv/work");
  FUZZ_CHECK(!absolute.empty() && absolute[0] == '/');
  for (std::string_view segment : segments_of(absolute)) {
    FUZZ_CHECK(!segment.empty() && segment != ".");
  }

  std::string_view base = vantory::base_name(path);
  FUZZ_CHECK(ends_with(path, base) && base.find('/') == std::string_view::npos);
  std::string_view stem = vantory::file_stem(path);
  FUZZ_CHECK(base.substr(0, stem.size()) == stem);
  FUZZ_CHECK(stem.empty() == base.empty());
  return 0;
}
