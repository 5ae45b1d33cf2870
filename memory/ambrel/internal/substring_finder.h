// Plain substring tests of one short needle against many short texts: the inner loop of the
// keyword search.
//
// Sixteen candidate positions are tested at once, on the needle's first and last bytes,
// before any candidate is compared whole; the common case, a text that does not hold the
// needle, then costs about one comparison per sixteen bytes.
//
// Thread safety: immutable once built.
#pragma once

#include <string_view>

namespace vantory {

class SubstringFinder {
 public:
  // `needle` must not be empty and must outlive the finder.
  explicit SubstringFinder(std::string_view needle);

  // True when the needle occurs in `haystack` (bytewise, no word boundaries).
  bool occurs_in(std::string_view haystack) const;

 private:
  using Bytes = char __attribute__((vector_size(16)));

  std::string_view needle_;
  Bytes first_, last_;
};

}  // namespace vantory
