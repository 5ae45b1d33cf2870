#include "backend/retriever/name_match.h"

#include <algorithm>

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
      if (asked.count(part) != 0 || asked.count(stem_word(part)) != 0 || abbreviates(part, asked))
        ++held;
    }
  }
  return parts == 0 ? 0.0 : static_cast<double>(held) / static_cast<double>(parts);
}

}  // namespace vantory::backend
