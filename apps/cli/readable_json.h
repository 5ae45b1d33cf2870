// JSON answers written for people: nested members indented under their keys, arrays as
// dashed items, strings without quotes.
#pragma once

#include <cstddef>
#include <string>

#include "common/json.h"

namespace vantory::cli {

// `value` as indented "key: value" lines, each ending in a line feed, starting `indent` blanks
// in.
std::string readable_json(const Json& value, std::size_t indent = 0);

// A scalar as a person reads it: strings bare, numbers in the JSON text format, null as "-";
// arrays and objects in the JSON text format.
std::string scalar_text(const Json& value);

// The member `key` of `object`, or null (which iterates as empty) when it has none or is not
// an object.
const Json& member(const Json& object, const char* key);

// A score with three decimals ("0.500"); scalar_text for anything that is not a number.
std::string score_text(const Json& value);

// The elements of `array` as scalar_text joined by `separator`; "-" for an empty or missing
// array.
std::string joined(const Json& array, const std::string& separator = ", ");

}  // namespace vantory::cli
