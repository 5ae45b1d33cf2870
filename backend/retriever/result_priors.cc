#include "backend/retriever/result_priors.h"

#include <algorithm>
#include <array>
#include <functional>

#include "backend/text/identifiers.h"
#include "backend/text/search_text.h"

namespace vantory::backend {

namespace {

constexpr std::array<std::string_view, 18> kSecondaryFolders = {
    "test",     "tests",   "testing",   "__tests__", "spec",  "specs",
    "fixtures", "fixture", "testdata",  "test_data", "fuzz",  "fuzzing",
    "corpus",   "seeds",   "generated", "__mocks__", "mocks", "seed_corpus"};

constexpr std::array<std::string_view, 13> kDataExtensions = {
    "json", "csv", "tsv", "txt", "xml", "dat", "svg", "lock", "yaml", "yml", "toml", "ini", "bin"};

constexpr std::array<std::string_view, 9> kTestWords = {
    "test", "tests", "testing", "unittest", "fixture", "fixtures", "fuzz", "mock", "mocks"};

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

template <std::size_t N>
bool one_of(std::string_view word, const std::array<std::string_view, N>& words) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

}  // namespace

bool is_secondary_path(std::string_view path) {
  std::string lowered = lower_word(path);
  std::string_view rest = lowered;
  std::string_view base = rest;
  for (std::size_t slash; (slash = rest.find('/')) != std::string_view::npos;) {
    if (one_of(rest.substr(0, slash), kSecondaryFolders)) return true;
    rest.remove_prefix(slash + 1);
    base = rest;
  }
  std::size_t dot = base.rfind('.');
  std::string_view stem = dot == std::string_view::npos || dot == 0 ? base : base.substr(0, dot);
  std::string_view extension =
      dot == std::string_view::npos || dot == 0 ? std::string_view() : base.substr(dot + 1);
  if (one_of(extension, kDataExtensions)) return true;
  return starts_with(stem, "test_") || ends_with(stem, "_test") || ends_with(stem, "_tests") ||
         ends_with(stem, ".test") || ends_with(stem, ".spec") || stem == "conftest" ||
         ends_with(stem, "_pb2") || ends_with(stem, ".pb") || ends_with(stem, ".min") ||
         ends_with(stem, ".generated") || ends_with(stem, "_generated");
}

bool asks_for_tests(const std::vector<std::string>& words,
                    const std::function<bool(const std::string&)>& names_code) {
  // Neighbours are counted across small words, as joins are (query_terms).
  std::vector<const std::string*> meaningful;
  for (const std::string& word : words) {
    if (!is_stop_word(word)) meaningful.push_back(&word);
  }
  for (std::size_t i = 0; i < meaningful.size(); ++i) {
    if (!one_of(*meaningful[i], kTestWords)) continue;
    // With the word before or after it, the word may name code rather than ask for tests:
    // "test case" where the code base defines TestCase, "skip a test" where it defines
    // SkipTest.
    bool named = false;
    for (std::size_t j : {i, i + 1}) {
      if (j == 0 || j >= meaningful.size() || !names_code) continue;
      const std::string& a = *meaningful[j - 1];
      const std::string& b = *meaningful[j];
      if (names_code(a + b) || names_code(a + "_" + b)) named = true;
    }
    if (!named) return true;
  }
  return false;
}

bool is_anonymous_unit(std::string_view type) { return type == "block" || type == "import"; }

bool is_declaration_unit(std::string_view type) { return type == "declaration"; }

}  // namespace vantory::backend
