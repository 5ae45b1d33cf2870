#include "backend/vectors/local_embedder.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "backend/text/identifiers.h"
#include "backend/text/recent_words.h"

namespace vantory::backend {

namespace {

// Words that occur in nearly every unit of some language carry no meaning for similarity.
constexpr std::array<std::string_view, 42> kNoiseWords = {
    "self", "cls",  "def",    "return",  "if",     "else", "elif",  "for",    "in",
    "not",  "and",  "or",     "is",      "none",   "true", "false", "import", "from",
    "the",  "a",    "an",     "of",      "to",     "this", "const", "let",    "var",
    "int",  "void", "public", "private", "static", "new",  "try",   "except", "raise",
    "as",   "pass", "null",   "std",     "it",     "be"};

std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

// FNV-1a of `term` lower-cased, without building the lower-cased text for ASCII terms.
std::uint64_t term_hash(std::string_view term) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : term) {
    if (c >= 0x80) return fnv1a(lower_word(term));
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

constexpr std::size_t kLongestNoiseWord = [] {
  std::size_t longest = 0;
  for (std::string_view word : kNoiseWords) longest = std::max(longest, word.size());
  return longest;
}();

// The hashes of kNoiseWords, sorted.
const std::array<std::uint64_t, kNoiseWords.size()>& noise_hashes() {
  static const std::array<std::uint64_t, kNoiseWords.size()> hashes = [] {
    std::array<std::uint64_t, kNoiseWords.size()> out{};
    for (std::size_t i = 0; i < kNoiseWords.size(); ++i) out[i] = term_hash(kNoiseWords[i]);
    std::sort(out.begin(), out.end());
    return out;
  }();
  return hashes;
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
  // The hash of every counted term, sorted below so that equal terms lie together: counting
  // them in a hash map cost more than the rest of the embedding.
  thread_local std::vector<std::uint64_t> hashes;
  hashes.clear();
  const auto& noise = noise_hashes();
  auto count = [&](std::string_view term) {
    if (term.size() < 2) return;
    std::uint64_t h = term_hash(term);
    if (term.size() > kLongestNoiseWord || !std::binary_search(noise.begin(), noise.end(), h)) {
      hashes.push_back(h);
    }
  };
  // The terms a word counted, remembered for the words met a moment ago: a text repeats its
  // identifiers. A slot holds a word of this text only when it was filled for this text.
  struct WordTerms {
    std::uint64_t text = 0;  // the number of the text whose word the slot holds; 0: none
    std::string_view word;
    std::size_t count = 0;
    std::array<std::uint64_t, 6> hashes{};
  };
  thread_local std::vector<WordTerms> memo(RecentWords::kSlots);
  thread_local std::uint64_t text_number = 0;
  ++text_number;
  std::vector<std::string_view> parts;
  visit_words(text, [&](std::string_view word) {
    if (word[0] >= '0' && word[0] <= '9') return;
    WordTerms& slot = memo[cheap_word_hash(word) % RecentWords::kSlots];
    if (slot.text == text_number && slot.word == word) {
      hashes.insert(hashes.end(), slot.hashes.begin(), slot.hashes.begin() + slot.count);
      return;
    }
    const std::size_t before = hashes.size();
    count(word);
    parts.clear();
    visit_subwords(word, [&](std::string_view part) { parts.push_back(part); });
    if (parts.size() >= 2) {
      for (std::string_view part : parts) count(part);
    }
    const std::size_t made = hashes.size() - before;
    if (made <= slot.hashes.size()) {
      slot.text = text_number;
      slot.word = word;
      slot.count = made;
      std::copy(hashes.begin() + static_cast<std::ptrdiff_t>(before), hashes.end(),
                slot.hashes.begin());
    }
  });
  std::sort(hashes.begin(), hashes.end());
  std::vector<float> vector(kLocalDimension, 0.0f);
  for (std::size_t i = 0, end; i < hashes.size(); i = end) {
    std::uint64_t h = hashes[i];
    for (end = i + 1; end < hashes.size() && hashes[end] == h;) ++end;
    double weight = 1.0 + std::log(static_cast<double>(end - i));
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
