#include "backend/text/run_together.h"

#include <algorithm>

#include "backend/text/identifiers.h"
#include "backend/text/recent_words.h"

namespace vantory::backend {

namespace {

bool ascii_letters(std::string_view word) {
  return std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

}  // namespace

bool may_run_together(std::string_view word) {
  return word.size() >= 2 * FileWords::kMinPiece &&
         std::all_of(word.begin(), word.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

void FileWords::add_text(std::string_view text) {
  std::string lowered;
  RecentWords recent;
  visit_words(text, [&](std::string_view word) {
    if (word.size() < kMinPiece) return;  // nor are any of its parts
    if (recent.met(word)) return;         // its parts are in already
    visit_subwords(word, [&](std::string_view part) {
      if (part.size() < kMinPiece || !ascii_letters(part)) return;
      assign_lower_word(lowered, part);
      words_.insert(lowered);
    });
  });
}

WordFilter FileWords::filter() const {
  if (words_.empty()) return {};
  WordFilter filter(words_.size());
  for (const std::string& word : words_) filter.add(word);
  return filter;
}

std::vector<std::string> FileWords::split(std::string_view word) const {
  if (!may_run_together(word) || word.size() > kMaxWord || words_.empty()) return {};
  // pieces[i]: the fewest pieces that spell word[0, i), 0 when none; from[i]: where the last
  // of them starts.
  std::size_t n = word.size();
  std::vector<std::size_t> pieces(n + 1, 0);
  std::vector<std::size_t> from(n + 1, 0);
  std::string piece;
  for (std::size_t end = kMinPiece; end <= n; ++end) {
    for (std::size_t start = 0; start + kMinPiece <= end; ++start) {
      if (start > 0 && pieces[start] == 0) continue;
      if (start == 0 && end == n) continue;  // the word itself
      std::size_t count = start == 0 ? 1 : pieces[start] + 1;
      if (pieces[end] != 0 && pieces[end] <= count) continue;
      piece.assign(word.substr(start, end - start));
      if (words_.count(piece) == 0) continue;
      pieces[end] = count;
      from[end] = start;
    }
  }
  if (pieces[n] < 2) return {};
  std::vector<std::string> out;
  for (std::size_t end = n; end > 0; end = from[end]) {
    out.emplace_back(word.substr(from[end], end - from[end]));
  }
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace vantory::backend
