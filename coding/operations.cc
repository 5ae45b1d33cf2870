#include "coding/operations.h"

#include <functional>
#include <limits>
#include <optional>

#include "common/error.h"

namespace vantory {

namespace {

using Arguments = std::vector<Json>;  // one value per declared argument, in declared order
using Invoker = std::function<Json(Tarnel&, const Arguments&)>;

struct Entry {
  OperationInfo info;
  Invoker invoke;
};

OperationArgument required(const char* name, const char* type) {
  return OperationArgument{name, type, true, nullptr};
}

OperationArgument optional(const char* name, const char* type, Json default_value) {
  return OperationArgument{name, type, false, std::move(default_value)};
}

const std::string& str(const Json& value) { return value.get_ref<const std::string&>(); }

std::int64_t integer(const Json& value) { return value.get<std::int64_t>(); }

std::optional<std::string> optional_str(const Json& value) {
  if (value.is_null()) return std::nullopt;
  return value.get<std::string>();
}

const std::vector<Entry>& entries() {
  static const std::vector<Entry> table = [] {
    const OperationArgument agent = required("agent_id", "string");
    const OperationArgument file = required("file_path", "string");
    const OperationArgument chunks = optional("chunks", "array|null", nullptr);
    const OperationArgument top_k = optional("top_k", "integer", 5);
    const OperationArgument filter = optional("file_paths", "array|null", nullptr);
    const OperationArgument limit = optional("limit", "integer", 50);
    const OperationArgument offset = optional("offset", "integer", 0);

    return std::vector<Entry>{
        {{"list_directory", "List indexed files through the VFS, organized by language.",
          {agent, optional("path", "string", "")}},
         [](Tarnel& t, const Arguments& a) { return t.list_directory(str(a[0]), str(a[1])); }},
        {{"get_token_savings", "Get the token savings report.", {agent}},
         [](Tarnel& t, const Arguments& a) { return t.get_token_savings(str(a[0])); }},
        {{"dependency_graph",
          "Build the import/dependency graph for a list of files. Shows what these files "
          "import and what imports them. Max 10 files per call.",
          {agent, required("file_paths", "array"), optional("depth", "integer", 1)}},
         [](Tarnel& t, const Arguments& a) {
           return t.dependency_graph(str(a[0]), a[1], integer(a[2]));
         }},
        {{"delta_update",
          "Incrementally re-index a file, only processing changed chunks. Compares old vs new "
          "chunks by hash_id, skips unchanged, removes stale.",
          {agent, file}},
         [](Tarnel& t, const Arguments& a) { return t.delta_update(str(a[0]), str(a[1])); }},
        {{"cache_stats",
          "Comprehensive cache statistics with per-file freshness and recommendations. The "
          "enhanced replacement for get_token_savings.",
          {agent}},
         [](Tarnel& t, const Arguments& a) { return t.cache_stats(str(a[0])); }},
        {{"invalidate_cache",
          "Explicitly invalidate cache entries. Scope 'file', 'stale' or 'all'.",
          {agent, optional("file_path", "string|null", nullptr),
           optional("scope", "string", "file")}},
         [](Tarnel& t, const Arguments& a) {
           return t.invalidate_cache(str(a[0]), optional_str(a[1]), str(a[2]));
         }},
        {{"summarize_context",
          "A file's context at configurable verbosity levels: brief (about 50 tokens), normal "
          "(code flow), detailed (full chunks).",
          {agent, file, optional("verbosity", "string", "brief")}},
         [](Tarnel& t, const Arguments& a) {
           return t.summarize_context(str(a[0]), str(a[1]), str(a[2]));
         }},
        {{"create_snapshot",
          "Create an immutable snapshot of all cached contexts. Wraps "
          "CodingFileSystem.commit_snapshot.",
          {agent, optional("message", "string", "Snapshot")}},
         [](Tarnel& t, const Arguments& a) { return t.create_snapshot(str(a[0]), str(a[1])); }},
        {{"compare_snapshots",
          "Compare two snapshots and return the diff. Wraps CodingFileSystem.get_diff.",
          {agent, required("sha_a", "string"), required("sha_b", "string")}},
         [](Tarnel& t, const Arguments& a) {
           return t.compare_snapshots(str(a[0]), str(a[1]), str(a[2]));
         }},
        {{"usage_report", "Aggregate usage analytics: access counts, tokens, indexing stats.",
          {agent}},
         [](Tarnel& t, const Arguments& a) { return t.usage_report(str(a[0])); }},
        {{"performance_profile",
          "Performance timing data for key operations, scoped to the life of the instance.",
          {agent}},
         [](Tarnel& t, const Arguments& a) { return t.performance_profile(str(a[0])); }},
        {{"usage_analysis",
          "Code usage within a file: defined versus used functions, unused parameters.",
          {agent, file}},
         [](Tarnel& t, const Arguments& a) { return t.usage_analysis(str(a[0]), str(a[1])); }},
        {{"circular_dependency_check", "Check for circular dependencies in the indexed codebase.",
          {agent}},
         [](Tarnel& t, const Arguments& a) { return t.circular_dependency_check(str(a[0])); }},
        {{"index_file",
          "Index a file into code memory (alias create_mem). Without chunks, falls back to "
          "local parsing of the file.",
          {agent, file, chunks}},
         [](Tarnel& t, const Arguments& a) { return t.index_file(str(a[0]), str(a[1]), a[2]); }},
        {{"reindex_file",
          "Re-index a file in code memory (alias update_mem). Without chunks, falls back to "
          "local parsing of the file.",
          {agent, file, chunks}},
         [](Tarnel& t, const Arguments& a) { return t.reindex_file(str(a[0]), str(a[1]), a[2]); }},
        {{"search_codebase",
          "Search the indexed codebase with hybrid semantic and keyword search (alias get_mem).",
          {agent, required("query", "string"), top_k, filter,
           optional("trace_calls", "boolean", false),
           optional("group_by", "string|null", nullptr)}},
         [](Tarnel& t, const Arguments& a) {
           return t.search_codebase(str(a[0]), str(a[1]), integer(a[2]), a[3], a[4].get<bool>(),
                                    optional_str(a[5]));
         }},
        {{"remove_index", "Remove a file's index (alias delete_mem).", {agent, file}},
         [](Tarnel& t, const Arguments& a) { return Json(t.remove_index(str(a[0]), str(a[1]))); }},
        {{"list_indexed_files", "List all indexed files (alias list_mems).",
          {agent, limit, offset}},
         [](Tarnel& t, const Arguments& a) {
           return t.list_indexed_files(str(a[0]), integer(a[1]), integer(a[2]));
         }},
        {{"create_mem", "Backward-compatible alias of index_file.", {agent, file, chunks}},
         [](Tarnel& t, const Arguments& a) { return t.create_mem(str(a[0]), str(a[1]), a[2]); }},
        {{"get_mem", "Backward-compatible alias of search_codebase, without call tracing or "
          "grouping.",
          {agent, required("query", "string"), top_k, filter}},
         [](Tarnel& t, const Arguments& a) {
           return t.get_mem(str(a[0]), str(a[1]), integer(a[2]), a[3]);
         }},
        {{"update_mem", "Backward-compatible alias of reindex_file.", {agent, file, chunks}},
         [](Tarnel& t, const Arguments& a) { return t.update_mem(str(a[0]), str(a[1]), a[2]); }},
        {{"delete_mem", "Backward-compatible alias of remove_index.", {agent, file}},
         [](Tarnel& t, const Arguments& a) { return Json(t.delete_mem(str(a[0]), str(a[1]))); }},
        {{"list_mems", "Backward-compatible alias of list_indexed_files.", {agent, limit, offset}},
         [](Tarnel& t, const Arguments& a) {
           return t.list_mems(str(a[0]), integer(a[1]), integer(a[2]));
         }},
    };
  }();
  return table;
}

const Entry* find_entry(std::string_view name) {
  for (const Entry& entry : entries()) {
    if (entry.info.name == name) return &entry;
  }
  return nullptr;
}

// The kind of a JSON value in the words of the argument types.
const char* kind_of(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "boolean";
    case Json::value_t::number_integer: return "integer";
    case Json::value_t::number_unsigned:
      return value.get<std::uint64_t>() >
                     static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? "integer beyond 64 bits"
                 : "integer";
    case Json::value_t::number_float: return "number";
    case Json::value_t::string: return "string";
    case Json::value_t::array: return "array";
    default: return "object";
  }
}

bool accepts(std::string_view type, const Json& value) {
  if (type == "string") return value.is_string();
  if (type == "boolean") return value.is_boolean();
  if (type == "array") return value.is_array();
  if (type == "array|null") return value.is_array() || value.is_null();
  if (type == "string|null") return value.is_string() || value.is_null();
  if (type == "integer") {
    return value.is_number_integer() &&
           (!value.is_number_unsigned() ||
            value.get<std::uint64_t>() <=
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
  }
  return false;
}

std::string expected_text(std::string_view type) {
  std::string text(type);
  std::size_t bar = text.find('|');
  if (bar != std::string::npos) text.replace(bar, 1, " or ");
  return text;
}

// The declared arguments' values in call order, defaults filled in.
Arguments bind_arguments(const OperationInfo& info, const Json& given) {
  if (!given.is_null() && !given.is_object()) {
    throw TypeError(info.name + "() arguments must be an object, not " + kind_of(given));
  }
  if (given.is_object()) {
    for (const auto& [name, value] : given.items()) {
      bool declared = false;
      for (const OperationArgument& argument : info.arguments) declared |= argument.name == name;
      if (!declared) {
        throw TypeError(info.name + "() got an unexpected argument '" + name + "'");
      }
    }
  }
  Arguments values;
  for (const OperationArgument& argument : info.arguments) {
    auto it = given.is_object() ? given.find(argument.name) : given.end();
    if (it == given.end()) {
      if (argument.required) {
        throw TypeError(info.name + "() missing required argument '" + argument.name + "'");
      }
      values.push_back(argument.default_value);
      continue;
    }
    if (!accepts(argument.type, *it)) {
      throw TypeError(info.name + "() argument '" + argument.name + "' must be " +
                      expected_text(argument.type) + ", not " + kind_of(*it));
    }
    values.push_back(*it);
  }
  return values;
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
  return entry->invoke(tarnel, bind_arguments(entry->info, arguments));
}

}  // namespace vantory
