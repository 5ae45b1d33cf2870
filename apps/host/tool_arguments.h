// Checking the arguments of a tool call against the tool's declaration, and describing the tool
// to clients, both through common/arguments.h, so that every tool, whatever declares it, is
// checked and described by the same rules.
//
// All functions are thread-safe.
#pragma once

#include "apps/host/tool.h"
#include "common/json.h"

namespace vantory::host {

// The arguments `given` (an object, or null for none) bound to `tool`'s declaration:
// bind_arguments under the tool's name. A number with no fractional part is accepted where an
// integer is expected and passed on as an integer.
// Throws TypeError before anything runs when the arguments do not fit ("search_codebase()
// argument 'top_k' must be integer, not string").
Json bind_tool_arguments(const ToolDefinition& tool, const Json& given);

// The JSON Schema of `tool`'s arguments (arguments_schema).
Json tool_input_schema(const ToolDefinition& tool);

// How `tool` is listed to clients: {"name", "description", "inputSchema"}.
Json tool_listing(const ToolDefinition& tool);

}  // namespace vantory::host
