#include "backend/vectors/local_embedder.h"

#include <array>
#include <cmath>
#include <unordered_map>

#include "backend/text/identifiers.h"

namespace vantory::backend {

namespace {

// Words that occur in nearly every unit of some language carry no meaning for similarity.
constexpr std::array<std::string_view, 42> kNoiseWords = {
    "self",   "cls",    "def",   "return", "if",     "else",   "elif",  "for",   "in",
    "not",    "and",    "or",    "is",     "none",   "true",   "false", "import", "from",
    "the",    "a",      "an",    "of",     "to",     "this",   "const", "let",   "var",
    "int",    "void",   "public", "private", "static", "new",  "try",   "except", "raise",
    "as",     "pass",   "null",  "std",    "it",     "be"};

bool is_noise(std::string_view word) {
  for (std::string_view noise : kNoiseWords) {
    if (noise == word) return true;
  }
  return false;
}

std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

}  // namespace

LocalEmbedder::LocalEmbedder() : name_("local-hash-" + std::to_string(kLocalDimension)) {}

Json LocalEmbedder::describe() const {
  return {{"kind", "local"},
          {"name", name_},
          {"dimension", kLocalDimension},
          {"method", "feature hashing of identifier sub-words"}};
}

std::vector<std::vector<float>> LocalEmbedder::embed(const std::vector<std::string>& texts) {
  std::vector<std::vector<float>> vectors;
  vectors.reserve(texts.size());
  for (const std::string& text : texts) vectors.push_back(embed_text(text));
  return vectors;
}

std::vector<float> LocalEmbedder::embed_text(std::string_view text) {
  std::unordered_map<std::string, int> counts;
  for (std::string_view word : words_of(text)) {
    if (word.size() < 2 || (word[0] >= '0' && word[0] <= '9')) continue;
    std::vector<std::string> parts = split_identifier(word);
    std::string whole = lower_word(word);
    if (!is_noise(whole)) ++counts[whole];
    if (parts.size() < 2) continue;
    for (std::string& part : parts) {
      if (part.size() > 1 && !is_noise(part)) ++counts[std::move(part)];
    }
  }
  std::vector<float> vector(kLocalDimension, 0.0f);
  for (const auto& [term, count] : counts) {
    std::uint64_t h = fnv1a(term);
    double weight = 1.0 + std::log(static_cast<double>(count));
    double sign = (h >> 63) != 0 ? -1.0 : 1.0;
    vector[h % kLocalDimension] += static_cast<float>(sign * weight);
  }
  double norm = 0;
  for (float x : vector) norm += static_cast<double>(x) * x;
  norm = std::sqrt(norm);
  if (norm > 0) {
    for (float& x : vector) x = static_cast<float>(x / norm);
  }
  return vector;
}

}  // namespace vantory::backend
