// Reading the JSON records that cross between Tarnel and the outside components.
//
// The components answer plain JSON; these helpers read it the way the operations are
// documented: a missing member takes its default, a required member that is missing is a
// KeyError, a member of the wrong type is a TypeError that names the member and the expected
// type. Internal to libtarnel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/truth_value.h"

namespace vantory::records {

// Python's truth value (common/truth_value.h).
using ::vantory::truthy;

// The member `key` of `record`, or nullptr when `record` is not an object or has no such
// member.
const Json* find(const Json& record, std::string_view key);

// A null to hand to get_or.
inline const Json kNull = nullptr;

// The member `key`, or `fallback` when it is absent.
const Json& get_or(const Json& record, std::string_view key, const Json& fallback);

// The member `key`; KeyError naming it when absent.
const Json& require(const Json& record, std::string_view key);

// The member `key` as a string, `fallback` when absent; TypeError when present and not a
// string.
std::string get_string(const Json& record, std::string_view key, std::string_view fallback);

// The member `key` as an array, an empty array when absent or null; TypeError when it is
// anything else.
const Json& get_array(const Json& record, std::string_view key);

// The value a store handed out as a shared snapshot; null when it handed out nothing.
const Json& loaded(const std::shared_ptr<const Json>& snapshot);

// Throws TypeError unless `value` is an array (or, with `allow_null`, null). `what` names the
// argument or member ("chunks", "file_paths").
void expect_array(const Json& value, std::string_view what, bool allow_null);

// `answer` unchanged when it is an object or null; TypeError naming `operation`, the expected
// and the received type otherwise.
Json expect_object(Json answer, std::string_view operation);

// The number of elements of a sized value (array, object, string in code points); TypeError
// ("object of type 'int' has no len()") for anything else.
std::int64_t length_of(const Json& value);

}  // namespace vantory::records
