#include "backend/retriever/question_coverage.h"

#include <algorithm>
#include <cmath>

#include "backend/retriever/keyword_vocabulary.h"
#include "backend/text/identifiers.h"
#include "backend/text/stemming.h"

namespace vantory::backend {

QuestionWords::QuestionWords(std::string_view query, Database& db,
                             KeywordVocabulary& vocabulary) {
  auto chunks = static_cast<double>(vocabulary.total_chunks(db));
  for (std::string& word : query_words(query)) {
    if (words_.size() == kMaxWords) break;
    if (is_stop_word(word)) continue;
    if (std::any_of(words_.begin(), words_.end(), [&](const Word& w) { return w.word == word; }))
      continue;
    std::string stem = stem_word(word);
    if (stem == word) stem.clear();
    std::int64_t docs = vocabulary.chunks_holding(db, word);
    if (!stem.empty()) docs = std::max(docs, vocabulary.chunks_holding(db, stem));
    if (docs <= 0) continue;
    // BM25's inverse document frequency, which is never negative.
    auto held = static_cast<double>(docs);
    double weight = std::log(1.0 + (chunks - held + 0.5) / (held + 0.5));
    total_ += weight;
    for (const std::string* form : {&word, &stem}) {
      if (!form->empty() && static_cast<unsigned char>(form->front()) < 0x80)
        starts_[static_cast<unsigned char>(form->front())] = true;
    }
    words_.push_back({std::move(word), std::move(stem), weight});
  }
}

double QuestionWords::coverage(const ChunkSearchText& text) const {
  if (words_.empty() || total_ <= 0) return 0;
  // A question has a few words and a unit hundreds: each of the unit's words is looked for
  // among the question's.
  std::vector<bool> held(words_.size(), false);
  std::size_t left = words_.size();
  std::string lowered;
  for (const std::string* field :
       {&text.name, &text.path, &text.summary, &text.subwords, &text.content}) {
    for (std::string_view word : words_of(*field)) {
      // Most of a unit's words start with a letter that none of the question's starts with.
      auto first = static_cast<unsigned char>(word.front());
      if (first < 0x80 && !starts_[first >= 'A' && first <= 'Z' ? first - 'A' + 'a' : first])
        continue;
      assign_lower_word(lowered, word);
      for (std::size_t i = 0; i < words_.size(); ++i) {
        if (held[i] || (lowered != words_[i].word && lowered != words_[i].stem)) continue;
        held[i] = true;
        if (--left == 0) return 1.0;
      }
    }
  }
  double found = 0;
  for (std::size_t i = 0; i < words_.size(); ++i) {
    if (held[i]) found += words_[i].weight;
  }
  return found / total_;
}

double QuestionWords::file_coverage(const WordFilter& words, std::string_view path_words) const {
  if (words_.empty() || total_ <= 0) return 0;
  std::vector<bool> held(words_.size(), false);
  std::string lowered;
  for (std::string_view word : words_of(path_words)) {
    assign_lower_word(lowered, word);
    for (std::size_t i = 0; i < words_.size(); ++i) {
      if (lowered == words_[i].word || lowered == words_[i].stem) held[i] = true;
    }
  }
  double found = 0;
  for (std::size_t i = 0; i < words_.size(); ++i) {
    const Word& word = words_[i];
    if (held[i] || words.may_hold(word.word) || (!word.stem.empty() && words.may_hold(word.stem)))
      found += word.weight;
  }
  return found / total_;
}

}  // namespace vantory::backend
