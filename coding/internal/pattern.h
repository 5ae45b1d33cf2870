// Pattern: a compiled regular expression in UTF + UCP mode, so \w, \s, \d and \b follow the
// Unicode character properties rather than ASCII. Subjects are UTF-8; invalid byte sequences
// never match a character class and never make a search fail.
//
// Thread safety: a compiled Pattern is immutable and may be shared between threads; every
// search allocates its own match state. Compile a fixed pattern once (a function-local static)
// and reuse it.
// Internal to libtarnel.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantory {

class Pattern {
 public:
  // One match: byte offsets into the subject; groups[i] is capture group i + 1, empty when the
  // group did not take part.
  struct Match {
    std::size_t start = 0;
    std::size_t end = 0;
    std::vector<std::string_view> groups;
  };

  // Compiles `pattern`. Throws ValueError naming the pattern and the position of the error.
  explicit Pattern(std::string_view pattern);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // The first match that starts at or after byte `offset` of `subject`, or nothing.
  std::optional<Match> search(std::string_view subject, std::size_t offset = 0) const;

  // True when the pattern matches starting exactly at byte `offset`.
  bool matches_at(std::string_view subject, std::size_t offset) const;

  // Every non-overlapping match, left to right (an empty match moves the search on by one
  // character).
  std::vector<Match> find_all(std::string_view subject) const;

  // `literal` as pattern text that matches exactly that text: every ASCII character other than
  // a letter, a digit or "_" is escaped.
  static std::string escape(std::string_view literal);

 private:
  std::optional<Match> match(std::string_view subject, std::size_t offset, bool anchored) const;

  struct Code;
  std::unique_ptr<Code> code_;
};

}  // namespace vantory
