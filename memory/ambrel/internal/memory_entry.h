// Reading the memory entries that hosts hand to the store, and shaping what searches answer.
//
// A memory entry is a JSON object owned by the host. A member that is read and holds a value
// of the wrong type fails the whole call with a TypeError naming the entry's position, the
// member and the type expected; members that are not read are never checked.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

namespace vantory {

// What counts as missing or empty: null, false, a zero, "", [] and {}.
bool is_empty_value(const Json& value);

// The member `key` of the object `entry`, or nullptr.
const Json* find_member(const Json& entry, std::string_view key);

// The entries of `memories`; nullptr when it is missing or empty (a search then answers an
// empty array). Throws TypeError unless it is an array.
const Json::array_t* memory_list(const Json& memories);

// Throws TypeError unless `entry`, the element at `position`, is an object.
void require_object(const Json& entry, std::size_t position);

// The entry's `id` when present and not empty, else nullptr. Throws TypeError for a non-empty
// id that is not a string.
const std::string* entry_id(const Json& entry, std::size_t position);

// The text an entry is embedded from: `lossless_restatement` when not empty, else `content`
// when not empty, else "". Throws TypeError when the one chosen is not a string.
std::string_view entry_text(const Json& entry, std::size_t position);

// Throws TypeError "memory entry <position>: '<member>' must be <expected>, not <type>".
[[noreturn]] void throw_member_type(std::size_t position, std::string_view member,
                                    std::string_view expected, const Json& value);

// How many of `n` ranked records a `top_k` keeps: the first top_k, or for a negative top_k
// all but the last -top_k.
std::size_t kept_count(std::size_t n, std::int64_t top_k);

// One scored entry: its score and its position in the order that breaks ties.
struct RankedEntry {
  double score;
  std::size_t position;
};

// Ranks by score, highest first, equal scores in position order (a stable sort by score),
// and keeps what `top_k` keeps. Only the kept entries are sorted. No score may be NaN.
void keep_top(std::vector<RankedEntry>& ranked, std::int64_t top_k);

// A copy of `entry` with the member `name` set to `score`: replaced where it stands when the
// entry has it, else added last.
Json with_score(const Json& entry, const char* name, double score);

// The records of `ranked` in order: copies of memories[position] with `name` set to score.
Json ranked_records(const Json::array_t& memories, const std::vector<RankedEntry>& ranked,
                    const char* name);

}  // namespace vantory
