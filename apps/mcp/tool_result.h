// The answers of a tools/call request: a tool's JSON answer, or its failure, as the content
// the Model Context Protocol carries.
#pragma once

#include <exception>
#include <string_view>

#include "common/json.h"

namespace vantory::mcp {

// {"content": [{"type": "text", "text": <answer in the JSON text format>}], "structuredContent":
// <answer, only when it is an object>, "isError": false}.
Json tool_result(const Json& answer);

// {"content": [{"type": "text", "text": "<kind>: <message>"}], "isError": true}.
Json tool_error(std::string_view kind, std::string_view message);

// tool_error for an exception, named by host::exception_kind.
Json tool_error(const std::exception& e);

}  // namespace vantory::mcp
