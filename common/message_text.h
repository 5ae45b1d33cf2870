// The text of a value inside a message, as Python's str() would write it.
#pragma once

#include <string>

#include "common/json.h"

namespace vantory {

// Strings as they are, integers in decimal, null as "None", booleans "True"/"False", doubles
// as repr(float); arrays and objects in Python's literal form ("[1, 'a']", "{'k': None}").
std::string value_text(const Json& value);

// Python's repr(): like value_text, but strings quoted ('abc').
std::string value_repr(const Json& value);

// The Python name of the value's type: "str", "int", "float", "bool", "NoneType", "list",
// "dict". Used in type errors.
const char* type_name(const Json& value);

}  // namespace vantory
