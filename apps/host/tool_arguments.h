// Checking the arguments of a tool call against the tool's declaration, and describing them
// as a JSON Schema for clients.
//
// All functions are thread-safe.
#pragma once

#include "apps/host/tool.h"
#include "common/json.h"

namespace vantory::host {

// The arguments `given` (an object, or null for none) bound to `tool`'s declaration: every
// declared argument in declared order, left-out ones at their defaults. A number with no
// fractional part is accepted where an integer is expected (JSON Schema counts 5.0 as an
// integer) and passed on as an integer.
// Throws TypeError before anything runs when `given` is neither an object nor null, names an
// argument the tool does not take, leaves out a required one, or gives one of a kind the tool
// does not accept; the message names the argument and the expected kind ("search_codebase()
// argument 'top_k' must be integer, not string").
Json bind_tool_arguments(const ToolDefinition& tool, const Json& given);

// The JSON Schema of `tool`'s arguments: {"type": "object", "properties": {...}, "required":
// [...], "additionalProperties": false}, each property with its type, items, default and
// description.
Json tool_input_schema(const ToolDefinition& tool);

}  // namespace vantory::host
