// What the node types of each tree-sitter grammar mean to the chunker, and small helpers over
// tree-sitter nodes.
#pragma once

#include <tree_sitter/api.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantory::backend {

class DenseGrammar;

enum class Lang : std::uint8_t {
  kPython, kJavaScript, kTypeScript, kTsx, kC, kCpp, kGo, kRust, kJava, kCSharp, kRuby, kPhp,
  kKotlin, kSwift, kScala, kBash, kLua, kElixir, kZig, kElm, kSolidity,
};

// The part a node type plays in chunking.
enum class Role : std::uint8_t {
  kOther,
  kImport,      // an import statement
  kClass,       // a class-like definition whose body holds methods
  kFunction,    // a function or method definition
  kWrapper,     // a node that may wrap a definition (decorators, export, template, ...)
  kContainer,   // a node whose children are statements at the level of its parent
  kCall,        // a call expression
  kIdentifier,  // a name that counts as a keyword
  kComment,     // a comment, attached to the definition that follows it
  kAttachment,  // a decorator or attribute, attached to the definition that follows it
  kBody,        // the members or statements of a definition, where no "body" field says so
  kParameters,  // a function's parameter list, where no "parameters" field says so
};

struct RoleNames {
  Role role;
  std::initializer_list<const char*> types;
};

// A call that declares rather than calls: Ruby's require, Elixir's def and defmodule, Bash's
// source. `kind` is Role::kImport, kClass or kFunction.
struct KeywordCall {
  const char* callee;
  Role kind;
};

// The name of a definition that the grammar writes without one (Swift's init).
struct DefaultName {
  const char* type;
  const char* name;
};

// What the chunker needs to know of one language beyond its grammar. The tables are static
// data, one per language (languages.cc).
struct LanguageRules {
  const char* name;  // "python"
  Lang lang;
  const TSLanguage* (*grammar)();
  std::initializer_list<RoleNames> roles;
  // Fields that name the callee of a call, tried in order: the callee is the field's text.
  std::initializer_list<const char*> callee_fields;
  // Fields that name the method of a call whose receiver is a sibling of it (Java's
  // list.add(x), Ruby's items.map): the callee runs from the call's start to the field's end.
  // Tried before callee_fields. A call with none of either is called by its first child.
  std::initializer_list<const char*> member_fields;
  std::initializer_list<KeywordCall> keyword_calls;
  std::initializer_list<DefaultName> default_names;
  // The node types that are parameters, where a parameter list holds other things too
  // (Kotlin's default values) or where parameters stand directly in the function node
  // (Swift). Empty: every named child of the parameter list is one.
  std::initializer_list<const char*> parameter_types;
  // False where every function node defines a function, even one without a body node (Ruby's
  // "def f; end"); true where a function without a body is only declared (prototypes,
  // interface methods).
  bool functions_need_body;
};

// The language descriptions, in no particular order.
const std::vector<const LanguageRules*>& language_rules();

// One grammar with what its node types mean to the chunker. Immutable once built; shared by
// every thread.
class Syntax {
 public:
  // The syntax of `language` (a name that detect_language answers: "python", "ruby", ...), or
  // null when the backend has no grammar for it.
  static const Syntax* find(std::string_view language);

  // Built over `grammar` (the language's own grammar unless given): reads its node types and
  // fields once.
  explicit Syntax(const LanguageRules& rules, const TSLanguage* grammar = nullptr);
  ~Syntax();
  Syntax(const Syntax&) = delete;
  Syntax& operator=(const Syntax&) = delete;

  Lang lang() const { return rules_.lang; }
  const LanguageRules& rules() const { return rules_; }
  // The grammar to parse with: the language's, with a full parse-table row for every state
  // where that takes at most 16 MB (dense_grammar.h).
  const TSLanguage* grammar() const { return grammar_; }
  Role role(TSNode node) const {
    if (ts_node_is_null(node)) return Role::kOther;
    TSSymbol symbol = ts_node_symbol(node);
    return symbol < roles_.size() ? roles_[symbol] : Role::kOther;
  }
  bool is_javascript_family() const {
    return lang() == Lang::kJavaScript || lang() == Lang::kTypeScript || lang() == Lang::kTsx;
  }
  bool is_c_family() const { return lang() == Lang::kC || lang() == Lang::kCpp; }

  // Empty when this tree-sitter runtime can parse with the grammar; else why not.
  const std::string& load_failure() const { return load_failure_; }

  // Field ids by name, resolved once; 0 where the grammar has no such field.
  TSFieldId field(std::string_view name) const;

  // The callee of `call` and where its text starts: the node whose end ends the callee's
  // text. Null when the call names none.
  TSNode callee(TSNode call, std::uint32_t& begin) const;
  // What a call to `callee` (its text, as written) declares: Role::kImport, kClass or
  // kFunction; kOther for a plain call.
  Role keyword_kind(std::string_view callee) const;
  // The name the grammar leaves out for nodes of `node`'s type, or null.
  const char* default_name(TSNode node) const;
  // Whether `node` is a parameter by its type; false when the language names no such types.
  bool is_parameter(TSNode node) const;
  bool has_parameter_types() const { return !parameter_types_.empty(); }

 private:
  const LanguageRules& rules_;
  const TSLanguage* grammar_;
  std::unique_ptr<DenseGrammar> dense_;
  std::vector<Role> roles_;
  std::vector<std::pair<std::string, TSFieldId>> fields_;
  std::vector<TSFieldId> callee_fields_;
  std::vector<TSFieldId> member_fields_;
  std::vector<std::pair<TSSymbol, const char*>> default_names_;
  std::vector<TSSymbol> parameter_types_;
  std::string load_failure_;
};

// Helpers over nodes of a tree parsed from `text`. Each takes a null node (a missing field or
// child of damaged code) as a node of no type, no text and no children: tree-sitter's own
// functions read through the null pointer.
inline bool type_is(TSNode node, const char* type) {
  if (ts_node_is_null(node)) return false;
  const char* t = ts_node_type(node);
  return t != nullptr && std::string_view(t) == type;
}
inline std::string_view node_text(TSNode node, std::string_view text) {
  if (ts_node_is_null(node)) return {};
  std::uint32_t begin = ts_node_start_byte(node);
  std::uint32_t end = ts_node_end_byte(node);
  if (begin > text.size()) return {};
  return text.substr(begin, std::min<std::size_t>(end, text.size()) - begin);
}
inline std::uint32_t first_row(TSNode node) { return ts_node_start_point(node).row; }
// The row of the node's last byte: a node that ends with its line's "\n" (preprocessor lines)
// ends on that line, not at the start of the next one.
inline std::uint32_t last_row(TSNode node) {
  TSPoint end = ts_node_end_point(node);
  if (end.column == 0 && end.row > 0 && ts_node_end_byte(node) > ts_node_start_byte(node)) {
    return end.row - 1;
  }
  return end.row;
}
inline TSNode first_named_child(TSNode node) {
  return ts_node_is_null(node) ? TSNode{} : ts_node_named_child(node, 0);
}
inline TSNode child_by_field(TSNode node, TSFieldId field) {
  return field == 0 || ts_node_is_null(node) ? TSNode{} : ts_node_child_by_field_id(node, field);
}

// Visits the named children of a node in order. `visit` returns false to stop.
template <typename Visit>
void for_each_named_child(TSNode node, Visit visit) {
  if (ts_node_is_null(node)) return;
  TSTreeCursor cursor = ts_tree_cursor_new(node);
  if (ts_tree_cursor_goto_first_child(&cursor)) {
    do {
      TSNode child = ts_tree_cursor_current_node(&cursor);
      if (ts_node_is_named(child) && !visit(child, ts_tree_cursor_current_field_id(&cursor))) break;
    } while (ts_tree_cursor_goto_next_sibling(&cursor));
  }
  ts_tree_cursor_delete(&cursor);
}

// Visits `root` and every node below it in document order, without recursion (trees of
// deeply nested code are as deep as their nesting). `visit` returns false to stop.
template <typename Visit>
void walk_tree(TSNode root, Visit visit) {
  TSTreeCursor cursor = ts_tree_cursor_new(root);
  bool more = true;
  while (more && visit(ts_tree_cursor_current_node(&cursor))) {
    if (ts_tree_cursor_goto_first_child(&cursor)) continue;
    while (!ts_tree_cursor_goto_next_sibling(&cursor)) {
      if (!ts_tree_cursor_goto_parent(&cursor)) {
        more = false;
        break;
      }
    }
  }
  ts_tree_cursor_delete(&cursor);
}

// The first node below `node` (itself included), in document order, that names a value (an
// identifier that is not a type name); null after `budget` nodes without one.
TSNode first_identifier(const Syntax& syntax, TSNode node, int budget = 256);

}  // namespace vantory::backend
