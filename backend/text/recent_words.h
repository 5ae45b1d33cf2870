// RecentWords: which words of a text were met a moment ago, so that a loop over a text's words
// can skip the work it did for a word already (source text repeats its identifiers). A few
// hundred words are remembered, each in a slot chosen by a cheap hash; a word whose slot a
// later word took is met again as new. So "met" is certain and "new" may be repeated work,
// never a wrong answer: use it only where doing a word's work twice changes nothing.
//
// The words are views: the text they are in must outlive the RecentWords.
// Not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace vantory::backend {

// A cheap hash of a word (its length and three of its bytes), to choose a slot.
inline std::size_t cheap_word_hash(std::string_view word) {
  std::size_t hash = word.size() * 31;
  if (!word.empty()) {
    hash += static_cast<unsigned char>(word.front()) * 7 + static_cast<unsigned char>(word.back());
    hash += static_cast<unsigned char>(word[word.size() / 2]) * 131;
  }
  return hash;
}

class RecentWords {
 public:
  // A prime: the sums of cheap_word_hash spread over it.
  static constexpr std::size_t kSlots = 509;

  // True when `word` was met since its slot last changed hands; else remembers it.
  bool met(std::string_view word) {
    std::string_view& held = slots_[cheap_word_hash(word) % kSlots];
    if (held.data() != nullptr && held == word) return true;
    held = word;
    return false;
  }

 private:
  std::array<std::string_view, kSlots> slots_{};
};

}  // namespace vantory::backend
