#include "backend/chunking/definitions.h"

#include <algorithm>
#include <limits>

#include "backend/chunking/source_lines.h"
#include "backend/chunking/unit_details.h"

namespace vantory::backend {
namespace {

constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();
// Wrappers nest only a few levels in real code (export of a decorated declaration, a template
// of a template); deeper chains are not definitions.
constexpr int kMaxUnwrap = 8;
using Found = FoundDefinition;

class DefinitionFinder {
 public:
  DefinitionFinder(const Syntax& syntax, std::string_view text)
      : s_(syntax),
        text_(text),
        details_(syntax, text),
        f_name_(syntax.field("name")),
        f_body_(syntax.field("body")),
        f_declarator_(syntax.field("declarator")),
        f_definition_(syntax.field("definition")),
        f_declaration_(syntax.field("declaration")),
        f_value_(syntax.field("value")),
        f_left_(syntax.field("left")),
        f_right_(syntax.field("right")),
        f_type_(syntax.field("type")),
        f_source_(syntax.field("source")),
        f_function_(syntax.field("function")),
        f_property_(syntax.field("property")) {}

  std::vector<Definition> run(TSNode root);

 private:
  // A node whose children are walked, with what they inherit from it.
  struct Frame {
    TSNode container;
    int parent;         // the enclosing class
    std::string scope;  // its qualified name
    bool imports_here;  // whether imports here make import units
  };

  void walk_container(const Frame& frame);
  void add_definition(const Frame& frame, const Found& found, TSNode span, std::size_t first,
                      const std::vector<TSNode>& doc_comments);
  Found classify(TSNode node) const;
  Found classify_wrapper(TSNode node) const;
  bool is_function_value(TSNode node) const;
  bool is_require_value(TSNode node) const;
  std::string text(TSNode node) const { return std::string(node_text(node, text_)); }

  const Syntax& s_;
  std::string_view text_;
  UnitDetails details_;
  TSFieldId f_name_, f_body_, f_declarator_, f_definition_, f_declaration_, f_value_, f_left_,
      f_right_, f_type_, f_source_, f_function_, f_property_;
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
      add_definition(frame, found, child, unit_first,
                     attached ? doc_comments : std::vector<TSNode>());
    }
    previous_last = last_row(child);
    attach_first = kNoRow;
    doc_comments.clear();
    return true;
  });
}

void DefinitionFinder::add_definition(const Frame& frame, const Found& found, TSNode span,
                                      std::size_t first, const std::vector<TSNode>& doc_comments) {
  bool qualified = false;
  std::string name = details_.name(found, qualified);
  Definition def;
  def.name = frame.scope.empty() || name.empty() ? name : frame.scope + "." + name;
  if (def.name.empty()) def.name = "anonymous";
  def.first_row = first;
  def.last_row = last_row(span);
  def.parent = frame.parent;
  // Python documents a unit inside it; the other languages in the comment above it.
  std::string doc;
  if (s_.lang() == Lang::kPython) {
    doc = details_.python_docstring(found.kind == Found::kFunction ? found.function : found.def);
  } else {
    for (TSNode comment : doc_comments) {
      doc = first_meaningful_line(node_text(comment, text_));
      if (!doc.empty()) break;
    }
  }
  def.summary = doc.empty() ? details_.signature(found) : doc;
  if (found.kind == Found::kClass) {
    def.type = "class";
    int index = static_cast<int>(defs_.size());
    TSNode body = child_by_field(found.def, f_body_);
    std::string scope = def.name;
    defs_.push_back(std::move(def));
    if (!ts_node_is_null(body)) stack_.push_back({body, index, std::move(scope), false});
  } else {
    def.type = frame.parent >= 0 || qualified ? "method" : "function";
    def.parameters = details_.parameters(found);
    defs_.push_back(std::move(def));
  }
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

}  // namespace

std::vector<Definition> find_definitions(const Syntax& syntax, TSNode root, std::string_view text) {
  return DefinitionFinder(syntax, text).run(root);
}

}  // namespace vantory::backend
