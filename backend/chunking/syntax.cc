#include "backend/chunking/syntax.h"

#include <cstring>
#include <initializer_list>
#include <memory>

extern "C" {
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_typescript(void);
const TSLanguage* tree_sitter_tsx(void);
const TSLanguage* tree_sitter_c(void);
const TSLanguage* tree_sitter_cpp(void);
const TSLanguage* tree_sitter_go(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_java(void);
}

namespace vantory::backend {
namespace {

struct RoleNames {
  Role role;
  std::initializer_list<const char*> types;
};

using RoleTable = std::initializer_list<RoleNames>;

const RoleTable kPythonRoles = {
    {Role::kImport, {"import_statement", "import_from_statement", "future_import_statement"}},
    {Role::kClass, {"class_definition"}},
    {Role::kFunction, {"function_definition"}},
    {Role::kWrapper, {"decorated_definition"}},
    {Role::kContainer,
     {"block", "if_statement", "elif_clause", "else_clause", "try_statement", "except_clause",
      "except_group_clause", "finally_clause", "with_statement"}},
    {Role::kCall, {"call"}},
    {Role::kIdentifier, {"identifier"}},
    {Role::kComment, {"comment"}},
};

const RoleTable kJavaScriptRoles = {
    {Role::kImport, {"import_statement"}},
    {Role::kClass,
     {"class_declaration", "abstract_class_declaration", "interface_declaration",
      "enum_declaration"}},
    {Role::kFunction, {"function_declaration", "generator_function_declaration", "method_definition"}},
    {Role::kWrapper,
     {"export_statement", "lexical_declaration", "variable_declaration", "expression_statement",
      "field_definition", "public_field_definition"}},
    {Role::kCall, {"call_expression", "new_expression"}},
    {Role::kIdentifier,
     {"identifier", "property_identifier", "private_property_identifier",
      "shorthand_property_identifier", "shorthand_property_identifier_pattern", "type_identifier"}},
    {Role::kComment, {"comment"}},
    {Role::kAttachment, {"decorator"}},
};

const RoleTable kCRoles = {
    {Role::kImport, {"preproc_include"}},
    {Role::kClass, {"struct_specifier", "union_specifier", "enum_specifier", "class_specifier"}},
    {Role::kFunction, {"function_definition"}},
    {Role::kWrapper, {"template_declaration", "declaration", "type_definition"}},
    {Role::kContainer,
     {"preproc_if", "preproc_ifdef", "preproc_else", "preproc_elif", "preproc_elifdef",
      "namespace_definition", "linkage_specification", "declaration_list"}},
    {Role::kCall, {"call_expression"}},
    {Role::kIdentifier, {"identifier", "type_identifier", "field_identifier", "namespace_identifier"}},
    {Role::kComment, {"comment"}},
};

const RoleTable kGoRoles = {
    {Role::kImport, {"import_declaration"}},
    {Role::kClass, {"type_declaration"}},
    {Role::kFunction, {"function_declaration", "method_declaration"}},
    {Role::kCall, {"call_expression"}},
    {Role::kIdentifier, {"identifier", "type_identifier", "field_identifier", "package_identifier"}},
    {Role::kComment, {"comment"}},
};

const RoleTable kRustRoles = {
    {Role::kImport, {"use_declaration", "extern_crate_declaration"}},
    {Role::kClass, {"struct_item", "enum_item", "union_item", "trait_item", "impl_item"}},
    {Role::kFunction, {"function_item"}},
    {Role::kContainer, {"mod_item", "declaration_list"}},
    {Role::kCall, {"call_expression"}},
    {Role::kIdentifier, {"identifier", "type_identifier", "field_identifier"}},
    {Role::kComment, {"line_comment", "block_comment"}},
    {Role::kAttachment, {"attribute_item"}},
};

const RoleTable kJavaRoles = {
    {Role::kImport, {"import_declaration"}},
    {Role::kClass,
     {"class_declaration", "interface_declaration", "enum_declaration", "record_declaration",
      "annotation_type_declaration"}},
    {Role::kFunction,
     {"method_declaration", "constructor_declaration", "compact_constructor_declaration"}},
    {Role::kContainer, {"enum_body_declarations"}},
    {Role::kCall, {"method_invocation", "object_creation_expression"}},
    {Role::kIdentifier, {"identifier", "type_identifier"}},
    {Role::kComment, {"line_comment", "block_comment"}},
};

const char* const kFieldNames[] = {
    "name",     "body",     "parameters", "parameter", "function",    "declarator",
    "definition", "declaration", "value",  "left",      "right",       "type",
    "receiver", "pattern",  "constructor", "source",   "path",        "module_name",
    "argument", "list",     "alias",      "arguments", "trait",       "object",
    "property",
};

}  // namespace

Syntax::Syntax(Lang lang, const TSLanguage* grammar) : lang_(lang), grammar_(grammar) {
  const RoleTable* table = nullptr;
  switch (lang) {
    case Lang::kPython: table = &kPythonRoles; break;
    case Lang::kJavaScript:
    case Lang::kTypeScript:
    case Lang::kTsx: table = &kJavaScriptRoles; break;
    case Lang::kC:
    case Lang::kCpp: table = &kCRoles; break;
    case Lang::kGo: table = &kGoRoles; break;
    case Lang::kRust: table = &kRustRoles; break;
    case Lang::kJava: table = &kJavaRoles; break;
  }
  std::uint32_t count = ts_language_symbol_count(grammar);
  roles_.assign(count, Role::kOther);
  for (TSSymbol symbol = 0; symbol < count; ++symbol) {
    if (ts_language_symbol_type(grammar, symbol) != TSSymbolTypeRegular) continue;
    const char* name = ts_language_symbol_name(grammar, symbol);
    for (const RoleNames& entry : *table) {
      for (const char* type : entry.types) {
        if (std::strcmp(name, type) == 0) roles_[symbol] = entry.role;
      }
    }
  }
  for (const char* name : kFieldNames) {
    fields_.emplace_back(name, ts_language_field_id_for_name(
                                   grammar, name, static_cast<std::uint32_t>(std::strlen(name))));
  }
}

TSFieldId Syntax::field(std::string_view name) const {
  for (const auto& [known, id] : fields_) {
    if (known == name) return id;
  }
  return 0;
}

const Syntax* Syntax::find(std::string_view language) {
  // Built on first use; function-local statics make that thread-safe.
  static const struct All {
    Syntax python{Lang::kPython, tree_sitter_python()};
    Syntax javascript{Lang::kJavaScript, tree_sitter_javascript()};
    Syntax typescript{Lang::kTypeScript, tree_sitter_typescript()};
    Syntax tsx{Lang::kTsx, tree_sitter_tsx()};
    Syntax c{Lang::kC, tree_sitter_c()};
    Syntax cpp{Lang::kCpp, tree_sitter_cpp()};
    Syntax go{Lang::kGo, tree_sitter_go()};
    Syntax rust{Lang::kRust, tree_sitter_rust()};
    Syntax java{Lang::kJava, tree_sitter_java()};
  } all;
  if (language == "python") return &all.python;
  if (language == "javascript") return &all.javascript;
  if (language == "typescript") return &all.typescript;
  if (language == "tsx") return &all.tsx;
  if (language == "c") return &all.c;
  if (language == "cpp") return &all.cpp;
  if (language == "go") return &all.go;
  if (language == "rust") return &all.rust;
  if (language == "java") return &all.java;
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
