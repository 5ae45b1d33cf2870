// Words and identifier sub-words of source text, shared by the keyword index, the query
// parser and the local embedder so that all three see the same vocabulary.
//
// Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantory::backend {

// The words of `text`: maximal runs of letters, digits and underscores (any Unicode letter or
// digit counts), in order. Views into `text`.
std::vector<std::string_view> words_of(std::string_view text);

// The lower-cased sub-words of one identifier: split at underscores, at a lower-case letter
// followed by an upper-case one (parseHttp -> parse, http) and before the last capital of a
// run of capitals followed by a lower-case letter (HTTPServer -> http, server). Digits stay
// with the letters before them (utf8, md5sum). Empty parts are dropped.
std::vector<std::string> split_identifier(std::string_view word);

// `word` lower-cased (full Unicode mapping).
std::string lower_word(std::string_view word);

}  // namespace vantory::backend
