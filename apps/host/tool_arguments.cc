#include "apps/host/tool_arguments.h"

#include "common/arguments.h"

namespace vantory::host {

Json bind_tool_arguments(const ToolDefinition& tool, const Json& given) {
  return bind_arguments(tool.name, tool.arguments, given);
}

Json tool_input_schema(const ToolDefinition& tool) { return arguments_schema(tool.arguments); }

Json tool_listing(const ToolDefinition& tool) {
  return {{"name", tool.name},
          {"description", tool.description},
          {"inputSchema", tool_input_schema(tool)}};
}

}  // namespace vantory::host
