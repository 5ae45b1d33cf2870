#include "apps/host/tool_selection.h"

#include <algorithm>
#include <set>
#include <string>

#include "common/error.h"

namespace vantory::host {

namespace {

struct DefaultTool {
  const char* name;
  // When an agent should use the tool: what the default list says instead of the full text.
  const char* when;
};

// The default set, with the words that tell an agent when each tool helps.
constexpr DefaultTool kDefaultTools[] = {
    {"index_directory",
     "Index a project folder (or one file) before searching it; run it again after edits: only "
     "changed files are read again. Skips ignored, build, hidden and binary files. dry_run lists "
     "what would be indexed."},
    {"search_codebase",
     "Find code by meaning or by identifiers in the indexed files: the first step for \"where "
     "is X done?\". Answers the best code units with their file, lines and text."},
    {"summarize_context",
     "Read an indexed file cheaply: 'brief' (about 50 tokens), 'normal' (code flow) or "
     "'detailed' (its units). Use it before opening a whole file."},
    {"list_indexed_files", "List the files in code memory, with their freshness."},
    {"dependency_graph",
     "What up to 10 files import, what imports them, and the calls between them: use it before "
     "changing a file others depend on."},
    {"circular_dependency_check", "Find import cycles among the indexed files."},
    {"usage_analysis",
     "Functions a file defines but nothing calls, and parameters never used: use it when "
     "cleaning up a file."},
    {"memory_add",
     "Remember a fact, decision or preference for later conversations. A note that repeats one "
     "already kept updates it instead of adding another."},
    {"memory_update", "Correct a note you remember (by id): new text, keywords, persons or topic."},
    {"memory_search",
     "Recall notes by meaning and keywords: use it at the start of a task, and before asking "
     "the user something they may have told you."},
    {"memory_list", "List the notes kept, oldest first."},
    {"memory_delete", "Forget a note that is wrong or no longer true."},
};

const DefaultTool* default_tool(std::string_view name) {
  for (const DefaultTool& tool : kDefaultTools) {
    if (name == tool.name) return &tool;
  }
  return nullptr;
}

}  // namespace

std::vector<ToolDefinition> select_tools(const std::vector<ToolDefinition>& all,
                                         std::string_view choice) {
  bool everything = false;
  bool defaults = choice.empty();
  std::set<std::string, std::less<>> named;
  for (std::string_view rest = choice; !rest.empty();) {
    std::size_t comma = rest.find(',');
    std::string_view name = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
    if (name == "default" || name == "all") {
      (name == "all" ? everything : defaults) = true;
      continue;
    }
    if (std::none_of(all.begin(), all.end(),
                     [&](const ToolDefinition& t) { return t.name == name; })) {
      throw ValueError("there is no tool '" + std::string(name) +
                       "' to list (--tools takes all, default, or tool names joined by commas)");
    }
    named.emplace(name);
  }

  std::vector<ToolDefinition> listed;
  for (const ToolDefinition& tool : all) {
    const DefaultTool* lean = default_tool(tool.name);
    if (everything || named.count(tool.name)) {
      listed.push_back(tool);
    } else if (defaults && lean) {
      listed.push_back(tool);
      listed.back().description = lean->when;
    }
  }
  return listed;
}

}  // namespace vantory::host
