#include "backend/chunking/syntax.h"

#include "backend/chunking/dense_grammar.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace vantory::backend {
namespace {

// The most a grammar's full parse table may take: the C++ grammar's takes 9.3 MB, the
// largest of the grammars (Scala's) 14 MB. Only the grammars a process parses with are made
// full.
constexpr std::size_t kMaxDenseGrammarBytes = std::size_t{16} << 20;

const char* const kFieldNames[] = {
    "name",     "body",       "parameters",  "parameter", "function",  "declarator",
    "definition", "declaration", "value",    "left",      "right",     "type",
    "receiver", "pattern",    "source",      "path",      "module_name", "argument",
    "list",     "alias",      "arguments",   "trait",     "object",    "property",
    "target",   "moduleName", "functionDeclarationLeft", "operand",
};

TSFieldId field_id(const TSLanguage* grammar, const char* name) {
  return ts_language_field_id_for_name(grammar, name,
                                      static_cast<std::uint32_t>(std::strlen(name)));
}

}  // namespace

Syntax::Syntax(const LanguageRules& rules, const TSLanguage* grammar)
    : rules_(rules), grammar_(grammar != nullptr ? grammar : rules.grammar()) {
  std::uint32_t version = ts_language_version(grammar_);
  if (version < TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION ||
      version > TREE_SITTER_LANGUAGE_VERSION) {
    load_failure_ = "the tree-sitter runtime cannot load the " + std::string(rules.name) +
                    " grammar (language version " + std::to_string(version) +
                    ", the runtime reads " +
                    std::to_string(TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION) + " to " +
                    std::to_string(TREE_SITTER_LANGUAGE_VERSION) + ")";
    return;
  }
  dense_ = DenseGrammar::make(grammar_, kMaxDenseGrammarBytes);
  if (dense_) grammar_ = dense_->grammar();
  std::uint32_t count = ts_language_symbol_count(grammar_);
  roles_.assign(count, Role::kOther);
  for (TSSymbol symbol = 0; symbol < count; ++symbol) {
    if (ts_language_symbol_type(grammar_, symbol) != TSSymbolTypeRegular) continue;
    const char* name = ts_language_symbol_name(grammar_, symbol);
    for (const RoleNames& entry : rules.roles) {
      for (const char* type : entry.types) {
        if (std::strcmp(name, type) == 0) roles_[symbol] = entry.role;
      }
    }
    for (const DefaultName& entry : rules.default_names) {
      if (std::strcmp(name, entry.type) == 0) default_names_.emplace_back(symbol, entry.name);
    }
    for (const char* type : rules.parameter_types) {
      if (std::strcmp(name, type) == 0) parameter_types_.push_back(symbol);
    }
  }
  for (const char* name : kFieldNames) fields_.emplace_back(name, field_id(grammar_, name));
  for (const char* name : rules.callee_fields) callee_fields_.push_back(field_id(grammar_, name));
  for (const char* name : rules.member_fields) member_fields_.push_back(field_id(grammar_, name));
}

TSFieldId Syntax::field(std::string_view name) const {
  for (const auto& [known, id] : fields_) {
    if (known == name) return id;
  }
  return 0;
}

TSNode Syntax::callee(TSNode call, std::uint32_t& begin) const {
  for (TSFieldId id : member_fields_) {
    TSNode method = child_by_field(call, id);
    if (!ts_node_is_null(method)) {
      begin = ts_node_start_byte(call);
      return method;
    }
  }
  TSNode callee{};
  for (TSFieldId id : callee_fields_) {
    callee = child_by_field(call, id);
    if (!ts_node_is_null(callee)) break;
  }
  if (ts_node_is_null(callee)) callee = ts_node_named_child(call, 0);
  // Type arguments written before the arguments (Scala's f[T](x)) are not part of the name.
  if (type_is(callee, "generic_function")) {
    TSNode function = child_by_field(callee, field("function"));
    if (!ts_node_is_null(function)) callee = function;
  }
  if (!ts_node_is_null(callee)) begin = ts_node_start_byte(callee);
  return callee;
}

Role Syntax::keyword_kind(std::string_view callee) const {
  for (const KeywordCall& keyword : rules_.keyword_calls) {
    if (callee == keyword.callee) return keyword.kind;
  }
  return Role::kOther;
}

const char* Syntax::default_name(TSNode node) const {
  if (default_names_.empty() || ts_node_is_null(node)) return nullptr;
  TSSymbol symbol = ts_node_symbol(node);
  for (const auto& [type, name] : default_names_) {
    if (type == symbol) return name;
  }
  return nullptr;
}

bool Syntax::is_parameter(TSNode node) const {
  if (parameter_types_.empty() || ts_node_is_null(node)) return false;
  TSSymbol symbol = ts_node_symbol(node);
  for (TSSymbol type : parameter_types_) {
    if (type == symbol) return true;
  }
  return false;
}

Syntax::~Syntax() = default;

const Syntax* Syntax::find(std::string_view language) {
  // Each language's syntax is built on its first use, so that a process reads the tables of
  // the grammars it uses and no others.
  const std::vector<const LanguageRules*>& all_rules = language_rules();
  static std::vector<std::once_flag> once(all_rules.size());
  static std::vector<std::unique_ptr<Syntax>> built(all_rules.size());
  for (std::size_t i = 0; i < all_rules.size(); ++i) {
    if (language != all_rules[i]->name) continue;
    std::call_once(once[i], [&] { built[i] = std::make_unique<Syntax>(*all_rules[i]); });
    return built[i].get();
  }
  return nullptr;
}

TSNode first_identifier(const Syntax& syntax, TSNode node, int budget) {
  TSNode found{};
  if (ts_node_is_null(node)) return found;
  walk_tree(node, [&](TSNode current) {
    // Type names come before the parameter name in C-like declarations; they are not names.
    if (syntax.role(current) == Role::kIdentifier && !type_is(current, "type_identifier")) {
      found = current;
      return false;
    }
    return --budget > 0;
  });
  return found;
}

}  // namespace vantory::backend
