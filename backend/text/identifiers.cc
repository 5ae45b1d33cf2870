#include "backend/text/identifiers.h"

#include "common/unicode.h"

namespace vantory::backend {

namespace {

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
  std::vector<std::string_view> words;
  visit_words(text, [&](std::string_view word) { words.push_back(word); });
  return words;
}

bool is_word_code_point(std::string_view text, std::size_t& pos) {
  return is_alnum(next_code_point(text, pos));
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
