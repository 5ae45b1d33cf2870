// English stems of lower-cased words (Snowball), so that "parsing", "parsed" and "parser" meet
// "parse" in search.
//
// Thread-safe: each thread uses a stemmer of its own.
#pragma once

#include <string>
#include <string_view>

namespace vantory::backend {

// The Snowball English stem of `word` (lower case, UTF-8); `word` itself when it holds anything but
// ASCII letters (identifiers with digits, other scripts) or is shorter than four letters.
std::string stem_word(std::string_view word);

}  // namespace vantory::backend
