// Reading the answer of an OpenAI-compatible embeddings service:
// {"data": [{"index": 0, "embedding": [0.1, ...]}, ...], ...}. Internal to the embedding
// library (RemoteEmbeddingClient's OpenAI format); installed nowhere.
//
// Thread-safe: pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

namespace vantory {

// What an answer holds for each of the texts asked about: its numbers (inside the parsed
// answer), or null when it gives none usable, with the first problem seen.
struct OpenAiAnswer {
  std::vector<const Json*> rows;
  std::size_t unusable = 0;
  std::string first_problem;
};

// Matches the items of a parsed answer to `count` texts by their "index" (position in the
// list when an item has none). An item that is not an object, an index out of range or given
// twice, an embedding that is not a non-empty list of numbers, or a length unlike most
// items' leaves its text without numbers. Throws ValueError when the answer holds no "data"
// list at all: then no text got anything.
OpenAiAnswer read_openai_answer(const Json& answer, std::size_t count);

// The same answer read straight from its text, without building a JSON tree: what a service
// answers almost always, and where a client spends its time (a batch of 64 texts brings some
// 50,000 numbers). Answers the embeddings in text order, as 32-bit floats the way a parsed
// answer gives them, only when the text is that plain form: a "data" list of exactly `count`
// objects, each index in range once, every embedding a non-empty list of finite numbers of
// one length, and no string escapes or deep nesting anywhere. For anything else (errors,
// gaps, duplicates, odd numbers) it answers nothing, and the text goes to parse_json and
// read_openai_answer, whose errors and notes are the ones reported. Expects valid UTF-8.
std::optional<std::vector<std::vector<float>>> read_plain_openai_answer(std::string_view text,
                                                                        std::size_t count);

}  // namespace vantory
