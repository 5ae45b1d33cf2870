// How much of a unit's name a question holds. A question that says what a unit does tends to
// use the words its name is made of ("creates a string of asterisks" for asterisk, "parses
// the remaining attributes" for parseUnparsedAttributes), while the units that merely call it
// or mention it in passing are named for something else; BM25 over the whole unit cannot tell
// the two apart when the callers repeat the word.
//
// Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace vantory::backend {

// The words a question asks with, for name_coverage: its terms (query_terms: words,
// sub-words and joined pairs) and the Snowball stems of its words that are no stop words.
std::unordered_set<std::string> asked_words(std::string_view query);

// The share (0 to 1) of the sub-words of `name`'s last part (after the last '.' or ':', so a
// method counts by its own name) that `asked` holds as they are, by their stems, or as the
// start of a longer word (an abbreviation of three letters or more: win for windows); stop
// words among the sub-words (is, to) are not counted. 1 when `asked` holds a whole word of
// that part (a run-together name the question spelled as two words); 0 for no sub-words.
double name_coverage(std::string_view name, const std::unordered_set<std::string>& asked);

}  // namespace vantory::backend
