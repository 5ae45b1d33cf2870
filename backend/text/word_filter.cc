#include "backend/text/word_filter.h"

namespace vantory::backend {

namespace {

// FNV-1a, then a finalizer that spreads every input bit over the 64.
std::uint64_t word_hash(std::string_view word) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : word) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 33;
  hash *= 0xc4ceb9fe1a85ec53ull;
  hash ^= hash >> 33;
  return hash;
}

// The bytes of the bits for `words` words: at least 8, so that a file of few words still
// leaves room between their bits.
std::size_t bit_bytes(std::size_t words) {
  std::size_t bits = words * WordFilter::kBitsPerWord;
  std::size_t bytes = (bits + 7) / 8;
  return bytes < 8 ? 8 : bytes;
}

// Calls probe(bit) for each of the kProbes bits of `word` among `bits` (double hashing).
template <typename Probe>
bool each_bit(std::string_view word, std::size_t bits, Probe probe) {
  std::uint64_t hash = word_hash(word);
  std::uint64_t step = (hash >> 32) | 1;
  for (std::size_t i = 0; i < WordFilter::kProbes; ++i) {
    if (!probe(static_cast<std::size_t>((hash + i * step) % bits))) return false;
  }
  return true;
}

}  // namespace

WordFilter::WordFilter(std::size_t words) : words_(words), bits_(bit_bytes(words), '\0') {}

void WordFilter::add(std::string_view word) {
  if (bits_.empty()) return;
  each_bit(word, bits_.size() * 8, [&](std::size_t bit) {
    auto byte = static_cast<unsigned char>(bits_[bit / 8]);
    bits_[bit / 8] = static_cast<char>(byte | (1u << (bit % 8)));
    return true;
  });
}

bool WordFilter::may_hold(std::string_view word) const {
  if (bits_.empty()) return false;
  return each_bit(word, bits_.size() * 8, [&](std::size_t bit) {
    return (static_cast<unsigned char>(bits_[bit / 8]) >> (bit % 8) & 1u) != 0;
  });
}

std::string WordFilter::bytes() const {
  std::string out;
  out.reserve(4 + bits_.size());
  auto count = static_cast<std::uint32_t>(words_);
  for (int i = 0; i < 4; ++i) out += static_cast<char>(count >> (8 * i) & 0xffu);
  out += bits_;
  return out;
}

WordFilter WordFilter::from_bytes(std::string_view bytes) {
  WordFilter filter;
  if (bytes.size() < 4) return filter;
  std::uint32_t count = 0;
  for (int i = 0; i < 4; ++i) {
    count |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  if (count == 0 || bytes.size() - 4 != bit_bytes(count)) return filter;
  filter.words_ = count;
  filter.bits_.assign(bytes.substr(4));
  return filter;
}

}  // namespace vantory::backend
