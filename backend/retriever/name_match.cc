#include "backend/retriever/name_match.h"

#include <algorithm>
#include <vector>

#include "backend/text/identifiers.h"
#include "backend/text/search_text.h"
#include "backend/text/stemming.h"

namespace vantory::backend {

std::unordered_set<std::string> asked_words(std::string_view query) {
  std::vector<std::string> terms = query_terms(query);
  std::unordered_set<std::string> asked(terms.begin(), terms.end());
  for (const std::string& word : query_words(query)) {
    if (!is_stop_word(word)) asked.insert(stem_word(word));
  }
  return asked;
}

namespace {

// Whether `part` abbreviates one of the asked words: names shorten the words a question spells
// out (win for windows, str for string, buf for buffer). Three letters at least, so that a
// letter or two never stands for a word.
bool abbreviates(const std::string& part, const std::unordered_set<std::string>& asked) {
  if (part.size() < 3) return false;
  return std::any_of(asked.begin(), asked.end(), [&](const std::string& word) {
    return word.size() > part.size() && word.compare(0, part.size(), part) == 0;
  });
}

// Whether `part`, a run of letters with no mark between its words (randint, getenv), is
// spelled by two or more pieces each of which is an asked word or abbreviates one: randint
// for "random integer".
bool spelled_by_asked(const std::string& part, const std::unordered_set<std::string>& asked) {
  constexpr std::size_t kMinPiece = 3;
  constexpr std::size_t kMaxPart = 40;
  std::size_t n = part.size();
  if (n < 2 * kMinPiece || n > kMaxPart ||
      !std::all_of(part.begin(), part.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
    return false;
  }
  // reached[i]: whether part[0, i) is spelled by pieces. A piece is an asked word or abbreviates
  // one: it is a beginning of an asked word, so each asked word that begins as the rest of
  // `part` does reaches as far as the two agree.
  std::vector<bool> reached(n + 1, false);
  reached[0] = true;
  for (std::size_t start = 0; start + kMinPiece <= n; ++start) {
    if (!reached[start]) continue;
    for (const std::string& word : asked) {
      std::size_t agree = 0;
      while (agree < word.size() && start + agree < n && word[agree] == part[start + agree]) {
        ++agree;
      }
      for (std::size_t length = kMinPiece; length <= agree; ++length) {
        if (start > 0 || length < n) reached[start + length] = true;
      }
    }
  }
  return reached[n];
}

}  // namespace

double name_coverage(std::string_view name, const std::unordered_set<std::string>& asked) {
  std::size_t cut = name.find_last_of(".:");
  if (cut != std::string_view::npos && cut + 1 < name.size()) name.remove_prefix(cut + 1);
  std::size_t parts = 0;
  std::size_t held = 0;
  for (std::string_view word : words_of(name)) {
    if (asked.count(lower_word(word)) != 0) return 1.0;
    for (const std::string& part : split_identifier(word)) {
      if (is_stop_word(part)) continue;  // is_valid, to_string: the small words say nothing
      ++parts;
      if (asked.count(part) != 0 || asked.count(stem_word(part)) != 0 ||
          abbreviates(part, asked) || spelled_by_asked(part, asked))
        ++held;
    }
  }
  return parts == 0 ? 0.0 : static_cast<double>(held) / static_cast<double>(parts);
}

}  // namespace vantory::backend
