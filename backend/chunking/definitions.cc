#include "backend/chunking/definitions.h"

#include <algorithm>
#include <limits>

#include "backend/chunking/source_lines.h"
#include "backend/chunking/tree_sitter_chunker.h"
#include "backend/chunking/unit_details.h"

namespace vantory::backend {
namespace {

constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();
// Wrappers nest only a few levels in real code (export of a decorated declaration, a template
// of a template); deeper chains are not definitions.
constexpr int kMaxUnwrap = 8;
// Definitions nest a few levels in real code. Deeper ones are not opened: their members stay
// in their text. Each level's members carry the names of all levels above, so unbounded
// nesting would make names (and memory) grow with the square of the depth: 60 KB of nested
// classes took 160 MB.
constexpr int kMaxOpenedDepth = 32;
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
        f_property_(syntax.field("property")),
        f_parameters_(syntax.field("parameters")) {}

  std::vector<Definition> run(TSNode root);

 private:
  // A node whose children are walked, with what they inherit from it.
  struct Frame {
    TSNode container;
    int parent;         // the enclosing class
    std::string scope;  // its qualified name
    bool imports_here;  // whether imports here make import units
    TSNode header{};    // the class whose body this is: comments between its name and its
                        // body lead its first member
    int depth = 0;      // how many opened definitions enclose it
  };

  void walk_container(const Frame& frame);
  void add_definition(const Frame& frame, const Found& found, TSNode span, std::size_t first,
                      const std::vector<TSNode>& doc_comments);
  Found classify(TSNode node) const;
  Found classify_wrapper(TSNode node) const;
  Found classify_keyword_call(TSNode call) const;
  Found classify_assignment(TSNode declaration) const;
  TSNode body_of(TSNode node) const;
  bool is_function_value(TSNode node) const;
  bool is_import_value(TSNode node) const;
  bool declares_one_function(TSNode declaration) const;
  std::string text(TSNode node) const { return std::string(node_text(node, text_)); }

  const Syntax& s_;
  std::string_view text_;
  UnitDetails details_;
  TSFieldId f_name_, f_body_, f_declarator_, f_definition_, f_declaration_, f_value_, f_left_,
      f_right_, f_type_, f_source_, f_function_, f_property_, f_parameters_;
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

  auto visit = [&](TSNode child) {
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
      if ((role == Role::kComment || details_.is_doc_attribute(child)) &&
          attach_first != kNoRow && doc_comments.size() < 8) {
        doc_comments.push_back(child);
      }
      return;
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
                        frame.imports_here && s_.lang() != Lang::kPython, TSNode{}, frame.depth});
    } else if (found.kind == Found::kClass || found.kind == Found::kFunction) {
      add_definition(frame, found, child, unit_first,
                     attached ? doc_comments : std::vector<TSNode>());
    }
    previous_last = last_row(child);
    attach_first = kNoRow;
    doc_comments.clear();
  };

  if (!ts_node_is_null(frame.header)) {
    // Ruby puts the comment above a module's first class inside the module node, before its
    // body; only comments on lines of their own count, not one that ends the header's line.
    std::uint32_t body_start = ts_node_start_byte(frame.container);
    std::size_t header_row = first_row(frame.header);
    for_each_named_child(frame.header, [&](TSNode child, TSFieldId) {
      if (ts_node_start_byte(child) >= body_start) return false;
      if (s_.role(child) == Role::kComment && first_row(child) > header_row) visit(child);
      return true;
    });
  }
  for_each_named_child(frame.container, [&](TSNode child, TSFieldId) {
    visit(child);
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
  def.level = frame.depth;
  // Python documents a unit inside it, Elixir a module; the other languages and Elixir's
  // functions in the comment or attribute above it.
  std::string doc = details_.inner_doc(found);
  if (s_.lang() != Lang::kPython) {
    for (std::size_t i = 0; i < doc_comments.size() && doc.empty(); ++i) {
      doc = first_meaningful_line(details_.doc_text(doc_comments[i]));
    }
  }
  def.summary = doc.empty() ? details_.signature(found) : doc;
  if (found.kind == Found::kClass) {
    def.type = "class";
    int index = static_cast<int>(defs_.size());
    std::string scope = def.name;
    defs_.push_back(std::move(def));
    if (!ts_node_is_null(found.body) && frame.depth + 1 < kMaxOpenedDepth) {
      stack_.push_back({found.body, index, std::move(scope), false, span, frame.depth + 1});
    }
  } else {
    def.type = found.prototype                       ? "declaration"
               : frame.parent >= 0 || qualified ? "method"
                                                : "function";
    def.parameters = details_.parameters(found);
    // A long function is opened too, but it has no members: its own rows stay whole, and
    // what is defined in it is neither a method nor part of an enclosing class. Such a local
    // definition is named as the function's own code calls it, by its bare name.
    bool opened = !ts_node_is_null(found.body) && def.last_row - def.first_row >= kMaxBlockRows &&
                  frame.depth + 1 < kMaxOpenedDepth;
    defs_.push_back(std::move(def));
    if (opened) stack_.push_back({found.body, -1, "", false, {}, frame.depth + 1});
  }
}

Found DefinitionFinder::classify(TSNode node) const {
  Found found;
  switch (s_.role(node)) {
    case Role::kImport:
      found.kind = Found::kImport;
      break;
    case Role::kFunction:
      found.body = body_of(node);
      // Declarations without a body (interface methods, prototypes) stay with the text around
      // them.
      if (!s_.rules().functions_need_body || !ts_node_is_null(found.body)) {
        found.kind = Found::kFunction;
        found.def = node;
        found.function = node;
      }
      break;
    case Role::kClass:
      found.body = body_of(node);
      if (!s_.is_c_family() || !ts_node_is_null(found.body)) {
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
    case Role::kBody:
      found.kind = Found::kContainer;
      break;
    case Role::kWrapper:
      found = classify_wrapper(node);
      break;
    case Role::kCall:
      found = classify_keyword_call(node);
      break;
    default:
      break;
  }
  return found;
}

TSNode DefinitionFinder::body_of(TSNode node) const {
  TSNode body = child_by_field(node, f_body_);
  if (!ts_node_is_null(body)) return body;
  for_each_named_child(node, [&](TSNode child, TSFieldId) {
    if (s_.role(child) == Role::kBody) body = child;
    return ts_node_is_null(body);
  });
  return body;
}

Found DefinitionFinder::classify_keyword_call(TSNode call) const {
  Found found;
  std::uint32_t begin = 0;
  TSNode callee = s_.callee(call, begin);
  if (ts_node_is_null(callee) || ts_node_end_byte(callee) <= begin) return found;
  switch (s_.keyword_kind(text_.substr(begin, ts_node_end_byte(callee) - begin))) {
    case Role::kImport:
      found.kind = Found::kImport;
      break;
    case Role::kClass:
      // defmodule Shop.Cart do ... end
      found.kind = Found::kClass;
      found.def = call;
      found.body = body_of(call);
      break;
    case Role::kFunction: {
      // def add(cart, item) do ... end;  def name, do: ...;  def f(x) when x > 0 do ... end
      found.kind = Found::kFunction;
      found.def = call;
      found.body = body_of(call);
      TSNode arguments{};
      for_each_named_child(call, [&](TSNode child, TSFieldId) {
        if (type_is(child, "arguments")) arguments = child;
        return ts_node_is_null(arguments);
      });
      TSNode head = first_named_child(arguments);
      if (type_is(head, "binary_operator")) head = child_by_field(head, f_left_);
      found.function = head;
      break;
    }
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
    } else if (type_is(current, "declaration") || type_is(current, "type_definition") ||
               type_is(current, "field_declaration")) {
      // struct Point { ... } p;  typedef struct { ... } Pair;
      TSNode type = child_by_field(current, f_type_);
      if (ts_node_is_null(type) || s_.role(type) != Role::kClass ||
          ts_node_is_null(child_by_field(type, f_body_)) ||
          type_is(current, "field_declaration")) {
        // void sha256_digest(struct sha256_ctx *ctx, size_t length, uint8_t *digest);
        if (!type_is(current, "type_definition") && declares_one_function(current)) {
          found.kind = Found::kFunction;
          found.def = current;
          found.function = current;
          found.prototype = true;
        }
        return found;
      }
      found.kind = Found::kClass;
      found.def = type;
      found.body = child_by_field(type, f_body_);
      if (ts_node_is_null(child_by_field(type, f_name_))) {
        TSNode declarator = child_by_field(current, f_declarator_);
        if (!ts_node_is_null(declarator)) found.name = dotted(node_text(declarator, text_));
      }
      return found;
    } else if (s_.lang() == Lang::kLua || s_.lang() == Lang::kZig) {
      return classify_assignment(current);
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
      if (is_import_value(value)) {
        found.kind = Found::kImport;
      } else if (count == 1 && is_function_value(value)) {
        found.kind = Found::kFunction;
        found.def = declarator;
        found.function = value;
      }
      return found;
    } else if (type_is(current, "expression_statement")) {
      // Foo.prototype.bar = function () { ... };  require("./setup");  require 'x.php';
      TSNode assignment = ts_node_named_child(current, 0);
      if (s_.role(assignment) == Role::kImport || is_import_value(assignment)) {
        found.kind = Found::kImport;
        return found;
      }
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

bool DefinitionFinder::declares_one_function(TSNode declaration) const {
  TSNode declarator{};
  int count = 0;
  for_each_named_child(declaration, [&](TSNode child, TSFieldId field) {
    if (field == f_declarator_ && count++ == 0) declarator = child;
    return count < 2;
  });
  if (count != 1) return false;
  // Through what the function answers (a pointer, a reference) to the function declarator.
  for (int depth = 0; depth < kMaxUnwrap && !ts_node_is_null(declarator); ++depth) {
    if (type_is(declarator, "function_declarator")) {
      // int (*handler)(int) declares a pointer variable, not a function.
      TSNode name = child_by_field(declarator, f_declarator_);
      if (ts_node_is_null(name) || type_is(name, "parenthesized_declarator")) return false;
      // A macro's arguments read as a declaration, "__nonnull ((1, 2));", take values, not
      // parameters.
      bool parameters_only = true;
      for_each_named_child(child_by_field(declarator, f_parameters_), [&](TSNode p, TSFieldId) {
        std::string_view type = ts_node_type(p);
        parameters_only = s_.role(p) == Role::kComment ||
                          type.find("parameter") != std::string_view::npos;
        return parameters_only;
      });
      return parameters_only;
    }
    if (!type_is(declarator, "pointer_declarator") &&
        !type_is(declarator, "reference_declarator") &&
        !type_is(declarator, "attributed_declarator")) {
      return false;
    }
    TSNode inner = child_by_field(declarator, f_declarator_);
    declarator = ts_node_is_null(inner) ? ts_node_named_child(declarator, 0) : inner;
  }
  return false;
}

bool DefinitionFinder::is_import_value(TSNode node) const {
  // require("x"), require("x").member, @import("x").Member
  for (int depth = 0; depth < 4 && !ts_node_is_null(node); ++depth) {
    if (s_.role(node) == Role::kCall) {
      std::uint32_t begin = 0;
      TSNode callee = s_.callee(node, begin);
      if (ts_node_is_null(callee) || ts_node_end_byte(callee) <= begin) return false;
      return s_.keyword_kind(text_.substr(begin, ts_node_end_byte(callee) - begin)) ==
             Role::kImport;
    }
    if (!type_is(node, "member_expression") && !type_is(node, "field_expression") &&
        !type_is(node, "dot_index_expression")) {
      return false;
    }
    node = ts_node_named_child(node, 0);
  }
  return false;
}

Found DefinitionFinder::classify_assignment(TSNode declaration) const {
  // Lua: local json = require("dkjson");  M.load = function (path) ... end
  // Zig: const std = @import("std");  pub const Stack = struct { ... };
  Found found;
  TSNode assignment = declaration;
  if (s_.lang() == Lang::kLua && !type_is(declaration, "assignment_statement")) {
    assignment = ts_node_named_child(declaration, 0);
    if (!type_is(assignment, "assignment_statement")) return found;
  }
  TSNode target{};
  TSNode value{};
  int targets = 0;
  if (s_.lang() == Lang::kLua) {
    for_each_named_child(assignment, [&](TSNode child, TSFieldId) {
      if (type_is(child, "variable_list")) {
        targets = static_cast<int>(ts_node_named_child_count(child));
        target = ts_node_named_child(child, 0);
      } else if (type_is(child, "expression_list")) {
        value = ts_node_named_child(child, 0);
      }
      return true;
    });
  } else {
    for_each_named_child(assignment, [&](TSNode child, TSFieldId) {
      if (ts_node_is_null(target) && type_is(child, "identifier")) {
        target = child;
        targets = 1;
      } else if (!ts_node_is_null(target) && s_.role(child) != Role::kComment) {
        value = child;
      }
      return ts_node_is_null(value);
    });
  }
  if (ts_node_is_null(value)) return found;
  if (is_import_value(value)) {
    found.kind = Found::kImport;
  } else if (targets == 1 && type_is(value, "function_definition")) {
    found.kind = Found::kFunction;
    found.def = assignment;
    found.function = value;
    found.body = body_of(value);
    found.name = dotted(node_text(target, text_));
  } else if (targets == 1 && (type_is(value, "struct_declaration") ||
                              type_is(value, "enum_declaration") ||
                              type_is(value, "union_declaration") ||
                              type_is(value, "opaque_declaration"))) {
    found.kind = Found::kClass;
    found.def = declaration;
    found.body = value;
    found.name = text(target);
  }
  return found;
}

}  // namespace

std::vector<Definition> find_definitions(const Syntax& syntax, TSNode root, std::string_view text) {
  return DefinitionFinder(syntax, text).run(root);
}

}  // namespace vantory::backend
