// dependency_graph: imports, importers, calls in and out, outside packages and unused
// functions of up to ten indexed files, read from the store only.
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "coding/internal/call_index.h"
#include "coding/internal/file_contexts.h"
#include "coding/internal/module_names.h"
#include "coding/internal/pattern.h"
#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "coding/tarnel.h"
#include "common/error.h"
#include "common/error_answer.h"
#include "common/message_text.h"
#include "common/paths.h"

namespace vantory {

namespace {

constexpr std::size_t kMaxPaths = 10;

const Json kZero = 0;
const Json kEmptyText = "";
const Json kUnknown = "unknown";

// The module stem that callers name a file by: src/pkg/util.py is util.
std::string module_of(const std::string& normalized) {
  return std::string(file_stem(base_name(normalized)));
}

// A callable chunk with no recorded calls still shows the calls it makes through attributes
// (self.store.save(...)); those are read from its text, for this analysis only.
Json calls_in_text(const Json& chunk) {
  static const Pattern attribute_call(R"(self\.(\w+)\.(\w+)\s*\()");
  Json calls = Json::array();
  std::string_view content = records::text_member(chunk, "content", "");
  const Json& line = records::get_or(chunk, "start_line", kZero);
  for (const Pattern::Match& match : attribute_call.find_all(content)) {
    std::string target(match.groups[0]);
    target += '.';
    target += match.groups[1];
    calls.push_back(Json{{"target", std::move(target)}, {"line", line}});
  }
  return calls;
}

// The analysis of the requested files against one load of the agent's contexts.
class GraphAnalysis {
 public:
  // `modules`: the module stems of all requested files, whose callers are looked for;
  // `functions`: the last parts of the names of their callable units.
  GraphAnalysis(CodingContextStore& store, const std::string& agent_id, FileContexts& contexts,
                std::vector<std::string> modules, std::vector<std::string> functions)
      : store_(store),
        agent_id_(agent_id),
        contexts_(contexts),
        modules_(std::move(modules)),
        functions_(std::move(functions)) {
    for (std::size_t i = 0; i < contexts_.size(); ++i) {
      first_by_stem_.emplace(file_stem(contexts_.stored_path(i)), i);
    }
  }

  Json analyse(const std::string& requested, bool transitive) {
    std::string normalized = normalize_path(requested);
    std::string basename(base_name(normalized));
    std::string module_name = module_of(normalized);

    Json imports = Json::array();
    for (const Json& record : import_records(normalized)) {
      if (const Json* module = records::find(record, "module")) imports.push_back(*module);
    }
    Json importers = store_.find_importers(agent_id_, module_name);
    Json imported_by = Json::array();
    for (const Json& record : records::as_list(importers, "find_importers")) {
      imported_by.push_back(records::require(records::as_record(record, "importer record"),
                                             "file_path"));
    }

    std::optional<std::size_t> own = contexts_.find(normalized);
    Json calls_to = own ? outgoing_calls(contexts_.chunks(*own)) : Json::array();
    Json called_by = incoming_calls(normalized, module_name);
    Json packages = own ? external_packages(contexts_[*own]) : Json::object();
    Json unused = own ? unused_functions(contexts_.chunks(*own), normalized) : Json::array();
    Json further = transitive ? transitive_imports(imports) : Json::array();

    std::string summary = basename + " depends on " + std::to_string(imports.size()) +
                          " modules and is used by " + std::to_string(importers.size()) +
                          " modules";
    Json member = {{"status", "ok"},
                   {"file", std::move(basename)},
                   {"file_path", std::move(normalized)},
                   {"imports", std::move(imports)},
                   {"imported_by", std::move(imported_by)},
                   {"calls_to", std::move(calls_to)},
                   {"called_by", std::move(called_by)},
                   {"external_packages", std::move(packages)},
                   {"unused_functions", std::move(unused)},
                   {"graph_summary", std::move(summary)}};
    if (!further.empty()) member["transitive_imports"] = std::move(further);
    return member;
  }

 private:
  // A record that is not an object holds no `module`: the readers below pass it over.
  Json import_records(const std::string& stored_path) {
    Json answer = store_.get_file_imports(agent_id_, stored_path);
    records::as_list(answer, "get_file_imports");
    return answer;
  }

  // Chunks and call records that are not objects hold no calls.
  static Json outgoing_calls(const Json& chunks) {
    Json entries = Json::array();
    for (const Json& chunk : chunks) {
      if (!chunk.is_object()) continue;
      const Json* calls = &records::get_array(chunk, "calls");
      Json from_text;
      if (calls->empty() && records::is_callable_unit(chunk)) {
        from_text = calls_in_text(chunk);
        calls = &from_text;
      }
      const Json& from = records::get_or(chunk, "name", kUnknown);
      for (const Json& call : *calls) {
        if (!call.is_object()) continue;
        entries.push_back(
            Json{{"target", records::get_or(call, "target", records::kNull)},
                 {"from", from},
                 {"line", records::get_or(call, "line", kZero)},
                 {"signature", records::get_or(call, "signature", kEmptyText)},
                 {"parameters_passed", records::get_or(call, "parameters_passed", kEmptyText)},
                 {"return_used_as", records::get_or(call, "return_used_as", kEmptyText)}});
      }
    }
    return entries;
  }

  // Calls from every other stored file into this module. A stored path is compared as stored,
  // so a context kept under an unnormalised path counts as another file, even when it is this
  // one.
  Json incoming_calls(const std::string& normalized, const std::string& module_name) {
    const CallIndex& index = call_index();
    index.expect_text_targets_outside(normalized);
    Json entries = Json::array();
    for (const CallIndex::Call& call : index.naming(module_name)) {
      std::string_view other_path = contexts_.stored_path(call.context);
      if (other_path == normalized) continue;
      entries.push_back(Json{{"caller", records::get_or(*call.chunk, "name", kUnknown)},
                             {"caller_file", base_name(other_path)},
                             {"line", records::get_or(*call.record, "line", kZero)}});
    }
    return entries;
  }

  static Json external_packages(const Json& context) {
    Json packages = Json::object();
    std::unordered_set<std::string_view> seen;
    for (const Json& name : records::get_array(context, "external_imports")) {
      if (!name.is_string()) {
        throw TypeError(std::string("'external_imports' must hold strings, not ") +
                        type_name(name));
      }
      const std::string& text = name.get_ref<const std::string&>();
      if (!seen.insert(text).second) continue;
      records::append_new_member(packages, text, Json{{"version", "unknown"}, {"installed", true}});
    }
    return packages;
  }

  // A callable unit is unused when no call in its own file names it (directly or as
  // self.<last part of its name>) and no other file calls it by a name ending in that last
  // part (run, util.run, app.run for util.run).
  Json unused_functions(const Json& chunks, const std::string& normalized) {
    std::unordered_set<std::string_view> targets;
    for (const Json& chunk : chunks) {
      for (const Json& call : records::get_array(chunk, "calls")) {
        if (const std::string* target = records::string_member(call, "target")) {
          targets.insert(*target);
        }
      }
    }
    Json unused = Json::array();
    for (const Json& chunk : chunks) {
      if (!records::is_callable_unit(chunk)) continue;
      std::string_view func_name = records::text_member(chunk, "name", "");
      std::string_view short_name = last_component(func_name);
      if (targets.contains(func_name) || targets.contains("self." + std::string(short_name)) ||
          call_index().called_outside(short_name, normalized)) {
        continue;
      }
      unused.push_back(Json{{"function", func_name},
                            {"line", records::get_or(chunk, "start_line", kZero)},
                            {"reason", "no_external_callers"}});
    }
    return unused;
  }

  // One further level: the imports of each imported module that is itself an indexed file,
  // matched on the module's last component against stored file stems.
  Json transitive_imports(const Json& imports) {
    Json entries = Json::array();
    for (const Json& module : imports) {
      if (!module.is_string()) {
        throw TypeError(std::string("'module' must be a string, not ") + type_name(module));
      }
      std::string_view via = last_component(module.get_ref<const std::string&>());
      auto match = first_by_stem_.find(via);
      if (match == first_by_stem_.end()) continue;
      for (const Json& record : import_records(std::string(contexts_.stored_path(match->second)))) {
        if (const Json* further = records::find(record, "module")) {
          entries.push_back(Json{{"via", via}, {"module", *further}});
        }
      }
    }
    return entries;
  }

  // Built when the first file asks for its callers.
  const CallIndex& call_index() {
    if (!calls_) calls_.emplace(contexts_, modules_, functions_);
    return *calls_;
  }

  CodingContextStore& store_;
  const std::string& agent_id_;
  FileContexts& contexts_;
  std::vector<std::string> modules_;
  std::vector<std::string> functions_;
  // File stem of the stored path -> the first context with that stem.
  std::unordered_map<std::string_view, std::size_t> first_by_stem_;
  std::optional<CallIndex> calls_;
};

}  // namespace

Json Tarnel::dependency_graph(const std::string& agent_id, const Json& file_paths,
                              std::int64_t depth) {
  records::expect_array(file_paths, "file_paths", false);
  for (const Json& path : file_paths) {
    if (!path.is_string()) {
      throw TypeError(std::string("'file_paths' must hold strings, not ") + type_name(path));
    }
  }
  if (file_paths.size() > kMaxPaths) {
    return error_answer("Too many file paths. Please limit to 10 files per call.");
  }
  FileContexts contexts(*store_, agent_id);
  std::vector<std::string> modules;
  std::vector<std::string> functions;
  for (const Json& path : file_paths) {
    std::string normalized = normalize_path(path.get_ref<const std::string&>());
    modules.push_back(module_of(normalized));
    std::optional<std::size_t> own = contexts.find(normalized);
    if (!own) continue;
    for (const Json& chunk : contexts.chunks(*own)) {
      if (!records::is_callable_unit(chunk)) continue;
      functions.emplace_back(last_component(records::text_member(chunk, "name", "")));
    }
  }
  GraphAnalysis analysis(*store_, agent_id, contexts, std::move(modules), std::move(functions));
  Json results = Json::object();
  for (const Json& path : file_paths) {
    const std::string& requested = path.get_ref<const std::string&>();
    results[requested] = analysis.analyse(requested, depth > 1);
  }
  return Json{{"status", "ok"}, {"results", std::move(results)}};
}

}  // namespace vantory
