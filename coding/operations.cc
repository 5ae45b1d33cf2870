#include "coding/operations.h"

#include <cstdint>
#include <functional>
#include <optional>

#include "common/error.h"

namespace vantory {

namespace {

// Runs an operation on its bound arguments (every declared one, defaults filled in).
using Invoker = std::function<Json(Tarnel&, const Json&)>;

struct Entry {
  OperationInfo info;
  Invoker invoke;  // empty for an alias, which runs the operation it stands for
};

const std::string& str(const Json& a, const char* name) {
  return a[name].get_ref<const std::string&>();
}

std::int64_t integer(const Json& a, const char* name) { return a[name].get<std::int64_t>(); }

std::optional<std::string> optional_str(const Json& a, const char* name) {
  if (a[name].is_null()) return std::nullopt;
  return a[name].get<std::string>();
}

const std::string& agent(const Json& a) { return str(a, "agent_id"); }
const std::string& file(const Json& a) { return str(a, "file_path"); }

// An alias takes the first `arguments` arguments of the operation it stands for (all of them by
// default); the others keep their defaults. `note` ends its description.
Entry alias(std::string name, const Entry& of, std::size_t arguments = SIZE_MAX,
            std::string note = "") {
  OperationInfo info{std::move(name), "Backward-compatible alias of " + of.info.name + note + ".",
                     of.info.arguments, of.info.name};
  if (arguments < info.arguments.size()) info.arguments.resize(arguments);
  return {std::move(info), {}};
}

std::vector<Entry> make_entries() {
  const Argument agent_id =
      required_argument("agent_id", "string", "The agent whose code memory is used.");
  const Argument file_path = required_argument(
      "file_path", "string",
      "Path of the source file (relative to the working directory, or absolute).");
  const Argument chunks = optional_argument(
      "chunks", "array|null", nullptr,
      "Chunk records to store instead of parsing the file; null parses it.", "object");
  const Argument query =
      required_argument("query", "string", "What to look for, in words or identifiers.");
  const Argument top_k = optional_argument("top_k", "integer", 5, "The most results to answer.");
  const Argument filter =
      optional_argument("file_paths", "array|null", nullptr,
                        "Only search these files or folders; null searches everything.", "string");
  const Argument limit = optional_argument("limit", "integer", 50, "The most files to list.");
  const Argument offset =
      optional_argument("offset", "integer", 0, "How many files to pass over first.");

  std::vector<Entry> table{
      {{"list_directory",
        "List indexed files through the VFS, organized by language.",
        {agent_id,
         optional_argument("path", "string", "",
                           "A folder of the directory view, as listed by list_directory; \"\" "
                           "for the top.")}},
       [](Tarnel& t, const Json& a) { return t.list_directory(agent(a), str(a, "path")); }},
      {{"get_token_savings", "Get the token savings report.", {agent_id}},
       [](Tarnel& t, const Json& a) { return t.get_token_savings(agent(a)); }},
      {{"dependency_graph",
        "Build the import/dependency graph for a list of files. Shows what these files import "
        "and what imports them. Max 10 files per call.",
        {agent_id,
         required_argument("file_paths", "array", "The files to graph, at most 10.", "string"),
         optional_argument("depth", "integer", 1,
                           "1 for direct imports; above 1 adds the imported modules' own "
                           "imports.")}},
       [](Tarnel& t, const Json& a) {
         return t.dependency_graph(agent(a), a["file_paths"], integer(a, "depth"));
       }},
      {{"delta_update",
        "Incrementally re-index a file, only processing changed chunks. Compares old vs new "
        "chunks by hash_id, skips unchanged, removes stale.",
        {agent_id, file_path}},
       [](Tarnel& t, const Json& a) { return t.delta_update(agent(a), file(a)); }},
      {{"cache_stats",
        "Comprehensive cache statistics with per-file freshness and recommendations. The "
        "enhanced replacement for get_token_savings.",
        {agent_id}},
       [](Tarnel& t, const Json& a) { return t.cache_stats(agent(a)); }},
      {{"invalidate_cache",
        "Explicitly invalidate cache entries. Scope 'file', 'stale' or 'all'.",
        {agent_id,
         optional_argument("file_path", "string|null", nullptr,
                           "The file to invalidate (scope 'file')."),
         optional_argument("scope", "string", "file",
                           "'file' (one file), 'stale' (every changed or vanished file) or "
                           "'all'.")}},
       [](Tarnel& t, const Json& a) {
         return t.invalidate_cache(agent(a), optional_str(a, "file_path"), str(a, "scope"));
       }},
      {{"summarize_context",
        "A file's context at configurable verbosity levels: brief (about 50 tokens), normal "
        "(code flow), detailed (full chunks).",
        {agent_id, file_path,
         optional_argument("verbosity", "string", "brief",
                           "'brief' (about 50 tokens), 'normal' (code flow) or 'detailed' "
                           "(full chunks).")}},
       [](Tarnel& t, const Json& a) {
         return t.summarize_context(agent(a), file(a), str(a, "verbosity"));
       }},
      {{"create_snapshot",
        "Create an immutable snapshot of all cached contexts. Wraps "
        "CodingFileSystem.commit_snapshot.",
        {agent_id, optional_argument("message", "string", "Snapshot",
                                     "A message recorded with the snapshot.")}},
       [](Tarnel& t, const Json& a) { return t.create_snapshot(agent(a), str(a, "message")); }},
      {{"compare_snapshots",
        "Compare two snapshots and return the diff. Wraps CodingFileSystem.get_diff.",
        {agent_id,
         required_argument("sha_a", "string",
                           "The older snapshot's id (or a unique prefix of it)."),
         required_argument("sha_b", "string",
                           "The newer snapshot's id (or a unique prefix of it).")}},
       [](Tarnel& t, const Json& a) {
         return t.compare_snapshots(agent(a), str(a, "sha_a"), str(a, "sha_b"));
       }},
      {{"usage_report",
        "Aggregate usage analytics: access counts, tokens, indexing stats.",
        {agent_id}},
       [](Tarnel& t, const Json& a) { return t.usage_report(agent(a)); }},
      {{"performance_profile",
        "Performance timing data for key operations, scoped to the life of the instance.",
        {agent_id}},
       [](Tarnel& t, const Json& a) { return t.performance_profile(agent(a)); }},
      {{"usage_analysis",
        "Code usage within a file: defined versus used functions, unused parameters.",
        {agent_id, file_path}},
       [](Tarnel& t, const Json& a) { return t.usage_analysis(agent(a), file(a)); }},
      {{"circular_dependency_check",
        "Check for circular dependencies in the indexed codebase.",
        {agent_id}},
       [](Tarnel& t, const Json& a) { return t.circular_dependency_check(agent(a)); }},
      {{"index_file",
        "Index a file into code memory (alias create_mem). Without chunks, falls back to local "
        "parsing of the file.",
        {agent_id, file_path, chunks}},
       [](Tarnel& t, const Json& a) { return t.index_file(agent(a), file(a), a["chunks"]); }},
      {{"reindex_file",
        "Re-index a file in code memory (alias update_mem). Without chunks, falls back to "
        "local parsing of the file.",
        {agent_id, file_path, chunks}},
       [](Tarnel& t, const Json& a) { return t.reindex_file(agent(a), file(a), a["chunks"]); }},
      {{"search_codebase",
        "Search the indexed codebase with hybrid semantic and keyword search (alias get_mem).",
        {agent_id, query, top_k, filter,
         optional_argument("trace_calls", "boolean", false,
                           "Add the chain of calls into and out of the hits."),
         optional_argument("group_by", "string|null", nullptr,
                           "'semantic_purpose' groups the hits by what they do; null does not "
                           "group.")}},
       [](Tarnel& t, const Json& a) {
         return t.search_codebase(agent(a), str(a, "query"), integer(a, "top_k"), a["file_paths"],
                                  a["trace_calls"].get<bool>(), optional_str(a, "group_by"));
       }},
      {{"remove_index", "Remove a file's index (alias delete_mem).", {agent_id, file_path}},
       [](Tarnel& t, const Json& a) { return Json(t.remove_index(agent(a), file(a))); }},
      {{"list_indexed_files",
        "List all indexed files (alias list_mems).",
        {agent_id, limit, offset}},
       [](Tarnel& t, const Json& a) {
         return t.list_indexed_files(agent(a), integer(a, "limit"), integer(a, "offset"));
       }},
  };
  auto named = [&table](std::string_view name) -> const Entry& {
    for (const Entry& entry : table) {
      if (entry.info.name == name) return entry;
    }
    throw ValueError("unknown operation '" + std::string(name) + "'");
  };
  std::vector<Entry> aliases{
      alias("create_mem", named("index_file")),
      alias("get_mem", named("search_codebase"), 4, ", without call tracing or grouping"),
      alias("update_mem", named("reindex_file")),
      alias("delete_mem", named("remove_index")),
      alias("list_mems", named("list_indexed_files")),
  };
  for (Entry& entry : aliases) table.push_back(std::move(entry));
  return table;
}

const std::vector<Entry>& entries() {
  static const std::vector<Entry> table = make_entries();
  return table;
}

const Entry* find_entry(std::string_view name) {
  for (const Entry& entry : entries()) {
    if (entry.info.name == name) return &entry;
  }
  return nullptr;
}

}  // namespace

const std::vector<OperationInfo>& tarnel_operations() {
  static const std::vector<OperationInfo> infos = [] {
    std::vector<OperationInfo> out;
    for (const Entry& entry : entries()) out.push_back(entry.info);
    return out;
  }();
  return infos;
}

const OperationInfo* find_operation(std::string_view name) {
  for (const OperationInfo& info : tarnel_operations()) {
    if (info.name == name) return &info;
  }
  return nullptr;
}

Json call_operation(Tarnel& tarnel, const std::string& name, const Json& arguments) {
  const Entry* entry = find_entry(name);
  if (!entry) throw ValueError("unknown operation '" + name + "'");
  Json bound = bind_arguments(name, entry->info.arguments, arguments);
  if (entry->invoke) return entry->invoke(tarnel, bound);
  // An alias: the arguments it leaves out keep the defaults of the operation it stands for.
  const Entry& target = *find_entry(entry->info.alias_of);
  for (std::size_t i = bound.size(); i < target.info.arguments.size(); ++i) {
    bound[target.info.arguments[i].name] = target.info.arguments[i].default_value;
  }
  return target.invoke(tarnel, bound);
}

}  // namespace vantory
