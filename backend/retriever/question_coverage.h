// How much of a question a unit holds. BM25 sums what each word earns in each field, so a
// unit whose name holds two of the words (end_integer for "return a random integer in a
// range") can outrank one that holds most of them across its code and comments (randrange:
// random, integer, range). The share of the question's words a unit holds anywhere, each
// weighed by how rare it is in the code base, says how much of the question the unit is about.
//
// Thread-safe: QuestionWords is read-only once built; coverage is a pure function.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "backend/text/search_text.h"
#include "backend/text/word_filter.h"

namespace vantory::backend {

class Database;
class KeywordVocabulary;

class QuestionWords {
 public:
  // The words of `query` that are no stop words (the first kMaxWords distinct ones), each
  // with its Snowball stem, weighed by the inverse of the share of chunks that hold it (or its
  // stem, whichever more hold). A word that no chunk holds is left out: no unit can hold it.
  QuestionWords(std::string_view query, Database& db, KeywordVocabulary& vocabulary);

  // The weighed share (0 to 1) of the question's words that `text` holds, as words of its
  // name, summary, content, sub-words or path, by the word or by its stem; 0 when the
  // question has no words to hold.
  double coverage(const ChunkSearchText& text) const;

  // The same share for a unit's file: of the question's words, those that the words of the
  // file's chunks (`words`) or the words of its path (path_terms) hold.
  double file_coverage(const WordFilter& words, std::string_view path_words) const;

  static constexpr std::size_t kMaxWords = 64;

 private:
  struct Word {
    std::string word;
    std::string stem;  // empty when it is the word
    double weight = 0;
  };
  std::vector<Word> words_;
  double total_ = 0;
  // The ASCII characters a word or stem of the question starts with (lower case).
  std::array<bool, 128> starts_{};
};

}  // namespace vantory::backend
