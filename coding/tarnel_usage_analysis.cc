// usage_analysis: the functions one indexed file defines, which of them other files call,
// which look unused, and which parameters their bodies never mention.
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

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
#include "common/unicode.h"

namespace vantory {

namespace {

// The longest list of type parameters looked past between a unit's name and its parameters.
constexpr std::size_t kMaxTypeParameters = 256;

bool is_word_byte(char c) {
  auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) || c == '_' || c == '$' || byte >= 0x80;
}

// Where the balanced group opened by `text[open]` ('(', '<' or '[') ends, just past its
// closing character; npos when it never closes.
std::size_t past_group(std::string_view text, std::size_t open) {
  const char opener = text[open];
  const char closer = opener == '(' ? ')' : opener == '<' ? '>' : ']';
  int depth = 0;
  for (std::size_t i = open; i < text.size(); ++i) {
    if (text[i] == opener) {
      ++depth;
    } else if (text[i] == closer && --depth == 0) {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

std::size_t skip_spaces(std::string_view text, std::size_t at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  return at;
}

// Where the parameter list of a unit named `name` opens in its text: the first "(" that
// follows the name as a whole word, type parameters allowed between them (`def load(`,
// `func (s *Store) Load(`, `fn load<T>(`); else the first "(" after the name's first
// mention (`handler = (req, res) =>`); else the first "(" of the text; npos without one.
std::size_t parameter_list(std::string_view text, std::string_view name) {
  std::size_t first_mention = std::string_view::npos;
  for (std::size_t at = name.empty() ? std::string_view::npos : text.find(name);
       at != std::string_view::npos; at = text.find(name, at + 1)) {
    std::size_t end = at + name.size();
    if ((at > 0 && is_word_byte(text[at - 1])) || (end < text.size() && is_word_byte(text[end]))) {
      continue;
    }
    if (first_mention == std::string_view::npos) first_mention = at;
    std::size_t next = skip_spaces(text, end);
    if (next < text.size() && (text[next] == '<' || text[next] == '[')) {
      // Type parameters are short; a bounded look keeps text that mentions the name often
      // (a<b && a<c ...) linear.
      next = skip_spaces(text, past_group(text.substr(0, next + kMaxTypeParameters), next));
    }
    if (next < text.size() && text[next] == '(') return next;
  }
  return text.find('(', first_mention == std::string_view::npos ? 0 : first_mention);
}

// The text that follows the signature of a callable unit named `name`: where its parameters
// are used. A mention in the signature itself is the declaration, not a use. Text without a
// parameter list (x => x * 2), or whose list never closes, is taken whole.
std::string_view function_body(std::string_view text, std::string_view name) {
  std::size_t open = parameter_list(text, name);
  if (open == std::string_view::npos) return text;
  std::size_t body = past_group(text, open);
  return body == std::string_view::npos ? text : text.substr(body);
}

// `body` without the "line:<n>" markers that some indexers put before each line: a parameter
// named line is not used by them.
std::string without_line_markers(std::string_view body) {
  static const Pattern marker(R"(line:-?\d+\s)");
  std::string out;
  std::size_t copied = 0;
  for (const Pattern::Match& match : marker.find_all(body)) {
    out.append(body.substr(copied, match.start - copied));
    out.push_back(' ');
    copied = match.end;
  }
  out.append(body.substr(copied));
  return out;
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
  FileContexts contexts(*store_, agent_id);
  std::optional<std::size_t> own = contexts.find(normalized);
  if (!own) return error_answer("File not indexed: " + file_path);
  const Json& chunks = contexts.chunks(*own);

  Json defined = Json::array();
  std::unordered_set<std::string_view> defined_names;
  for (const Json& chunk : chunks) {
    if (!records::is_callable_unit(chunk)) continue;
    const Json& name = records::get_or(chunk, "name", records::kNull);
    if (name.is_string()) defined_names.insert(name.get_ref<const std::string&>());
    defined.push_back(
        Json{{"name", name}, {"line", records::get_or(chunk, "start_line", records::kNull)}});
  }

  // Calls from other files into this module, by the last part of the called name.
  Json used_externally = Json::array();
  std::unordered_set<std::string_view> external_names;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (contexts.normalized_path(i) == normalized) continue;
    for (const Json& chunk : contexts.chunks(i)) {
      for (const Json& call : records::get_array(chunk, "calls")) {
        std::string_view target = records::text_member(call, "target", "");
        if (!names_module(target, module_name)) continue;
        std::string_view used = last_component(target);
        if (external_names.emplace(used).second) used_externally.push_back(used);
      }
    }
  }

  std::unordered_set<std::string_view> used_internal;
  for (const Json& chunk : chunks) {
    for (const Json& call : records::get_array(chunk, "calls")) {
      std::string_view target = records::text_member(call, "target", "");
      // A method calling itself or a sibling by its dotted name (Store.load) uses it too.
      if (target.starts_with("self.") || defined_names.contains(target)) {
        used_internal.insert(last_component(target));
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
    const Json& start_line = records::get_or(chunk, "start_line", records::kNull);
    std::string name = to_lower(last_component(records::text_member(chunk, "name", "")));
    std::string body = without_line_markers(function_body(content, name));
    for (const Json& parameter : parameters) {
      const Json& name = records::require(records::as_record(parameter, "parameter record"), "name");
      if (!name.is_string()) {
        throw TypeError(std::string("'name' must be a string, not ") + type_name(name));
      }
      std::string lowered = to_lower(name.get_ref<const std::string&>());
      if (lowered == "self" || lowered == "cls" || search.mentioned(body, lowered)) continue;
      unused_parameters.push_back(Json{{"function", records::get_or(chunk, "name", records::kNull)},
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
