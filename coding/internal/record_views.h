// Copy-free reads of the records the analyses walk (file contexts, chunks, calls, imports).
//
// The analyses read every call record of every indexed file, so these hand out views into the
// loaded JSON instead of copies; otherwise they read members the way coding/records.h does: a
// missing member takes its default, a member of the wrong type is a TypeError that names it.
// Internal to libtarnel; thread-safe (pure functions).
#pragma once

#include <string>
#include <string_view>

#include "common/json.h"

namespace vantory::records {

// `value` itself when it is an object; TypeError ("<what> must be a dict, not str") otherwise.
const Json& as_record(const Json& value, std::string_view what);

// `answer` itself when it is an array; TypeError ("<operation> must answer a list, not dict")
// otherwise. For component answers that are iterated.
const Json& as_list(const Json& answer, std::string_view operation);

// The member `key` of `record` as text, `fallback` when absent. The view points into `record`.
// TypeError naming the member when it is present and not a string.
std::string_view text_member(const Json& record, std::string_view key, std::string_view fallback);

// The member `key` when it is a string, nothing otherwise: for members that are only compared
// for equality, where a value of another type simply never equals a text.
const std::string* string_member(const Json& record, std::string_view key);

// True when the chunk is a callable unit: its `type` is exactly "function" or "method".
bool is_callable_unit(const Json& chunk);

// Appends the member `key` to `object` without looking for an earlier one: ordered objects
// search their members one by one, so building a large object with operator[] is quadratic.
// The caller guarantees that `key` is not yet a member.
void append_new_member(Json& object, std::string key, Json value);

}  // namespace vantory::records
