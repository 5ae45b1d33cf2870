// usage_analysis: the functions one indexed file defines, which of them other files call,
// which look unused, and which parameters their bodies never mention.
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "coding/file_contexts.h"
#include "coding/module_names.h"
#include "coding/pattern.h"
#include "coding/record_views.h"
#include "coding/records.h"
#include "coding/tarnel.h"
#include "common/error.h"
#include "common/message_text.h"
#include "common/paths.h"
#include "common/unicode.h"

namespace vantory {

namespace {

const Json kNull = nullptr;

// The decimal text of `value` + 1, for any JSON integer (no overflow at the type's limit).
std::string successor_text(const Json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() < 0) {
    return std::to_string(value.get<std::int64_t>() + 1);
  }
  std::string digits = value_text(value);
  std::size_t i = digits.size();
  while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
  if (i == 0) {
    digits.insert(digits.begin(), '1');
  } else {
    ++digits[i - 1];
  }
  return digits;
}

// Where "line:<number>" followed by one white space character first occurs, or npos.
std::size_t find_line_marker(std::string_view content, const std::string& number) {
  static const Pattern space(R"(\s)");
  std::string marker = "line:" + number;
  for (std::size_t at = content.find(marker); at != std::string_view::npos;
       at = content.find(marker, at + 1)) {
    if (space.matches_at(content, at + marker.size())) return at;
  }
  return std::string_view::npos;
}

// The part of a callable chunk's (lower-cased) text that counts as its body. Chunk text may
// carry "line:<n>" markers: the body then starts at the marker of the line after start_line;
// text without a start_line marker is searched whole.
std::string_view function_body(std::string_view content, const Json& start_line) {
  if (start_line.is_null()) return content;
  if (!start_line.is_number_integer()) {
    throw TypeError(std::string("'start_line' must be an int, not ") + type_name(start_line));
  }
  if (find_line_marker(content, value_text(start_line)) == std::string_view::npos) return content;
  std::size_t body = find_line_marker(content, successor_text(start_line));
  return body == std::string_view::npos ? std::string_view() : content.substr(body);
}

// Whole-word searches for parameter names. A name is matched literally, so names holding
// pattern characters are searched like any other; the * or ** that marks a variadic
// parameter (*args, **kwargs) is not part of the word that the body mentions.
class ParameterSearch {
 public:
  bool mentioned(std::string_view body, std::string_view name) {
    std::size_t stars = 0;
    while (stars < 2 && stars < name.size() && name[stars] == '*') ++stars;
    std::string word(name.substr(stars));
    auto it = patterns_.find(word);
    if (it == patterns_.end()) {
      auto pattern = std::make_unique<Pattern>("\\b" + Pattern::escape(word) + "\\b");
      it = patterns_.emplace(std::move(word), std::move(pattern)).first;
    }
    return it->second->search(body).has_value();
  }

 private:
  std::unordered_map<std::string, std::unique_ptr<Pattern>> patterns_;
};

const std::string& function_name(const Json& defined) {
  const Json& name = defined["name"];
  if (!name.is_string()) {
    throw TypeError(std::string("'name' must be a string, not ") + type_name(name));
  }
  return name.get_ref<const std::string&>();
}

}  // namespace

Json Tarnel::usage_analysis(const std::string& agent_id, const std::string& file_path) {
  std::string normalized = normalize_path(file_path);
  std::string module_name(file_stem(base_name(normalized)));
  FileContexts contexts(*store, agent_id);
  std::optional<std::size_t> own = contexts.find(normalized);
  if (!own) return records::error_object("File not indexed: " + file_path);
  const Json& chunks = contexts.chunks(*own);

  Json defined = Json::array();
  std::unordered_set<std::string_view> defined_names;
  for (const Json& item : chunks) {
    const Json& chunk = records::as_record(item, "chunk");
    if (!records::is_callable_unit(chunk)) continue;
    const Json& name = records::get_or(chunk, "name", kNull);
    if (name.is_string()) defined_names.insert(name.get_ref<const std::string&>());
    defined.push_back(Json{{"name", name}, {"line", records::get_or(chunk, "start_line", kNull)}});
  }

  // Calls from other files into this module, by the last part of the called name.
  Json used_externally = Json::array();
  std::unordered_set<std::string_view> external_names;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (contexts.normalized_path(i) == normalized) continue;
    for (const Json& item : contexts.chunks(i)) {
      for (const Json& call : records::get_array(records::as_record(item, "chunk"), "calls")) {
        std::string_view target =
            records::text_member(records::as_record(call, "call record"), "target", "");
        if (!names_module(target, module_name)) continue;
        std::string_view used = last_component(target);
        if (external_names.emplace(used).second) used_externally.push_back(used);
      }
    }
  }

  std::unordered_set<std::string_view> used_internal;
  for (const Json& chunk : chunks) {
    for (const Json& call : records::get_array(chunk, "calls")) {
      std::string_view target =
          records::text_member(records::as_record(call, "call record"), "target", "");
      if (target.starts_with("self.")) {
        used_internal.insert(last_component(target));
      } else if (defined_names.contains(target)) {
        used_internal.insert(target);
      }
    }
  }
  Json unused = Json::array();
  for (const Json& function : defined) {
    std::string_view short_name = last_component(function_name(function));
    if (!external_names.contains(short_name) && !used_internal.contains(short_name)) {
      unused.push_back(function);
    }
  }

  Json unused_parameters = Json::array();
  ParameterSearch search;
  for (const Json& chunk : chunks) {
    if (!records::is_callable_unit(chunk)) continue;
    const Json& parameters = records::get_array(chunk, "parameters");
    std::string content = to_lower(records::text_member(chunk, "content", ""));
    const Json& start_line = records::get_or(chunk, "start_line", kNull);
    std::string_view body = function_body(content, start_line);
    for (const Json& parameter : parameters) {
      const Json& name = records::require(records::as_record(parameter, "parameter record"), "name");
      if (!name.is_string()) {
        throw TypeError(std::string("'name' must be a string, not ") + type_name(name));
      }
      std::string lowered = to_lower(name.get_ref<const std::string&>());
      if (lowered == "self" || lowered == "cls" || search.mentioned(body, lowered)) continue;
      unused_parameters.push_back(Json{{"function", records::get_or(chunk, "name", kNull)},
                                       {"param", std::move(lowered)},
                                       {"line", start_line}});
    }
  }

  return Json{{"functions_defined", std::move(defined)},
              {"functions_used_externally", std::move(used_externally)},
              {"functions_unused", std::move(unused)},
              {"parameters_unused", std::move(unused_parameters)}};
}

}  // namespace vantory
