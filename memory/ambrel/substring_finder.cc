#include "memory/ambrel/internal/substring_finder.h"

#include <cstring>

namespace vantory {

namespace {

using Bytes = char __attribute__((vector_size(16)));

// Bit k set when position k of a block may start the needle: `a` holds its first byte
// there and `b` (the bytes size - 1 further on) its last.
[[gnu::always_inline]] inline unsigned candidates(Bytes a, Bytes first, Bytes b, Bytes last) {
  Bytes both = (a == first) & (b == last);
#if defined(__SSE2__)
  return static_cast<unsigned>(__builtin_ia32_pmovmskb128(both));
#else
  unsigned bits = 0;
  for (int k = 0; k < 16; ++k) bits |= (both[k] != 0 ? 1u : 0u) << k;
  return bits;
#endif
}

}  // namespace

SubstringFinder::SubstringFinder(std::string_view needle) : needle_(needle) {
  for (int lane = 0; lane < 16; ++lane) {
    first_[lane] = needle.front();
    last_[lane] = needle.back();
  }
}

bool SubstringFinder::occurs_in(std::string_view haystack) const {
  const std::size_t n = needle_.size();
  if (n > haystack.size()) return false;
  const char* h = haystack.data();
  const std::size_t positions = haystack.size() - n + 1;
  std::size_t i = 0;
  for (; i + 16 <= positions; i += 16) {
    Bytes a, b;
    std::memcpy(&a, h + i, 16);
    std::memcpy(&b, h + i + n - 1, 16);
    for (unsigned bits = candidates(a, first_, b, last_); bits != 0; bits &= bits - 1) {
      if (std::memcmp(h + i + static_cast<unsigned>(__builtin_ctz(bits)), needle_.data(), n) == 0) {
        return true;
      }
    }
  }
  for (; i < positions; ++i) {
    if (h[i] == needle_.front() && std::memcmp(h + i, needle_.data(), n) == 0) return true;
  }
  return false;
}

}  // namespace vantory
