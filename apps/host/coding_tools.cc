#include "apps/host/coding_tools.h"

#include <utility>

#include "apps/host/directory_indexer.h"
#include "coding/operations.h"

namespace vantory::host {

namespace {

ToolArgument agent_argument(const HostConfig& config) {
  return optional_argument("agent_id", "string", config.agent_id,
                           "The agent whose memory is used. Defaults to the server's agent id.");
}

ToolDefinition operation_tool(const OperationInfo& operation, const HostConfig& config,
                              std::function<Tarnel&()> tarnel) {
  // The same arguments, except that the agent id may be left out for the server's.
  ToolDefinition tool{operation.name, operation.description, operation.arguments, {}};
  for (ToolArgument& argument : tool.arguments) {
    if (argument.name == "agent_id") argument = agent_argument(config);
  }
  tool.run = [name = operation.name, tarnel](const Json& arguments, const ProgressFn&) {
    return call_operation(tarnel(), name, arguments);
  };
  return tool;
}

}  // namespace

std::vector<ToolDefinition> coding_tools(const HostConfig& config,
                                         std::function<Tarnel&()> tarnel) {
  std::vector<ToolDefinition> tools;
  for (const OperationInfo& operation : tarnel_operations()) {
    tools.push_back(operation_tool(operation, config, tarnel));
  }
  tools.push_back(
      {"index_directory",
       "Index every source file below a folder into code memory: new files are indexed, "
       "changed ones re-indexed by their changed chunks (delta_update), unchanged ones left "
       "alone. Skips .git, build and dependency folders, hidden files, binary files, files "
       "over " + size_text(config.max_file_bytes()) + ", what .gitignore files, "
       ".git/info/exclude and .vantoryignore files (.gitignore syntax, in any folder, "
       "overriding the .gitignore beside them) exclude, and what the include and exclude "
       "patterns leave out. Answers the counts (indexed, updated, unchanged, skipped, failed "
       "with reasons) and the time taken; with dry_run, the files it would index and their "
       "total size, changing nothing. A file path indexes that file alone.",
       {agent_argument(config),
        required_argument("directory", "string",
                          "The folder (or file) to index, relative to the server's working "
                          "directory or absolute."),
        optional_argument("include", "array", Json::array(),
                          "Only index the files these patterns match (.gitignore syntax, "
                          "relative to the folder: \"*.py\", \"src/\", \"lib/**/*.c\"); empty "
                          "for every file.",
                          "string"),
        optional_argument("exclude", "array", Json::array(),
                          "Leave out what these patterns match (.gitignore syntax, relative to "
                          "the folder: \"tests/\", \"*.min.js\"), whatever the ignore files say.",
                          "string"),
        optional_argument("dry_run", "boolean", false,
                          "List the files that would be indexed and their total size, and index "
                          "nothing.")},
       [tarnel, max_file_bytes = config.max_file_bytes(), stores = config.store_folders()](
           const Json& arguments, const ProgressFn& progress) {
         SourceFilter filter{max_file_bytes, arguments["include"].get<std::vector<std::string>>(),
                             arguments["exclude"].get<std::vector<std::string>>(), stores};
         const std::string& directory = arguments["directory"].get_ref<const std::string&>();
         if (arguments["dry_run"].get<bool>()) return preview_directory(directory, filter);
         return index_directory(tarnel(), arguments["agent_id"].get<std::string>(), directory,
                                filter, progress);
       }});
  return tools;
}

}  // namespace vantory::host
