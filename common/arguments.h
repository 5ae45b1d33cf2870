// Declared arguments of an operation or tool, and the one place where a call's JSON arguments
// are checked against them and described to clients as a JSON Schema.
//
// The rule for integers: a JSON number with no fractional part is an integer wherever one is
// expected (JSON Schema counts 5.0 as an integer, and clients that hold every number as a double
// cannot send anything else); it is passed on as an integer. Integers beyond 64 bits, fractions,
// infinities and NaN are not.
//
// All functions are thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

namespace vantory {

// One declared argument.
struct Argument {
  std::string name;
  // The JSON kinds accepted, joined by '|': "string", "integer", "number", "boolean",
  // "array", "object", "null" ("string|null" accepts a string or null).
  std::string type;
  // For arrays: the kind every element must have ("string", "object"); empty for any.
  std::string items;
  bool required = false;
  // The value used when a call leaves the argument out (ignored for required ones).
  Json default_value;
  std::string description;
};

// An argument that every call must give.
Argument required_argument(std::string name, std::string type, std::string description,
                           std::string items = "");

// An argument that a call may leave out, `default_value` then taking its place.
Argument optional_argument(std::string name, std::string type, Json default_value,
                           std::string description, std::string items = "");

// The arguments `given` (an object, or null for none) bound to `declared`: an object holding
// every declared argument in declared order, left-out ones at their defaults, whole numbers
// given for integers turned into integers.
// Throws TypeError when `given` is neither an object nor null, names an argument not declared,
// leaves out a required one, or gives one of a kind not accepted; the message starts with
// "<owner>()" and names the argument and the expected kind ("search_codebase() argument 'top_k'
// must be integer, not string").
Json bind_arguments(std::string_view owner, const std::vector<Argument>& declared,
                    const Json& given);

// The JSON Schema of `declared`: {"type": "object", "properties": {...}, "required": [...],
// "additionalProperties": false}, each property with its type, items, default and description.
Json arguments_schema(const std::vector<Argument>& declared);

}  // namespace vantory
