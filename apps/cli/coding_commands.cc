// The commands over the code memory: index, search, summary, graph, cycles, usage, stats,
// snapshot, diff.
#include <optional>
#include <string>

#include "apps/cli/command.h"
#include "apps/cli/progress_bar.h"
#include "apps/cli/readable_json.h"
#include "apps/cli/table.h"
#include "common/error_answer.h"
#include "common/json_text.h"

namespace vantory::cli {

namespace {

std::string str(const Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? "-" : scalar_text(*it);
}

std::string count_of(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return "0";
  return it->is_array() || it->is_object() ? std::to_string(it->size()) : scalar_text(*it);
}

Json files_argument(const std::vector<std::string>& paths) {
  if (paths.empty()) return nullptr;
  return Json(paths);
}

// --- index ---

// The skipped row of an index answer.
void add_skipped(Table& table, const Json& answer) {
  std::string reasons;
  for (const auto& [reason, count] : member(answer, "skipped_reasons").items()) {
    reasons += (reasons.empty() ? "" : ", ") + reason + " " + scalar_text(count);
  }
  table.add_row({"skipped", count_of(answer, "skipped"),
                 "files, and " + count_of(answer, "skipped_folders") + " folders" +
                     (reasons.empty() ? "" : " (" + reasons + ")")});
}

std::string files_text(const std::string& count) {
  return count + (count == "1" ? " file" : " files");
}

// A dry run: the files that would be indexed, then what was left out.
std::string show_preview(const Json& answer) {
  std::string out = "Would index " + files_text(str(answer, "files")) + " below " +
                    str(answer, "directory") + ", " + str(answer, "total_bytes") + " bytes:\n";
  for (const Json& path : member(answer, "paths")) out += "  " + scalar_text(path) + "\n";
  Table table;
  add_skipped(table, answer);
  return out + table.render(2, terminal_width());
}

std::string show_index(const Json& answer) {
  if (member(answer, "dry_run") == true) return show_preview(answer);
  std::string out = "Indexed " + str(answer, "directory") + ": " +
                    files_text(str(answer, "files")) + " in " + str(answer, "time_ms") + " ms\n";
  Table table;
  table.add_row({"indexed", count_of(answer, "indexed"), "new files"});
  table.add_row({"updated", count_of(answer, "updated"), "changed files, changed chunks only"});
  table.add_row({"unchanged", count_of(answer, "unchanged"), "left alone"});
  if (count_of(answer, "reembedded") != "0") {
    table.add_row({"re-embedded", count_of(answer, "reembedded"),
                   "unchanged files embedded by the embedder in use"});
  }
  add_skipped(table, answer);
  table.add_row({"failed", count_of(answer, "failed"), ""});
  out += table.render(2, terminal_width());
  for (const Json& failure : member(answer, "failures")) {
    out += "    " + str(failure, "file_path") + ": " + str(failure, "reason") + "\n";
  }
  return out;
}

int run_index(Invocation& invocation) {
  std::string directory = invocation.operands.empty() ? "." : invocation.operands[0];
  ProgressBar bar;
  Json arguments = {{"directory", directory},
                    {"include", invocation.texts("include")},
                    {"exclude", invocation.texts("exclude")},
                    {"dry_run", invocation.has("dry-run")}};
  Json answer = invocation.host->call_tool(
      "index_directory", arguments,
      [&bar](std::int64_t done, std::int64_t total, const std::string& label) {
        bar.update(done, total, label);
      });
  bar.clear();
  return show(invocation, answer, show_index);
}

// --- search ---

std::string location_of(const Json& result) {
  const Json& chunk = member(result, "chunk");
  std::string file =
      result.contains("file_path") ? str(result, "file_path") : str(chunk, "file_path");
  if (chunk.contains("start_line")) {
    file += ":" + str(chunk, "start_line");
    if (chunk.contains("end_line") && chunk["end_line"] != chunk["start_line"]) {
      file += "-" + str(chunk, "end_line");
    }
  }
  return file;
}

std::string show_search(const Json& answer) {
  const Json& results = member(answer, "results");
  if (results.empty()) return "No results for \"" + str(answer, "query") + "\".\n";
  Table table({"SCORE", "WHERE", "UNIT", "SUMMARY"});
  for (const Json& result : results) {
    const Json& chunk = member(result, "chunk");
    table.add_row({score_text(member(result, "score")), location_of(result), str(chunk, "name"),
                   one_line(str(chunk, "summary"))});
  }
  std::string out = table.render(0, terminal_width());
  if (answer.contains("call_chain")) {
    out += "\nCall chain:\n";
    for (const Json& line : answer["call_chain"]) out += "  " + scalar_text(line) + "\n";
  }
  if (answer.contains("grouped_results")) {
    out += "\nBy purpose:\n";
    for (const auto& [group, members] : answer["grouped_results"].items()) {
      if (members.empty()) continue;
      std::string names;
      for (const Json& hit : members) {
        names += (names.empty() ? "" : ", ") + str(member(hit, "chunk"), "name");
      }
      out += "  " + group + ": " + names + "\n";
    }
  }
  return out;
}

int run_search(Invocation& invocation) {
  Json arguments = {{"query", invocation.joined_operands()},
                    {"top_k", invocation.integer("top-k", 5)},
                    {"file_paths", files_argument(invocation.texts("in"))},
                    {"trace_calls", invocation.has("trace")}};
  if (invocation.has("group")) arguments["group_by"] = "semantic_purpose";
  return show(invocation, invocation.host->call_tool("search_codebase", arguments), show_search);
}

// --- summary ---

std::string show_summary(const Json& answer) {
  std::string verbosity = str(answer, "verbosity");
  if (verbosity == "brief") return str(answer, "summary") + "\n";
  std::string out = str(answer, "file") + " (" + str(answer, "language") + ")\n";
  if (verbosity == "normal") {
    Table table({"LINES", "TYPE", "UNIT", "CALLED BY"});
    for (const Json& unit : member(member(answer, "code_flow"), "units")) {
      table.add_row({str(unit, "start_line") + "-" + str(unit, "end_line"), str(unit, "type"),
                     str(unit, "name"), joined(member(unit, "called_by"))});
    }
    return out + table.render(2, terminal_width());
  }
  if (verbosity == "detailed") {
    for (const Json& chunk : member(answer, "chunks")) {
      out += "\n--- " + str(chunk, "name") + " (" + str(chunk, "type") + ", lines " +
             str(chunk, "start_line") + "-" + str(chunk, "end_line") + ")\n" +
             str(chunk, "content") + "\n";
    }
    return out;
  }
  return readable_json(answer);
}

int run_summary(Invocation& invocation) {
  std::string verbosity = invocation.text("verbosity", "brief");
  Json answer = invocation.host->call_tool(
      "summarize_context", {{"file_path", invocation.operands[0]}, {"verbosity", verbosity}});
  return show(invocation, answer, show_summary);
}

// --- graph ---

std::string show_graph(const Json& answer) {
  std::string out;
  for (const auto& [path, graph] : member(answer, "results").items()) {
    out += (out.empty() ? "" : "\n") + path + "\n";
    if (std::optional<std::string> failure = error_answer_message(graph)) {
      out += "  " + *failure + "\n";
      continue;
    }
    Table table;
    table.add_row({"imports", joined(member(graph, "imports"))});
    table.add_row({"imported by", joined(member(graph, "imported_by"))});
    std::string external;
    for (const auto& [package, detail] : member(graph, "external_packages").items()) {
      external += (external.empty() ? "" : ", ") + package;
    }
    table.add_row({"external", external.empty() ? "-" : external});
    table.add_row({"calls out", count_of(graph, "calls_to")});
    table.add_row({"called by", count_of(graph, "called_by")});
    std::string unused;
    for (const Json& function : member(graph, "unused_functions")) {
      unused += (unused.empty() ? "" : ", ") + str(function, "function");
    }
    table.add_row({"unused", unused.empty() ? "-" : unused});
    if (graph.contains("transitive_imports")) {
      table.add_row({"transitive", readable_json(graph["transitive_imports"])});
    }
    out += table.render(2, terminal_width());
    out += "  " + str(graph, "graph_summary") + "\n";
  }
  return out;
}

int run_graph(Invocation& invocation) {
  Json answer = invocation.host->call_tool(
      "dependency_graph",
      {{"file_paths", invocation.operands}, {"depth", invocation.integer("depth", 1)}});
  return show(invocation, answer, show_graph);
}

// --- cycles ---

std::string show_cycles(const Json& answer) {
  const Json& cycles = member(answer, "cycles_found");
  std::string modules = count_of(answer, "module_count");
  if (cycles.empty()) return "No circular imports among " + modules + " modules.\n";
  std::string out = std::to_string(cycles.size()) + " circular import" +
                    (cycles.size() == 1 ? "" : "s") + " among " + modules + " modules:\n";
  for (const Json& cycle : cycles) out += "  " + joined(cycle, " -> ") + "\n";
  return out;
}

int run_cycles(Invocation& invocation) {
  return show(invocation, invocation.host->call_tool("circular_dependency_check", Json::object()),
              show_cycles);
}

// --- usage ---

std::string functions_text(const Json& functions) {
  std::string text;
  for (const Json& function : functions) {
    std::string name = function.is_object() ? str(function, "name") : scalar_text(function);
    if (function.is_object() && function.contains("line")) name += ":" + str(function, "line");
    text += (text.empty() ? "" : ", ") + name;
  }
  return text.empty() ? "-" : text;
}

std::string show_usage(const Json& answer) {
  Table table;
  auto row = [&](const char* label, const char* key) {
    const Json& functions = member(answer, key);
    table.add_row({label, std::to_string(functions.size()), functions_text(functions)});
  };
  row("defined", "functions_defined");
  row("used elsewhere", "functions_used_externally");
  row("unused", "functions_unused");
  std::string parameters;
  for (const Json& parameter : member(answer, "parameters_unused")) {
    std::string text = parameter.is_object()
                           ? str(parameter, "function") + "(" + str(parameter, "param") + ")"
                           : scalar_text(parameter);
    parameters += (parameters.empty() ? "" : ", ") + text;
  }
  table.add_row({"unused parameters", count_of(answer, "parameters_unused"),
                 parameters.empty() ? "-" : parameters});
  return table.render(0, terminal_width());
}

int run_usage(Invocation& invocation) {
  return show(invocation,
              invocation.host->call_tool("usage_analysis", {{"file_path", invocation.operands[0]}}),
              show_usage);
}

// --- stats ---

std::string show_stats(const Json& answer, bool all_files) {
  Table totals;
  totals.add_row(
      {"files", count_of(answer, "total_files"),
       count_of(answer, "fresh_files") + " fresh, " + count_of(answer, "stale_files") + " stale"});
  totals.add_row(
      {"chunks", count_of(answer, "total_chunks"), count_of(answer, "vectors") + " vectors"});
  totals.add_row(
      {"retrievals", count_of(answer, "retrievals"), "hit rate " + str(answer, "hit_rate")});
  const Json& embedder = member(answer, "embedder");
  totals.add_row(
      {"embedder", embedder.is_object() ? str(embedder, "name") : scalar_text(embedder)});
  std::string out =
      "Code memory of agent " + str(answer, "agent_id") + "\n" + totals.render(2, terminal_width());
  Table files({"FILE", "LANGUAGE", "CHUNKS", "STATE", "READS"});
  for (const Json& file : member(answer, "files")) {
    std::string state = str(file, "freshness");
    if (!all_files && state == "fresh") continue;
    if (file.contains("stale_reason")) state += " (" + str(file, "stale_reason") + ")";
    files.add_row({str(file, "file_path"), str(file, "language"), str(file, "chunk_count"), state,
                   str(file, "access_count")});
  }
  if (!files.empty()) out += "\n" + files.render(2);
  const Json& advice = member(answer, "recommendations");
  if (!advice.empty()) {
    out += "\n";
    for (const Json& line : advice) out += "  * " + scalar_text(line) + "\n";
  }
  return out;
}

int run_stats(Invocation& invocation) {
  bool all_files = invocation.has("files");
  Json answer = invocation.host->call_tool("cache_stats", Json::object());
  return show(invocation, answer, [all_files](const Json& a) { return show_stats(a, all_files); });
}

// --- snapshot, diff ---

int run_snapshot(Invocation& invocation) {
  Json answer = invocation.host->call_tool("create_snapshot",
                                           {{"message", invocation.text("message", "Snapshot")}});
  return show(invocation, answer, [](const Json& a) {
    return "Snapshot " + str(a, "sha") + " (" + str(a, "message") + ")\n";
  });
}

std::string show_diff(const Json& answer) {
  const Json& diff = member(answer, "diff");
  std::string out =
      str(diff, "from") + " -> " + str(diff, "to") + ": " + str(diff, "summary") + "\n";
  for (const char* kind : {"added", "removed", "modified"}) {
    const Json& files = member(diff, kind);
    if (!files.is_array()) continue;
    for (const Json& file : files) {
      std::string path = file.is_object() ? str(file, "file_path") : scalar_text(file);
      out += std::string("  ") + kind + "  " + path + "\n";
    }
  }
  return out;
}

int run_diff(Invocation& invocation) {
  Json answer = invocation.host->call_tool(
      "compare_snapshots", {{"sha_a", invocation.operands[0]}, {"sha_b", invocation.operands[1]}});
  return show(invocation, answer, show_diff);
}

}  // namespace

std::vector<Command> coding_commands() {
  return {
      {"index",
       "[PATH]",
       "index the source files below a folder (default: .)",
       "Indexes every source file below PATH (a folder, or one file) into the agent's code\n"
       "memory: new files are indexed, changed ones re-indexed by their changed chunks,\n"
       "unchanged ones left alone. Skips .git, build and dependency folders, hidden files,\n"
       "binary files, files over the size limit (--max-file-size, 1M by default), and what\n"
       "ignore files exclude: .gitignore files, the repository's .git/info/exclude, and\n"
       ".vantoryignore files (.gitignore syntax, in any folder, overriding the .gitignore\n"
       "beside them). Patterns of --include and --exclude use the same syntax, relative to\n"
       "PATH. Shows a progress bar on standard error.",
       {{"include", "GLOB", "only index files this pattern matches (or a folder of them)", true},
        {"exclude", "GLOB", "leave out what this pattern matches", true},
        {"dry-run", "", "list the files that would be indexed and their total size; change "
                        "nothing"}},
       0,
       1,
       run_index},
      watch_command(),
      {"search",
       "QUERY...",
       "search the indexed code",
       "Hybrid semantic and keyword search over the indexed code units.",
       {{"top-k", "N", "the most results to show (default 5)"},
        {"in", "PATH", "only search this file or folder", true},
        {"trace", "", "add the chain of calls into and out of the hits"},
        {"group", "", "group the hits by what they do"}},
       1,
       kAnyNumber,
       run_search},
      {"summary",
       "FILE",
       "summarise one file",
       "A file's context: one line (brief), its units with their callers (normal) or its\n"
       "whole chunks (detailed). Indexes the file first when it is missing or stale.",
       {{"verbosity", "LEVEL", "brief, normal or detailed (default brief)"}},
       1,
       1,
       run_summary},
      {"graph",
       "FILE...",
       "the import and call graph of up to 10 files",
       "What the files import, what imports them, their calls in and out, external packages\n"
       "and functions nothing else calls.",
       {{"depth", "N", "2 adds the imported modules' own imports (default 1)"}},
       1,
       kAnyNumber,
       run_graph},
      {"cycles",
       "",
       "check the indexed code for circular imports",
       "Every circular import among the indexed modules.",
       {},
       0,
       0,
       run_cycles},
      {"usage",
       "FILE",
       "defined versus used functions of a file, unused parameters",
       "Which functions a file defines, which other files use, which nothing uses, and which\n"
       "parameters are never read.",
       {},
       1,
       1,
       run_usage},
      {"stats",
       "",
       "the state of the code memory",
       "Files, chunks and vectors of the agent's code memory, the files that changed since\n"
       "they were indexed, and what to do about them.",
       {{"files", "", "list every file, not only stale ones"}},
       0,
       0,
       run_stats},
      {"snapshot",
       "",
       "record which files are indexed with which content",
       "Takes an immutable snapshot of the agent's indexed files; compare two with diff.",
       {{"message", "TEXT", "a message kept with the snapshot"}},
       0,
       0,
       run_snapshot},
      {"diff",
       "A B",
       "compare two snapshots",
       "The files added, removed and modified between snapshot A and snapshot B (ids or\n"
       "unique prefixes of seven or more characters).",
       {},
       2,
       2,
       run_diff},
  };
}

}  // namespace vantory::cli
