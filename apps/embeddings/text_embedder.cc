#include "apps/embeddings/text_embedder.h"

#include <cstdint>
#include <string_view>

#include "common/unicode.h"

namespace vantory::embeddings {

namespace {

std::uint64_t fnv1a(std::string_view bytes, std::uint64_t seed) {
  std::uint64_t hash = 1469598103934665603ull ^ seed;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

void add_feature(std::vector<double>& embedding, std::string_view feature, std::uint64_t seed,
                 double weight) {
  std::uint64_t hash = fnv1a(feature, seed);
  embedding[hash % embedding.size()] += (hash >> 63) ? weight : -weight;
}

}  // namespace

std::vector<double> hashed_text_embedding(const std::string& text, std::size_t dimension) {
  std::vector<double> embedding(dimension, 0.0);
  std::string lower = to_lower(text);
  std::string word;
  auto end_word = [&] {
    if (word.empty()) return;
    add_feature(embedding, word, 0x9e3779b97f4a7c15ull, 2.0);
    std::string padded = " " + word + " ";
    for (std::size_t i = 0; i + 3 <= padded.size(); ++i) {
      add_feature(embedding, std::string_view(padded).substr(i, 3), 0, 1.0);
    }
    word.clear();
  };
  std::size_t pos = 0;
  while (pos < lower.size()) {
    std::size_t start = pos;
    char32_t c = next_code_point(lower, pos);
    if (is_alnum(c)) {
      word.append(lower, start, pos - start);
    } else {
      end_word();
    }
  }
  end_word();
  return embedding;
}

}  // namespace vantory::embeddings
