// WordFilter: the words a file holds, kept small enough to store beside every file: a Bloom
// filter of kBitsPerWord bits a word, probed kProbes times. A word the file holds is always
// found; a word it does not hold is taken for held about once in 120 tries. A search asks it
// how much of a question a unit's file holds, without reading the file's units.
//
// Thread-safe: a WordFilter is read-only once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantory::backend {

class WordFilter {
 public:
  static constexpr std::size_t kBitsPerWord = 10;
  static constexpr std::size_t kProbes = 7;

  // The empty filter: holds nothing.
  WordFilter() = default;

  // A filter sized for `words` distinct words; add them with add().
  explicit WordFilter(std::size_t words);

  // Adds a word (as given: callers lower-case it first, as they do the words they ask for).
  void add(std::string_view word);

  // False when the filter surely does not hold `word`.
  bool may_hold(std::string_view word) const;

  // How many words the filter was sized for.
  std::size_t size() const { return words_; }

  // The stored form: the word count (4 bytes, little-endian), then the bits.
  std::string bytes() const;
  // The filter `bytes` stores; a blob too short or of the wrong length for its count gives
  // the empty filter, so a damaged row costs its file this signal and nothing else.
  static WordFilter from_bytes(std::string_view bytes);

 private:
  std::size_t words_ = 0;
  std::string bits_;
};

}  // namespace vantory::backend
