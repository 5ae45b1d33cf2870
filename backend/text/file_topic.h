// What a file says it is about: the first sentence of the documentation it opens with. A
// question about a function often uses its module's words rather than the function's own
// ("Put terminal into a raw mode" for `setraw` in a module documented as "Terminal
// utilities"), and the keyword index holds each unit's file topic among its sub-words.
//
// Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace vantory::backend {

// The lower-cased words (at most kMaxTopicWords) of the first sentence of the documentation
// that `opening` (the text of a file's first lines, in `language`) starts with, after blank
// lines and an interpreter line: a Python module's docstring (after comments too), a
// `/** ... */` comment about the file (tagged `@file`, `@fileoverview` or `@overview`, or
// followed by a blank line: one right above a declaration documents the declaration), or
// `//!` lines. Empty when the file starts with anything else: a plain comment is more often a
// licence than a description, and a string outside Python is code ("use strict").
std::string file_topic(std::string_view opening, std::string_view language);

constexpr std::size_t kMaxTopicWords = 24;

}  // namespace vantory::backend
