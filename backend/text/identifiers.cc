#include "backend/text/identifiers.h"

#include <array>

#include "common/unicode.h"

namespace vantory::backend {

namespace {

constexpr bool is_ascii_word_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

bool is_plain_ascii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

void append_lower_ascii(std::string& out, std::string_view s) {
  for (char c : s) out.push_back(is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c);
}

}  // namespace

std::vector<std::string_view> words_of(std::string_view text) {
  // Which ASCII bytes make words; a byte of 0x80 or more starts a code point looked up below.
  static constexpr auto kWordByte = [] {
    std::array<bool, 128> table{};
    for (int c = 0; c < 128; ++c) table[c] = is_ascii_word_byte(static_cast<unsigned char>(c));
    return table;
  }();
  std::vector<std::string_view> words;
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
      word_char = is_alnum(next_code_point(text, pos));
    }
    if (word_char) {
      if (start == std::string_view::npos) start = here;
    } else if (start != std::string_view::npos) {
      words.push_back(text.substr(start, here - start));
      start = std::string_view::npos;
    }
  }
  if (start != std::string_view::npos) words.push_back(text.substr(start));
  return words;
}

std::string lower_word(std::string_view word) {
  if (is_plain_ascii(word)) {
    std::string out;
    out.reserve(word.size());
    append_lower_ascii(out, word);
    return out;
  }
  return to_lower(word);
}

void assign_lower_word(std::string& out, std::string_view word) {
  if (is_plain_ascii(word)) {
    out.clear();
    append_lower_ascii(out, word);
  } else {
    out = to_lower(word);
  }
}

std::vector<std::string> split_identifier(std::string_view word) {
  std::vector<std::string> parts;
  visit_subwords(word, [&](std::string_view part) { parts.push_back(lower_word(part)); });
  return parts;
}

}  // namespace vantory::backend
