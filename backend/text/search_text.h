// The texts that the keyword index holds for one chunk, and the terms of a search query.
//
// Identifiers are indexed whole (the index keeps underscores inside tokens) and, when they are
// compounds, also by their sub-words, so a query for "file imports" finds get_file_imports and
// a query for "get_file_imports" ranks that exact identifier first.
//
// Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "backend/text/run_together.h"
#include "common/json.h"

namespace vantory::backend {

// The keyword-index columns of one chunk record, in the order of the index's columns.
struct ChunkSearchText {
  std::string name;  // the name followed by the sub-words and pieces of its parts
  std::string summary;
  std::string keywords;  // the keywords joined by blanks
  std::string content;   // the content, as valid UTF-8
  std::string subwords;  // distinct sub-words of the content's compound identifiers; topic
  std::string path;      // the words of the file path, without its extension
};

// The column texts of `chunk` (a chunk record) in a file whose path's words are `path_words`
// (path_terms of the path: made once for all the chunks of a file). Members of the wrong type
// count as empty. With `file_words` (the words of the chunk's file), the name also holds the
// pieces of its run-together parts (run_together.h). The sub-words end with `topic`, the
// words of what the file says it is about (file_topic.h).
ChunkSearchText chunk_search_text(const Json& chunk, std::string path_words,
                                  const FileWords* file_words = nullptr,
                                  std::string_view topic = {});

// The words of `path` for the index: directories and the stem, with their sub-words, lower
// case ("/usr/lib/python3.11/json/decoder.py" -> "usr lib python3 11 json decoder").
std::string path_terms(std::string_view path);

// The distinct lower-cased terms of `query`: each word, its sub-words when it is a compound,
// and each pair of adjacent words joined as one identifier would be ("a_b", "ab"), in order
// of first occurrence; then each pair of words that are no stop words and follow one another
// once the stop words are left out, joined ("a_b", "ab", "ba"), for about two dozen of them. Common English words are dropped unless nothing else is left.
std::vector<std::string> query_terms(std::string_view query);

// Whether the lower-cased `word` is a common English word that says nothing about code.
bool is_stop_word(std::string_view word);

// The lower-cased words of `query`, in order.
std::vector<std::string> query_words(std::string_view query);

// An FTS5 MATCH expression that matches any of `terms` ("a" OR "b"), or a word that starts
// with one of `prefixes` ("pars" *); empty for neither.
std::string match_any(const std::vector<std::string>& terms,
                      const std::vector<std::string>& prefixes = {});

// The stems of the words of `query` worth asking for too: Snowball stems of the lower-cased
// words that are no stop words, where the stem differs from the word and keeps at least four
// letters ("parses" -> "pars", "returns" -> "return"), distinct.
std::vector<std::string> query_stems(std::string_view query);

}  // namespace vantory::backend
