#include "backend/chunking/unit_details.h"

#include <algorithm>
#include <cctype>

#include "backend/chunking/source_lines.h"

namespace vantory::backend {
namespace {

// Declarators nest a few levels (pointer to function returning pointer ...).
constexpr int kMaxDeclaratorDepth = 64;

std::string strip_template_arguments(std::string_view text) {
  std::string out;
  int depth = 0;
  for (char c : text) {
    if (c == '<') {
      ++depth;
    } else if (c == '>' && depth > 0) {
      --depth;
    } else if (depth == 0 && c != ' ' && c != '\t' && c != '\n' && c != '\r') {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::string dotted(std::string_view text) {
  // Operator names hold the very characters that the rest of this drops: operator<<.
  std::size_t op = text.find("operator");
  if (op != std::string_view::npos &&
      (op == 0 || !(std::isalnum(static_cast<unsigned char>(text[op - 1])) || text[op - 1] == '_'))) {
    std::string name = dotted(text.substr(0, op));
    for (char c : text.substr(op)) {
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') name.push_back(c);
    }
    return name;
  }
  std::string plain = strip_template_arguments(text);
  std::string out;
  for (std::size_t i = 0; i < plain.size(); ++i) {
    if (plain[i] == ':' && i + 1 < plain.size() && plain[i + 1] == ':') {
      if (!out.empty()) out.push_back('.');
      ++i;
    } else if (plain[i] == '*' || plain[i] == '&') {
      continue;
    } else {
      out.push_back(plain[i]);
    }
  }
  return out;
}

UnitDetails::UnitDetails(const Syntax& syntax, std::string_view text)
    : s_(syntax),
      text_(text),
      f_name_(syntax.field("name")),
      f_body_(syntax.field("body")),
      f_parameters_(syntax.field("parameters")),
      f_parameter_(syntax.field("parameter")),
      f_declarator_(syntax.field("declarator")),
      f_type_(syntax.field("type")),
      f_receiver_(syntax.field("receiver")),
      f_pattern_(syntax.field("pattern")),
      f_left_(syntax.field("left")),
      f_right_(syntax.field("right")),
      f_target_(syntax.field("target")),
      f_operand_(syntax.field("operand")),
      f_function_left_(syntax.field("functionDeclarationLeft")) {}

std::string UnitDetails::name(const FoundDefinition& found, bool& qualified) const {
  if (!found.name.empty()) return found.name;
  TSNode def = found.def;
  if (s_.is_c_family() && found.kind == FoundDefinition::kFunction) {
    std::string name = c_declarator_name(child_by_field(def, f_declarator_));
    qualified = name.find('.') != std::string::npos;
    return name;
  }
  if (s_.lang() == Lang::kGo && type_is(def, "method_declaration")) {
    qualified = true;
    std::string receiver = go_receiver_type(def);
    std::string name = text(child_by_field(def, f_name_));
    return receiver.empty() ? name : receiver + "." + name;
  }
  if (s_.lang() == Lang::kGo && type_is(def, "type_declaration")) {
    std::string name;
    for_each_named_child(def, [&](TSNode type_item, TSFieldId) {
      TSNode item_name = child_by_field(type_item, f_name_);
      if (ts_node_is_null(item_name)) return true;
      name = text(item_name);
      return false;
    });
    return name;
  }
  if (s_.lang() == Lang::kRust && type_is(def, "impl_item")) {
    return dotted(node_text(child_by_field(def, f_type_), text_));
  }
  if (s_.lang() == Lang::kElixir) return elixir_name(found);
  if (s_.lang() == Lang::kElm && type_is(def, "value_declaration")) {
    return text(first_named_child(child_by_field(def, f_function_left_)));
  }
  TSNode name = child_by_field(def, f_name_);
  if (ts_node_is_null(name)) {
    const char* fixed = s_.default_name(def);
    return fixed != nullptr ? fixed : std::string();
  }
  std::string plain = dotted(node_text(name, text_));
  if (s_.lang() == Lang::kLua) {
    // function Queue:push(job) is a method of Queue, as is function Queue.new().
    std::replace(plain.begin(), plain.end(), ':', '.');
    qualified = plain.find('.') != std::string::npos;
  }
  return plain;
}

std::string UnitDetails::elixir_name(const FoundDefinition& found) const {
  if (found.kind == FoundDefinition::kFunction) {
    // The head is f(a, b) or, without parameters, f.
    TSNode head = found.function;
    if (type_is(head, "call")) head = child_by_field(head, f_target_);
    return type_is(head, "identifier") ? text(head) : std::string();
  }
  // defmodule Shop.Cart do
  TSNode arguments{};
  for_each_named_child(found.def, [&](TSNode child, TSFieldId) {
    if (type_is(child, "arguments")) arguments = child;
    return ts_node_is_null(arguments);
  });
  TSNode module = first_named_child(arguments);
  return type_is(module, "alias") ? text(module) : std::string();
}

std::string UnitDetails::c_declarator_name(TSNode declarator) const {
  for (int depth = 0; depth < kMaxDeclaratorDepth && !ts_node_is_null(declarator); ++depth) {
    TSNode inner = child_by_field(declarator, f_declarator_);
    if (ts_node_is_null(inner)) {
      if (!type_is(declarator, "parenthesized_declarator") &&
          !type_is(declarator, "reference_declarator") &&
          !type_is(declarator, "attributed_declarator")) {
        return dotted(node_text(declarator, text_));
      }
      inner = ts_node_named_child(declarator, 0);
    }
    declarator = inner;
  }
  return {};
}

std::string UnitDetails::go_receiver_type(TSNode method) const {
  TSNode receiver = child_by_field(method, f_receiver_);
  if (ts_node_is_null(receiver)) return {};
  TSNode parameter = ts_node_named_child(receiver, 0);
  if (ts_node_is_null(parameter)) return {};
  std::string type = dotted(node_text(child_by_field(parameter, f_type_), text_));
  std::size_t bracket = type.find('[');
  if (bracket != std::string::npos) type.resize(bracket);
  return type;
}

TSNode UnitDetails::parameter_list(const FoundDefinition& found) const {
  TSNode function = found.function;
  if (s_.lang() == Lang::kElixir) {
    TSNode arguments{};
    if (type_is(function, "call")) {
      for_each_named_child(function, [&](TSNode child, TSFieldId) {
        if (type_is(child, "arguments")) arguments = child;
        return ts_node_is_null(arguments);
      });
    }
    return arguments;
  }
  if (s_.lang() == Lang::kElm) return child_by_field(function, f_function_left_);
  if (s_.is_c_family()) {
    TSNode declarator = child_by_field(function, f_declarator_);
    for (int depth = 0; depth < kMaxDeclaratorDepth && !ts_node_is_null(declarator); ++depth) {
      if (type_is(declarator, "function_declarator")) return child_by_field(declarator, f_parameters_);
      TSNode inner = child_by_field(declarator, f_declarator_);
      declarator = ts_node_is_null(inner) ? ts_node_named_child(declarator, 0) : inner;
    }
    return {};
  }
  TSNode parameters = child_by_field(function, f_parameters_);
  if (ts_node_is_null(parameters)) parameters = child_by_field(function, f_parameter_);
  if (ts_node_is_null(parameters)) {
    for_each_named_child(function, [&](TSNode child, TSFieldId) {
      if (s_.role(child) == Role::kParameters) parameters = child;
      return ts_node_is_null(parameters);
    });
  }
  // Swift and Solidity write the parameters straight into the function.
  if (ts_node_is_null(parameters) && s_.has_parameter_types()) parameters = function;
  return parameters;
}

std::vector<std::string> UnitDetails::parameters(const FoundDefinition& found) const {
  TSNode parameters = parameter_list(found);
  std::vector<std::string> names;
  if (ts_node_is_null(parameters)) return names;
  if (s_.lang() == Lang::kElixir || s_.lang() == Lang::kElm) {
    for_each_named_child(parameters, [&](TSNode parameter, TSFieldId field) {
      if (s_.lang() == Lang::kElm && field != f_pattern_) return true;  // the function's name
      std::string name = s_.lang() == Lang::kElixir ? elixir_parameter(parameter)
                                                     : parameter_name(parameter);
      if (!name.empty()) names.push_back(std::move(name));
      return true;
    });
    return names;
  }
  // An arrow function's lone parameter: x => x * 2
  if (s_.role(parameters) == Role::kIdentifier) {
    names.push_back(text(parameters));
    return names;
  }
  for_each_named_child(parameters, [&](TSNode parameter, TSFieldId) {
    Role role = s_.role(parameter);
    if (role == Role::kComment || role == Role::kAttachment) return true;
    if (s_.has_parameter_types() && !s_.is_parameter(parameter)) return true;
    if (s_.lang() == Lang::kGo) {
      // a, b int declares two parameters
      for_each_named_child(parameter, [&](TSNode part, TSFieldId field) {
        if (field == f_name_) names.push_back(text(part));
        return true;
      });
      return true;
    }
    std::string name = parameter_name(parameter);
    if (!name.empty()) names.push_back(std::move(name));
    return true;
  });
  return names;
}

std::string UnitDetails::parameter_name(TSNode parameter) const {
  if (s_.role(parameter) == Role::kIdentifier) return text(parameter);
  if (type_is(parameter, "self_parameter")) return "self";
  if (s_.is_c_family()) {
    TSNode declarator = child_by_field(parameter, f_declarator_);
    if (ts_node_is_null(declarator)) return {};
    for (int depth = 0; depth < kMaxDeclaratorDepth && !ts_node_is_null(declarator); ++depth) {
      if (s_.role(declarator) == Role::kIdentifier) return text(declarator);
      TSNode inner = child_by_field(declarator, f_declarator_);
      declarator = ts_node_is_null(inner) ? ts_node_named_child(declarator, 0) : inner;
    }
    return {};
  }
  for (TSFieldId field : {f_name_, f_pattern_, f_left_}) {
    TSNode named = child_by_field(parameter, field);
    if (!ts_node_is_null(named)) {
      TSNode identifier = first_identifier(s_, named);
      return ts_node_is_null(identifier) ? std::string() : text(identifier);
    }
  }
  TSNode identifier = first_identifier(s_, parameter);
  return ts_node_is_null(identifier) ? std::string() : text(identifier);
}

std::string UnitDetails::signature(const FoundDefinition& found) const {
  TSNode def = found.def;
  TSNode body = found.body;
  if (ts_node_is_null(body)) {
    body = child_by_field(found.kind == FoundDefinition::kFunction ? found.function : found.def,
                          f_body_);
  }
  std::uint32_t begin = ts_node_start_byte(def);
  std::uint32_t end = ts_node_end_byte(def);
  if (!ts_node_is_null(body) && ts_node_start_byte(body) > begin) {
    end = std::min(end, ts_node_start_byte(body));
    // A comment between the header and the body (Ruby's "module M" then "# ...") is not
    // part of the signature.
    for_each_named_child(def, [&](TSNode child, TSFieldId) {
      if (ts_node_start_byte(child) >= end) return false;
      if (s_.role(child) == Role::kComment && ts_node_start_byte(child) > begin) {
        end = ts_node_start_byte(child);
      }
      return true;
    });
  } else if (found.prototype) {
    // The whole declaration, without its ";": "void sha256_digest(struct sha256_ctx *ctx, ...)".
    while (end > begin && (text_[end - 1] == ';' || text_[end - 1] == ' ')) --end;
  } else {
    std::size_t newline = text_.find('\n', begin);
    if (newline != std::string_view::npos && newline < end) end = static_cast<std::uint32_t>(newline);
  }
  std::string signature = one_line(text_.substr(begin, end - begin));
  // What opens the body: "{", Scala's and Elm's "=".
  while (!signature.empty() &&
         (signature.back() == '{' || signature.back() == '=' || signature.back() == ' ')) {
    signature.pop_back();
  }
  return signature;
}

std::string UnitDetails::elixir_parameter(TSNode parameter) const {
  // cart;  qty \\ 1 (a default);  %Item{} = item (a pattern bound to a name)
  if (type_is(parameter, "identifier")) return text(parameter);
  if (!type_is(parameter, "binary_operator")) return {};
  for (TSNode side : {child_by_field(parameter, f_left_), child_by_field(parameter, f_right_)}) {
    if (type_is(side, "identifier")) return text(side);
  }
  return {};
}

TSNode UnitDetails::elixir_attribute_string(TSNode attribute, std::string_view name) const {
  // @doc "text" is the unary operator @ on the call doc("text").
  if (s_.lang() != Lang::kElixir || !type_is(attribute, "unary_operator")) return {};
  TSNode call = child_by_field(attribute, f_operand_);
  if (!type_is(call, "call") || node_text(child_by_field(call, f_target_), text_) != name) {
    return {};
  }
  TSNode found{};
  for_each_named_child(call, [&](TSNode arguments, TSFieldId) {
    if (type_is(arguments, "arguments")) {
      TSNode value = ts_node_named_child(arguments, 0);
      if (type_is(value, "string") || type_is(value, "sigil")) found = value;
    }
    return ts_node_is_null(found);
  });
  return found;
}

bool UnitDetails::is_doc_attribute(TSNode node) const {
  return !ts_node_is_null(elixir_attribute_string(node, "doc"));
}

std::string_view UnitDetails::doc_text(TSNode comment) const {
  TSNode doc = elixir_attribute_string(comment, "doc");
  return node_text(ts_node_is_null(doc) ? comment : doc, text_);
}

std::string UnitDetails::inner_doc(const FoundDefinition& found) const {
  if (s_.lang() == Lang::kPython) {
    return python_docstring(found.kind == FoundDefinition::kFunction ? found.function : found.def);
  }
  if (s_.lang() != Lang::kElixir || found.kind != FoundDefinition::kClass) return {};
  std::string doc;
  for_each_named_child(found.body, [&](TSNode statement, TSFieldId) {
    if (s_.role(statement) == Role::kComment) return true;
    TSNode string = elixir_attribute_string(statement, "moduledoc");
    if (!ts_node_is_null(string)) doc = first_meaningful_line(node_text(string, text_));
    return false;
  });
  return doc;
}

std::string UnitDetails::python_docstring(TSNode function_or_class) const {
  TSNode body = child_by_field(function_or_class, f_body_);
  if (ts_node_is_null(body)) return {};
  std::string doc;
  for_each_named_child(body, [&](TSNode statement, TSFieldId) {
    if (s_.role(statement) == Role::kComment) return true;
    if (type_is(statement, "expression_statement") && ts_node_named_child_count(statement) == 1) {
      TSNode string = ts_node_named_child(statement, 0);
      if (type_is(string, "string")) doc = first_meaningful_line(node_text(string, text_));
    }
    return false;
  });
  return doc;
}

}  // namespace vantory::backend
