#include "backend/chunking/definitions.h"

#include <algorithm>
#include <limits>

#include "backend/chunking/source_lines.h"

namespace vantory::backend {
namespace {

constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();
// Wrappers nest only a few levels in real code (export of a decorated declaration, a template
// of a template); deeper chains are not definitions.
constexpr int kMaxUnwrap = 8;
// Declarators nest a few levels (pointer to function returning pointer ...).
constexpr int kMaxDeclaratorDepth = 64;

// What one child of a container turned out to be.
struct Found {
  enum Kind { kNone, kImport, kClass, kFunction, kContainer } kind = kNone;
  TSNode def{};       // the node that holds the name and, for classes, the body
  TSNode function{};  // the node that holds the parameters and body of a function
  std::string name;   // set when the name does not come from `def`
};

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

// "Foo::bar", "a.b" and "Foo<T>::bar" become "Foo.bar", "a.b" and "Foo.bar".
std::string dotted(std::string_view text) {
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

class DefinitionFinder {
 public:
  DefinitionFinder(const Syntax& syntax, std::string_view text)
      : s_(syntax),
        text_(text),
        f_name_(syntax.field("name")),
        f_body_(syntax.field("body")),
        f_parameters_(syntax.field("parameters")),
        f_parameter_(syntax.field("parameter")),
        f_declarator_(syntax.field("declarator")),
        f_definition_(syntax.field("definition")),
        f_declaration_(syntax.field("declaration")),
        f_value_(syntax.field("value")),
        f_left_(syntax.field("left")),
        f_right_(syntax.field("right")),
        f_type_(syntax.field("type")),
        f_receiver_(syntax.field("receiver")),
        f_pattern_(syntax.field("pattern")),
        f_source_(syntax.field("source")),
        f_function_(syntax.field("function")),
        f_property_(syntax.field("property")) {}

  std::vector<Definition> run(TSNode root);

 private:
  struct Frame {
    TSNode container;
    int parent;
    std::string scope;
    bool imports_here;
  };

  void walk_container(const Frame& frame);
  Found classify(TSNode node) const;
  Found classify_wrapper(TSNode node) const;
  bool is_function_value(TSNode node) const;
  bool is_require_value(TSNode node) const;

  std::string name_of(const Found& found, bool& qualified) const;
  std::string c_declarator_name(TSNode declarator) const;
  std::string go_receiver_type(TSNode method) const;
  TSNode parameters_of(const Found& found) const;
  std::vector<std::string> parameter_names(TSNode parameters) const;
  std::string parameter_name(TSNode parameter) const;
  std::string signature_of(const Found& found) const;
  std::string python_docstring(TSNode function_or_class) const;
  std::string text(TSNode node) const { return std::string(node_text(node, text_)); }

  const Syntax& s_;
  std::string_view text_;
  TSFieldId f_name_, f_body_, f_parameters_, f_parameter_, f_declarator_, f_definition_,
      f_declaration_, f_value_, f_left_, f_right_, f_type_, f_receiver_, f_pattern_, f_source_,
      f_function_, f_property_;
  std::vector<Frame> stack_;
  std::vector<Definition> defs_;
};

std::vector<Definition> DefinitionFinder::run(TSNode root) {
  stack_.push_back({root, -1, "", true});
  while (!stack_.empty()) {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    walk_container(frame);
  }
  // A class's own rows end where its first member (with that member's comments) begins.
  std::vector<std::size_t> first_member(defs_.size(), kNoRow);
  for (const Definition& def : defs_) {
    if (def.parent >= 0) {
      auto& slot = first_member[static_cast<std::size_t>(def.parent)];
      slot = std::min(slot, def.first_row);
    }
  }
  SourceLines lines(text_);
  for (std::size_t i = 0; i < defs_.size(); ++i) {
    Definition& def = defs_[i];
    if (first_member[i] == kNoRow) continue;
    std::size_t end = first_member[i] > def.first_row ? first_member[i] - 1 : def.first_row;
    while (end > def.first_row && lines.blank(end)) --end;
    def.last_row = end;
  }
  return std::move(defs_);
}

void DefinitionFinder::walk_container(const Frame& frame) {
  // The run of comments and attributes directly above the current child.
  std::size_t attach_first = kNoRow;
  std::size_t attach_last = 0;
  std::vector<TSNode> doc_comments;
  // The last row of the previous statement, to tell a trailing comment from a leading one.
  std::size_t previous_last = kNoRow;
  int open_import = -1;

  for_each_named_child(frame.container, [&](TSNode child, TSFieldId) {
    Role role = s_.role(child);
    std::size_t row = first_row(child);
    if (role == Role::kComment || role == Role::kAttachment) {
      bool on_own_line = previous_last == kNoRow || row > previous_last;
      if (attach_first != kNoRow && row <= attach_last + 1) {
        attach_last = last_row(child);
      } else if (on_own_line) {
        attach_first = row;
        attach_last = last_row(child);
        doc_comments.clear();
      }
      if (role == Role::kComment && attach_first != kNoRow && doc_comments.size() < 8) {
        doc_comments.push_back(child);
      }
      return true;
    }
    bool attached = attach_first != kNoRow && attach_last + 1 >= row;
    std::size_t unit_first = attached ? attach_first : row;
    Found found = classify(child);
    if (found.kind == Found::kImport && frame.imports_here) {
      if (open_import >= 0) {
        defs_[static_cast<std::size_t>(open_import)].last_row = last_row(child);
      } else {
        Definition def;
        def.name = "imports";
        def.type = "import";
        def.first_row = unit_first;
        def.last_row = last_row(child);
        def.summary = one_line(node_text(child, text_).substr(0, node_text(child, text_).find('\n')));
        open_import = static_cast<int>(defs_.size());
        defs_.push_back(std::move(def));
      }
    } else {
      open_import = -1;
    }
    if (found.kind == Found::kContainer) {
      stack_.push_back({child, frame.parent, frame.scope,
                        frame.imports_here && s_.lang() != Lang::kPython});
    } else if (found.kind == Found::kClass || found.kind == Found::kFunction) {
      bool qualified = false;
      std::string name = name_of(found, qualified);
      Definition def;
      def.name = frame.scope.empty() || name.empty() ? name : frame.scope + "." + name;
      if (def.name.empty()) def.name = "anonymous";
      def.first_row = unit_first;
      def.last_row = last_row(child);
      def.parent = frame.parent;
      TSNode doc_source = found.kind == Found::kFunction ? found.function : found.def;
      // Python documents a unit inside it; the other languages in the comment above it.
      std::string doc;
      if (s_.lang() == Lang::kPython) {
        doc = python_docstring(doc_source);
      } else if (attached) {
        for (TSNode comment : doc_comments) {
          doc = first_meaningful_line(node_text(comment, text_));
          if (!doc.empty()) break;
        }
      }
      def.summary = doc.empty() ? signature_of(found) : doc;
      if (found.kind == Found::kClass) {
        def.type = "class";
        int index = static_cast<int>(defs_.size());
        TSNode body = child_by_field(found.def, f_body_);
        std::string scope = def.name;
        defs_.push_back(std::move(def));
        if (!ts_node_is_null(body)) stack_.push_back({body, index, std::move(scope), false});
      } else {
        bool method = frame.parent >= 0 || qualified;
        def.type = method ? "method" : "function";
        def.parameters = parameter_names(parameters_of(found));
        defs_.push_back(std::move(def));
      }
    }
    previous_last = last_row(child);
    attach_first = kNoRow;
    doc_comments.clear();
    return true;
  });
}

Found DefinitionFinder::classify(TSNode node) const {
  Found found;
  switch (s_.role(node)) {
    case Role::kImport:
      found.kind = Found::kImport;
      break;
    case Role::kFunction:
      // Declarations without a body (interface methods, prototypes) stay with the text around
      // them.
      if (s_.lang() == Lang::kPython || !ts_node_is_null(child_by_field(node, f_body_))) {
        found.kind = Found::kFunction;
        found.def = node;
        found.function = node;
      }
      break;
    case Role::kClass:
      if (!s_.is_c_family() || !ts_node_is_null(child_by_field(node, f_body_))) {
        found.kind = Found::kClass;
        found.def = node;
      }
      break;
    case Role::kContainer:
      if (type_is(node, "mod_item")) {
        found.kind = ts_node_is_null(child_by_field(node, f_body_)) ? Found::kImport
                                                                    : Found::kContainer;
      } else {
        found.kind = Found::kContainer;
      }
      break;
    case Role::kWrapper:
      found = classify_wrapper(node);
      break;
    default:
      break;
  }
  return found;
}

Found DefinitionFinder::classify_wrapper(TSNode node) const {
  Found found;
  TSNode current = node;
  for (int depth = 0; depth < kMaxUnwrap && !ts_node_is_null(current); ++depth) {
    Role role = s_.role(current);
    if (role == Role::kFunction || role == Role::kClass) return classify(current);
    if (role != Role::kWrapper) return found;
    if (type_is(current, "decorated_definition")) {
      current = child_by_field(current, f_definition_);
    } else if (type_is(current, "export_statement")) {
      TSNode declaration = child_by_field(current, f_declaration_);
      if (ts_node_is_null(declaration) && !ts_node_is_null(child_by_field(current, f_source_))) {
        found.kind = Found::kImport;
        return found;
      }
      current = declaration;
    } else if (type_is(current, "template_declaration")) {
      TSNode inner{};
      for_each_named_child(current, [&](TSNode child, TSFieldId) {
        Role r = s_.role(child);
        if (r == Role::kFunction || r == Role::kClass || r == Role::kWrapper) inner = child;
        return true;
      });
      current = inner;
    } else if (type_is(current, "declaration") || type_is(current, "type_definition")) {
      // struct Point { ... } p;  typedef struct { ... } Pair;
      TSNode type = child_by_field(current, f_type_);
      if (ts_node_is_null(type) || s_.role(type) != Role::kClass ||
          ts_node_is_null(child_by_field(type, f_body_))) {
        return found;
      }
      found.kind = Found::kClass;
      found.def = type;
      if (ts_node_is_null(child_by_field(type, f_name_))) {
        TSNode declarator = child_by_field(current, f_declarator_);
        if (!ts_node_is_null(declarator)) found.name = dotted(node_text(declarator, text_));
      }
      return found;
    } else if (type_is(current, "lexical_declaration") || type_is(current, "variable_declaration")) {
      // const f = (x) => ...;  const fs = require("fs");
      TSNode declarator{};
      int count = 0;
      for_each_named_child(current, [&](TSNode child, TSFieldId) {
        if (type_is(child, "variable_declarator")) {
          if (count++ == 0) declarator = child;
        }
        return true;
      });
      if (ts_node_is_null(declarator)) return found;
      TSNode value = child_by_field(declarator, f_value_);
      if (is_require_value(value)) {
        found.kind = Found::kImport;
      } else if (count == 1 && is_function_value(value)) {
        found.kind = Found::kFunction;
        found.def = declarator;
        found.function = value;
      }
      return found;
    } else if (type_is(current, "expression_statement")) {
      // Foo.prototype.bar = function () { ... };
      TSNode assignment = ts_node_named_child(current, 0);
      if (ts_node_is_null(assignment) || !type_is(assignment, "assignment_expression")) return found;
      TSNode right = child_by_field(assignment, f_right_);
      if (!is_function_value(right)) return found;
      found.kind = Found::kFunction;
      found.def = assignment;
      found.function = right;
      found.name = dotted(node_text(child_by_field(assignment, f_left_), text_));
      return found;
    } else if (type_is(current, "field_definition") || type_is(current, "public_field_definition")) {
      // handle = (event) => { ... };
      TSNode value = child_by_field(current, f_value_);
      if (!is_function_value(value)) return found;
      TSNode name = child_by_field(current, f_property_);
      if (ts_node_is_null(name)) name = child_by_field(current, f_name_);
      found.kind = Found::kFunction;
      found.def = current;
      found.function = value;
      found.name = text(name);
      return found;
    } else {
      return found;
    }
  }
  return found;
}

bool DefinitionFinder::is_function_value(TSNode node) const {
  return !ts_node_is_null(node) &&
         (type_is(node, "arrow_function") || type_is(node, "function_expression") ||
          type_is(node, "function") || type_is(node, "generator_function"));
}

bool DefinitionFinder::is_require_value(TSNode node) const {
  // require("x") or require("x").member
  for (int depth = 0; depth < 4 && !ts_node_is_null(node); ++depth) {
    if (type_is(node, "call_expression")) {
      TSNode function = child_by_field(node, f_function_);
      return !ts_node_is_null(function) && node_text(function, text_) == "require";
    }
    if (!type_is(node, "member_expression")) return false;
    node = ts_node_named_child(node, 0);
  }
  return false;
}

std::string DefinitionFinder::name_of(const Found& found, bool& qualified) const {
  if (!found.name.empty()) return found.name;
  TSNode def = found.def;
  if (s_.is_c_family() && found.kind == Found::kFunction) {
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
    for_each_named_child(def, [&](TSNode spec, TSFieldId) {
      TSNode spec_name = child_by_field(spec, f_name_);
      if (ts_node_is_null(spec_name)) return true;
      name = text(spec_name);
      return false;
    });
    return name;
  }
  if (s_.lang() == Lang::kRust && type_is(def, "impl_item")) {
    return dotted(node_text(child_by_field(def, f_type_), text_));
  }
  TSNode name = child_by_field(def, f_name_);
  if (ts_node_is_null(name)) return {};
  return dotted(node_text(name, text_));
}

std::string DefinitionFinder::c_declarator_name(TSNode declarator) const {
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

std::string DefinitionFinder::go_receiver_type(TSNode method) const {
  TSNode receiver = child_by_field(method, f_receiver_);
  if (ts_node_is_null(receiver)) return {};
  TSNode parameter = ts_node_named_child(receiver, 0);
  if (ts_node_is_null(parameter)) return {};
  std::string type = dotted(node_text(child_by_field(parameter, f_type_), text_));
  std::size_t bracket = type.find('[');
  if (bracket != std::string::npos) type.resize(bracket);
  return type;
}

TSNode DefinitionFinder::parameters_of(const Found& found) const {
  TSNode function = found.function;
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
  return parameters;
}

std::vector<std::string> DefinitionFinder::parameter_names(TSNode parameters) const {
  std::vector<std::string> names;
  if (ts_node_is_null(parameters)) return names;
  // An arrow function's lone parameter: x => x * 2
  if (s_.role(parameters) == Role::kIdentifier) {
    names.push_back(text(parameters));
    return names;
  }
  for_each_named_child(parameters, [&](TSNode parameter, TSFieldId) {
    Role role = s_.role(parameter);
    if (role == Role::kComment || role == Role::kAttachment) return true;
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

std::string DefinitionFinder::parameter_name(TSNode parameter) const {
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

std::string DefinitionFinder::signature_of(const Found& found) const {
  TSNode def = found.def;
  TSNode body_owner = found.kind == Found::kFunction ? found.function : found.def;
  TSNode body = child_by_field(body_owner, f_body_);
  std::uint32_t begin = ts_node_start_byte(def);
  std::uint32_t end = ts_node_end_byte(def);
  if (!ts_node_is_null(body) && ts_node_start_byte(body) > begin) {
    end = std::min(end, ts_node_start_byte(body));
  } else {
    std::size_t newline = text_.find('\n', begin);
    if (newline != std::string_view::npos && newline < end) end = static_cast<std::uint32_t>(newline);
  }
  std::string signature = one_line(text_.substr(begin, end - begin));
  while (!signature.empty() && (signature.back() == '{' || signature.back() == ' ')) {
    signature.pop_back();
  }
  return signature;
}

std::string DefinitionFinder::python_docstring(TSNode function_or_class) const {
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

}  // namespace

std::vector<Definition> find_definitions(const Syntax& syntax, TSNode root, std::string_view text) {
  return DefinitionFinder(syntax, text).run(root);
}

}  // namespace vantory::backend
