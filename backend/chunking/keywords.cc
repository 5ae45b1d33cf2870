#include "backend/chunking/keywords.h"

#include "common/unicode.h"

namespace vantory::backend {
namespace {

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_byte(char c) {
  return is_lower(c) || is_upper(c) || is_digit(c) || static_cast<unsigned char>(c) >= 0x80;
}

std::string lower(std::string_view word) {
  for (char c : word) {
    if (static_cast<unsigned char>(c) >= 0x80) return to_lower(word);
  }
  std::string out(word);
  for (char& c : out) {
    if (is_upper(c)) c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::vector<std::string_view> identifier_parts(std::string_view identifier) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  const std::size_t n = identifier.size();
  while (i < n) {
    if (!is_word_byte(identifier[i])) {
      ++i;
      continue;
    }
    std::size_t start = i;
    ++i;
    while (i < n && is_word_byte(identifier[i])) {
      char prev = identifier[i - 1];
      char c = identifier[i];
      // A hump starts at an upper-case letter after a lower-case letter or digit, and at the
      // last capital of a run followed by a lower-case letter ("HTTPResponse").
      bool hump = is_upper(c) && (is_lower(prev) || is_digit(prev) ||
                                  (is_upper(prev) && i + 1 < n && is_lower(identifier[i + 1])));
      if (hump) break;
      ++i;
    }
    parts.push_back(identifier.substr(start, i - start));
  }
  return parts;
}

void KeywordCollector::add_identifier(std::string_view identifier) {
  if (full() || !seen_identifiers_.insert(identifier).second) return;
  add_word(identifier);
  std::vector<std::string_view> parts = identifier_parts(identifier);
  if (parts.size() > 1) {
    for (std::string_view part : parts) add_word(part);
  }
}

void KeywordCollector::add_words(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && !full()) {
    char c = text[i];
    if (!(is_lower(c) || is_upper(c) || c == '_')) {
      ++i;
      continue;
    }
    std::size_t start = i;
    while (i < text.size() && (is_word_byte(text[i]) || text[i] == '_')) ++i;
    add_identifier(text.substr(start, i - start));
  }
}

void KeywordCollector::add_word(std::string_view word) {
  while (!word.empty() && (word.front() == '_' || word.front() == '$' || word.front() == '#')) {
    word.remove_prefix(1);
  }
  while (!word.empty() && word.back() == '_') word.remove_suffix(1);
  if (word.size() < 2 || full()) return;
  std::string lowered = lower(word);
  if (lowered == "self" || lowered == "cls" || lowered == "this") return;
  if (seen_words_.insert(lowered).second) words_.push_back(std::move(lowered));
}

}  // namespace vantory::backend
