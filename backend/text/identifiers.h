// Words and identifier sub-words of source text, shared by the keyword index, the query
// parser and the local embedder so that all three see the same vocabulary.
//
// Thread-safe: pure functions.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantory::backend {

// The words of `text`: maximal runs of letters, digits and underscores (any Unicode letter or
// digit counts), in order. Views into `text`.
std::vector<std::string_view> words_of(std::string_view text);

// Calls `visit(word)` for each word of `text`, in order, as words_of lists them: for loops
// over long texts, which need no list.
template <typename Visit>
void visit_words(std::string_view text, Visit&& visit);

// True when the code point that starts at byte `pos` of `text` (0x80 or more) is a letter or
// a digit; moves `pos` past it.
bool is_word_code_point(std::string_view text, std::size_t& pos);

// Calls `visit(part)` for each sub-word of one identifier, in order, as views into `word` in
// their original case: split at underscores, at a lower-case letter or digit followed by an
// upper-case one (parseHttp -> parse, Http) and before the last capital of a run of capitals
// followed by a lower-case letter (HTTPServer -> HTTP, Server). Digits stay with the letters
// before them (utf8, md5sum). Empty parts are skipped. Answers the number of parts.
template <typename Visit>
std::size_t visit_subwords(std::string_view word, Visit&& visit);

// The sub-words of one identifier (as visit_subwords), lower-cased.
std::vector<std::string> split_identifier(std::string_view word);

// `word` lower-cased (full Unicode mapping).
std::string lower_word(std::string_view word);
// The same into `out`, which keeps its storage: for loops over many words.
void assign_lower_word(std::string& out, std::string_view word);

template <typename Visit>
void visit_words(std::string_view text, Visit&& visit) {
  // Which ASCII bytes make words; a byte of 0x80 or more starts a code point looked up apart.
  static constexpr auto kWordByte = [] {
    std::array<bool, 128> table{};
    for (int c = 0; c < 128; ++c) {
      table[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '_';
    }
    return table;
  }();
  const std::size_t size = text.size();
  std::size_t pos = 0;
  std::size_t start = std::string_view::npos;
  while (pos < size) {
    std::size_t here = pos;
    auto c = static_cast<unsigned char>(text[pos]);
    bool word_char;
    if (c < 0x80) {
      word_char = kWordByte[c];
      ++pos;
      if (word_char) {
        // The rest of an ASCII run at once: most of a source text.
        while (pos < size && static_cast<unsigned char>(text[pos]) < 0x80 &&
               kWordByte[static_cast<unsigned char>(text[pos])]) {
          ++pos;
        }
      }
    } else {
      word_char = is_word_code_point(text, pos);
    }
    if (word_char) {
      if (start == std::string_view::npos) start = here;
    } else if (start != std::string_view::npos) {
      visit(text.substr(start, here - start));
      start = std::string_view::npos;
    }
  }
  if (start != std::string_view::npos) visit(text.substr(start));
}

template <typename Visit>
std::size_t visit_subwords(std::string_view word, Visit&& visit) {
  auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  auto lower = [](char c) { return c >= 'a' && c <= 'z'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t count = 0;
  auto emit = [&](std::string_view part) {
    if (part.empty()) return;
    ++count;
    visit(part);
  };
  std::size_t piece_start = 0;
  for (std::size_t i = 0; i <= word.size(); ++i) {
    if (i < word.size() && word[i] != '_') continue;
    std::string_view piece = word.substr(piece_start, i - piece_start);
    std::size_t start = 0;
    for (std::size_t j = 1; j < piece.size(); ++j) {
      char prev = piece[j - 1];
      char cur = piece[j];
      bool boundary = (upper(cur) && (lower(prev) || digit(prev))) ||
                      (upper(prev) && upper(cur) && j + 1 < piece.size() && lower(piece[j + 1]));
      if (boundary) {
        emit(piece.substr(start, j - start));
        start = j;
      }
    }
    emit(piece.substr(start));
    piece_start = i + 1;
  }
  return count;
}

}  // namespace vantory::backend
