// Words run together without a mark between them (`setraw`, `iterdir`, `splitdrive`), cut by
// the words a file itself uses elsewhere. Python's and C's libraries name much of their code
// so, and a question spells the words apart ("split a pathname into drive and path"); the
// camel-case and underscore rules of identifiers.h cannot see the seam.
//
// Thread-safe: a FileWords is read-only once built.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "backend/text/word_filter.h"

namespace vantory::backend {

// The words of one file that may be pieces of its run-together names: the lower-cased
// sub-words of its compound identifiers (read_file gives read, file) and its words that are
// one part (in comments, strings and short names), of kMinPiece letters or more.
class FileWords {
 public:
  // A piece is at least this long, so that a letter or two never stands for a word.
  static constexpr std::size_t kMinPiece = 3;

  // Adds the words of `text` (any source text, as words_of reads it).
  void add_text(std::string_view text);

  // The pieces of `word` (lower-case ASCII letters only, at most kMaxWord long): the fewest
  // words of the file, at least two, that spell it, each of kMinPiece letters or more (among
  // as few, the one whose last piece is longest, and so on back); empty when there are none.
  // `word` itself does not count as one of the file's words: a name is no evidence of its
  // own pieces.
  std::vector<std::string> split(std::string_view word) const;

  // The file's words as a filter (word_filter.h); empty when it has none.
  WordFilter filter() const;

 private:
  static constexpr std::size_t kMaxWord = 40;

  std::unordered_set<std::string> words_;
};

// Whether `word` is a candidate for FileWords::split: lower-case ASCII letters only, long
// enough for two pieces.
bool may_run_together(std::string_view word);

}  // namespace vantory::backend
