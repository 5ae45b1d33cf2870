// The keywords of a chunk: its identifiers and their sub-words, lower-cased and distinct.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vantory::backend {

// The sub-words of an identifier: split at underscores and other non-alphanumeric characters
// and at camelCase humps ("parseHTTPResponse2" gives "parse", "HTTP", "Response2").
std::vector<std::string_view> identifier_parts(std::string_view identifier);

// Collects keywords in the order first seen, up to a limit. The identifiers handed in must
// stay alive as long as the collector (it remembers them to skip repeats cheaply).
class KeywordCollector {
 public:
  explicit KeywordCollector(std::size_t limit = 48) : limit_(limit) {}

  // Adds the identifier lower-cased and, when it has more than one, its sub-words. Words of
  // one character and the receiver names self, cls and this carry no meaning and are skipped.
  void add_identifier(std::string_view identifier);
  // Adds every identifier-like word ([A-Za-z_][A-Za-z0-9_]*) of free text.
  void add_words(std::string_view text);
  bool full() const { return words_.size() >= limit_; }
  std::vector<std::string> take() { return std::move(words_); }

 private:
  void add_word(std::string_view word);

  std::size_t limit_;
  std::unordered_set<std::string_view> seen_identifiers_;
  std::unordered_set<std::string> seen_words_;
  std::vector<std::string> words_;
};

}  // namespace vantory::backend
