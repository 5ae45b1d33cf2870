#include "backend/text/stemming.h"

#include <libstemmer.h>

#include <memory>

namespace vantory::backend {

namespace {

struct StemmerDeleter {
  void operator()(sb_stemmer* stemmer) const { sb_stemmer_delete(stemmer); }
};

sb_stemmer* thread_stemmer() {
  thread_local std::unique_ptr<sb_stemmer, StemmerDeleter> stemmer(
      sb_stemmer_new("english", "UTF_8"));
  return stemmer.get();
}

}  // namespace

std::string stem_word(std::string_view word) {
  if (word.size() < 4) return std::string(word);
  for (char c : word) {
    if (c < 'a' || c > 'z') return std::string(word);
  }
  sb_stemmer* stemmer = thread_stemmer();
  if (stemmer == nullptr) return std::string(word);
  const sb_symbol* stem = sb_stemmer_stem(stemmer, reinterpret_cast<const sb_symbol*>(word.data()),
                                          static_cast<int>(word.size()));
  if (stem == nullptr) return std::string(word);
  return std::string(reinterpret_cast<const char*>(stem),
                     static_cast<std::size_t>(sb_stemmer_length(stemmer)));
}

}  // namespace vantory::backend
