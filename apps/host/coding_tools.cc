#include "apps/host/coding_tools.h"

#include <map>
#include <string_view>
#include <utility>

#include "apps/host/directory_indexer.h"
#include "coding/operations.h"

namespace vantory::host {

namespace {

// What each argument means, for the agents that read the schema. An entry keyed
// "operation.argument" takes precedence over one keyed by the argument alone.
const std::map<std::string, std::string, std::less<>>& argument_descriptions() {
  static const std::map<std::string, std::string, std::less<>> descriptions = {
      {"agent_id", "The agent whose memory is used. Defaults to the server's agent id."},
      {"path", "A folder of the directory view, as listed by list_directory; \"\" for the top."},
      {"file_path",
       "Path of the source file (relative to the server's working directory, or "
       "absolute)."},
      {"file_paths", "Only search these files or folders; null searches everything."},
      {"dependency_graph.file_paths", "The files to graph, at most 10."},
      {"invalidate_cache.file_path", "The file to invalidate (scope 'file')."},
      {"depth", "1 for direct imports; above 1 adds the imported modules' own imports."},
      {"scope", "'file' (one file), 'stale' (every changed or vanished file) or 'all'."},
      {"verbosity",
       "'brief' (about 50 tokens), 'normal' (code flow) or 'detailed' (full "
       "chunks)."},
      {"message", "A message recorded with the snapshot."},
      {"sha_a", "The older snapshot's id (or a unique prefix of it)."},
      {"sha_b", "The newer snapshot's id (or a unique prefix of it)."},
      {"chunks", "Chunk records to store instead of parsing the file; null parses it."},
      {"query", "What to look for, in words or identifiers."},
      {"top_k", "The most results to answer."},
      {"trace_calls", "Add the chain of calls into and out of the hits."},
      {"group_by", "'semantic_purpose' groups the hits by what they do; null does not group."},
      {"limit", "The most files to list."},
      {"offset", "How many files to pass over first."},
      {"directory",
       "The folder (or file) to index, relative to the server's working "
       "directory or absolute."},
      {"include",
       "Only index the files these patterns match (.gitignore syntax, relative to the "
       "folder: \"*.py\", \"src/\", \"lib/**/*.c\"); empty for every file."},
      {"exclude",
       "Leave out what these patterns match (.gitignore syntax, relative to the folder: "
       "\"tests/\", \"*.min.js\"), whatever the ignore files say."},
      {"dry_run",
       "List the files that would be indexed and their total size, and index nothing."},
  };
  return descriptions;
}

std::string describe(std::string_view operation, const std::string& argument) {
  const auto& descriptions = argument_descriptions();
  auto it = descriptions.find(std::string(operation) + "." + argument);
  if (it == descriptions.end()) it = descriptions.find(argument);
  return it == descriptions.end() ? "" : it->second;
}

ToolArgument agent_argument(const HostConfig& config) {
  return optional_argument("agent_id", "string", config.agent_id, describe("", "agent_id"));
}

ToolDefinition operation_tool(const OperationInfo& operation, const HostConfig& config,
                              std::function<Tarnel&()> tarnel) {
  ToolDefinition tool{operation.name, operation.description, {}, {}};
  for (const OperationArgument& argument : operation.arguments) {
    if (argument.name == "agent_id") {
      tool.arguments.push_back(agent_argument(config));
      continue;
    }
    std::string items;
    if (argument.name == "file_paths") items = "string";
    if (argument.name == "chunks") items = "object";
    tool.arguments.push_back({argument.name, argument.type, items, argument.required,
                              argument.default_value, describe(operation.name, argument.name)});
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
        required_argument("directory", "string", describe("", "directory")),
        optional_argument("include", "array", Json::array(), describe("", "include"), "string"),
        optional_argument("exclude", "array", Json::array(), describe("", "exclude"), "string"),
        optional_argument("dry_run", "boolean", false, describe("", "dry_run"))},
       [tarnel, max_file_bytes = config.max_file_bytes()](const Json& arguments,
                                                          const ProgressFn& progress) {
         SourceFilter filter{max_file_bytes, arguments["include"].get<std::vector<std::string>>(),
                             arguments["exclude"].get<std::vector<std::string>>()};
         const std::string& directory = arguments["directory"].get_ref<const std::string&>();
         if (arguments["dry_run"].get<bool>()) return preview_directory(directory, filter);
         return index_directory(tarnel(), arguments["agent_id"].get<std::string>(), directory,
                                filter, progress);
       }});
  return tools;
}

}  // namespace vantory::host
