// The languages the chunker knows: for each, what its grammar's node types and fields mean.
#include "backend/chunking/syntax.h"

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
const TSLanguage* tree_sitter_c_sharp(void);
const TSLanguage* tree_sitter_ruby(void);
const TSLanguage* tree_sitter_php(void);
const TSLanguage* tree_sitter_kotlin(void);
const TSLanguage* tree_sitter_swift(void);
const TSLanguage* tree_sitter_scala(void);
const TSLanguage* tree_sitter_bash(void);
const TSLanguage* tree_sitter_lua(void);
const TSLanguage* tree_sitter_elixir(void);
const TSLanguage* tree_sitter_zig(void);
const TSLanguage* tree_sitter_elm(void);
const TSLanguage* tree_sitter_solidity(void);
}

namespace vantory::backend {
namespace {

using Names = std::initializer_list<const char*>;
using RoleTable = std::initializer_list<RoleNames>;

// Most grammars name the callee of a call by one of these.
const Names kCalleeFields = {"function", "constructor", "type"};

const LanguageRules kPython = {
    "python", Lang::kPython, tree_sitter_python,
    {
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
    },
    kCalleeFields, {}, {}, {}, {}, false,
};

const RoleTable kJavaScriptRoles = {
    {Role::kImport, {"import_statement"}},
    {Role::kClass,
     {"class_declaration", "abstract_class_declaration", "interface_declaration",
      "enum_declaration"}},
    {Role::kFunction,
     {"function_declaration", "generator_function_declaration", "method_definition"}},
    {Role::kWrapper,
     {"export_statement", "lexical_declaration", "variable_declaration", "expression_statement",
      "field_definition", "public_field_definition"}},
    {Role::kCall, {"call_expression", "new_expression"}},
    {Role::kIdentifier,
     {"identifier", "property_identifier", "private_property_identifier",
      "shorthand_property_identifier", "shorthand_property_identifier_pattern",
      "type_identifier"}},
    {Role::kComment, {"comment"}},
    {Role::kAttachment, {"decorator"}},
};
const std::initializer_list<KeywordCall> kJavaScriptCalls = {{"require", Role::kImport}};

const LanguageRules kJavaScript = {
    "javascript", Lang::kJavaScript, tree_sitter_javascript, kJavaScriptRoles,
    kCalleeFields, {}, kJavaScriptCalls, {}, {}, true,
};
const LanguageRules kTypeScript = {
    "typescript", Lang::kTypeScript, tree_sitter_typescript, kJavaScriptRoles,
    kCalleeFields, {}, kJavaScriptCalls, {}, {}, true,
};
const LanguageRules kTsx = {
    "tsx", Lang::kTsx, tree_sitter_tsx, kJavaScriptRoles,
    kCalleeFields, {}, kJavaScriptCalls, {}, {}, true,
};

const RoleTable kCRoles = {
    {Role::kImport, {"preproc_include"}},
    {Role::kClass, {"struct_specifier", "union_specifier", "enum_specifier", "class_specifier"}},
    {Role::kFunction, {"function_definition"}},
    {Role::kWrapper,
     {"template_declaration", "declaration", "type_definition", "field_declaration"}},
    {Role::kContainer,
     {"preproc_if", "preproc_ifdef", "preproc_else", "preproc_elif", "preproc_elifdef",
      "namespace_definition", "linkage_specification", "declaration_list"}},
    {Role::kCall, {"call_expression"}},
    {Role::kIdentifier,
     {"identifier", "type_identifier", "field_identifier", "namespace_identifier"}},
    {Role::kComment, {"comment"}},
};

const LanguageRules kC = {
    "c", Lang::kC, tree_sitter_c, kCRoles, kCalleeFields, {}, {}, {}, {}, true,
};
const LanguageRules kCpp = {
    "cpp", Lang::kCpp, tree_sitter_cpp, kCRoles, kCalleeFields, {}, {}, {}, {}, true,
};

const LanguageRules kGo = {
    "go", Lang::kGo, tree_sitter_go,
    {
        {Role::kImport, {"import_declaration"}},
        {Role::kClass, {"type_declaration"}},
        {Role::kFunction, {"function_declaration", "method_declaration"}},
        {Role::kCall, {"call_expression"}},
        {Role::kIdentifier,
         {"identifier", "type_identifier", "field_identifier", "package_identifier"}},
        {Role::kComment, {"comment"}},
    },
    kCalleeFields, {}, {}, {}, {}, true,
};

const LanguageRules kRust = {
    "rust", Lang::kRust, tree_sitter_rust,
    {
        {Role::kImport, {"use_declaration", "extern_crate_declaration"}},
        {Role::kClass, {"struct_item", "enum_item", "union_item", "trait_item", "impl_item"}},
        {Role::kFunction, {"function_item"}},
        {Role::kContainer, {"mod_item", "declaration_list"}},
        {Role::kCall, {"call_expression"}},
        {Role::kIdentifier, {"identifier", "type_identifier", "field_identifier"}},
        {Role::kComment, {"line_comment", "block_comment"}},
        {Role::kAttachment, {"attribute_item"}},
    },
    kCalleeFields, {}, {}, {}, {}, true,
};

const LanguageRules kJava = {
    "java", Lang::kJava, tree_sitter_java,
    {
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
    },
    kCalleeFields, {"name"}, {}, {}, {}, true,
};

const LanguageRules kCSharp = {
    "csharp", Lang::kCSharp, tree_sitter_c_sharp,
    {
        {Role::kImport, {"using_directive"}},
        {Role::kClass,
         {"class_declaration", "struct_declaration", "interface_declaration", "enum_declaration",
          "record_declaration"}},
        {Role::kFunction,
         {"method_declaration", "constructor_declaration", "destructor_declaration",
          "operator_declaration", "conversion_operator_declaration", "local_function_statement"}},
        {Role::kContainer, {"namespace_declaration", "file_scoped_namespace_declaration"}},
        {Role::kBody, {"declaration_list"}},
        {Role::kCall, {"invocation_expression", "object_creation_expression"}},
        {Role::kIdentifier, {"identifier"}},
        {Role::kComment, {"comment"}},
        {Role::kAttachment, {"attribute_list"}},
    },
    kCalleeFields, {}, {},
    {{"operator_declaration", "operator"}, {"conversion_operator_declaration", "operator"}}, {},
    true,
};

const LanguageRules kRuby = {
    "ruby", Lang::kRuby, tree_sitter_ruby,
    {
        {Role::kClass, {"class", "module"}},
        {Role::kFunction, {"method", "singleton_method"}},
        {Role::kContainer, {"singleton_class"}},
        {Role::kBody, {"body_statement"}},
        {Role::kCall, {"call"}},
        {Role::kIdentifier, {"identifier", "constant"}},
        {Role::kComment, {"comment"}},
    },
    {}, {"method"},
    {{"require", Role::kImport}, {"require_relative", Role::kImport}},
    {}, {}, false,
};

const LanguageRules kPhp = {
    "php", Lang::kPhp, tree_sitter_php,
    {
        {Role::kImport,
         {"namespace_use_declaration", "require_expression", "require_once_expression",
          "include_expression", "include_once_expression"}},
        {Role::kClass,
         {"class_declaration", "interface_declaration", "trait_declaration", "enum_declaration"}},
        {Role::kFunction, {"function_definition", "method_declaration"}},
        {Role::kWrapper, {"expression_statement"}},
        {Role::kContainer, {"namespace_definition"}},
        {Role::kBody, {"compound_statement"}},
        {Role::kCall,
         {"function_call_expression", "member_call_expression", "nullsafe_member_call_expression",
          "scoped_call_expression", "object_creation_expression"}},
        {Role::kIdentifier, {"name"}},
        {Role::kComment, {"comment"}},
        {Role::kAttachment, {"attribute_list"}},
    },
    {"function"}, {"name"}, {}, {}, {}, true,
};

const LanguageRules kKotlin = {
    "kotlin", Lang::kKotlin, tree_sitter_kotlin,
    {
        {Role::kImport, {"import"}},
        {Role::kClass, {"class_declaration", "object_declaration", "companion_object"}},
        {Role::kFunction, {"function_declaration", "secondary_constructor"}},
        {Role::kBody, {"class_body", "enum_class_body", "function_body"}},
        {Role::kParameters, {"function_value_parameters"}},
        {Role::kCall, {"call_expression"}},
        {Role::kIdentifier, {"identifier"}},
        {Role::kComment, {"line_comment", "block_comment"}},
    },
    {}, {}, {},
    {{"secondary_constructor", "constructor"}, {"companion_object", "Companion"}},
    {"parameter"}, true,
};

const LanguageRules kSwift = {
    "swift", Lang::kSwift, tree_sitter_swift,
    {
        {Role::kImport, {"import_declaration"}},
        {Role::kClass, {"class_declaration", "protocol_declaration"}},
        {Role::kFunction, {"function_declaration", "init_declaration", "deinit_declaration"}},
        {Role::kCall, {"call_expression", "constructor_expression"}},
        {Role::kIdentifier, {"simple_identifier", "type_identifier"}},
        {Role::kComment, {"comment", "multiline_comment"}},
    },
    {}, {}, {}, {{"init_declaration", "init"}, {"deinit_declaration", "deinit"}}, {"parameter"},
    true,
};

const LanguageRules kScala = {
    "scala", Lang::kScala, tree_sitter_scala,
    {
        {Role::kImport, {"import_declaration"}},
        {Role::kClass,
         {"class_definition", "object_definition", "trait_definition", "enum_definition"}},
        {Role::kFunction, {"function_definition"}},
        {Role::kCall, {"call_expression", "instance_expression"}},
        {Role::kIdentifier, {"identifier", "type_identifier"}},
        {Role::kComment, {"comment", "block_comment"}},
        {Role::kAttachment, {"annotation"}},
    },
    {"function"}, {}, {}, {}, {}, true,
};

const LanguageRules kBash = {
    "bash", Lang::kBash, tree_sitter_bash,
    {
        {Role::kFunction, {"function_definition"}},
        {Role::kCall, {"command"}},
        {Role::kIdentifier, {"variable_name", "command_name"}},
        {Role::kComment, {"comment"}},
    },
    {"name"}, {}, {{"source", Role::kImport}, {".", Role::kImport}}, {}, {}, false,
};

const LanguageRules kLua = {
    "lua", Lang::kLua, tree_sitter_lua,
    {
        {Role::kFunction, {"function_declaration"}},
        {Role::kWrapper, {"variable_declaration", "assignment_statement"}},
        {Role::kCall, {"function_call"}},
        {Role::kIdentifier, {"identifier"}},
        {Role::kComment, {"comment"}},
    },
    {"name"}, {}, {{"require", Role::kImport}}, {}, {}, false,
};

const LanguageRules kElixir = {
    "elixir", Lang::kElixir, tree_sitter_elixir,
    {
        {Role::kBody, {"do_block"}},
        {Role::kCall, {"call"}},
        {Role::kIdentifier, {"identifier", "alias"}},
        {Role::kComment, {"comment"}},
        // Module attributes (@doc, @spec, @impl) belong to the definition below them.
        {Role::kAttachment, {"unary_operator"}},
    },
    {"target"}, {},
    {
        {"defmodule", Role::kClass}, {"defprotocol", Role::kClass}, {"defimpl", Role::kClass},
        {"def", Role::kFunction}, {"defp", Role::kFunction}, {"defmacro", Role::kFunction},
        {"defmacrop", Role::kFunction}, {"defguard", Role::kFunction},
        {"defguardp", Role::kFunction}, {"defdelegate", Role::kFunction},
        {"alias", Role::kImport}, {"import", Role::kImport}, {"require", Role::kImport},
        {"use", Role::kImport},
    },
    {}, {}, false,
};

const LanguageRules kZig = {
    "zig", Lang::kZig, tree_sitter_zig,
    {
        {Role::kFunction, {"function_declaration"}},
        {Role::kWrapper, {"variable_declaration"}},
        {Role::kParameters, {"parameters"}},
        {Role::kCall, {"call_expression", "builtin_function"}},
        {Role::kIdentifier, {"identifier"}},
        {Role::kComment, {"comment"}},
    },
    kCalleeFields, {}, {{"@import", Role::kImport}}, {}, {}, true,
};

const LanguageRules kElm = {
    "elm", Lang::kElm, tree_sitter_elm,
    {
        {Role::kImport, {"import_clause"}},
        {Role::kClass, {"type_declaration", "type_alias_declaration"}},
        {Role::kFunction, {"value_declaration"}},
        {Role::kCall, {"function_call_expr"}},
        {Role::kIdentifier, {"lower_case_identifier", "upper_case_identifier"}},
        {Role::kComment, {"line_comment", "block_comment"}},
        // The type annotation above a function belongs to it.
        {Role::kAttachment, {"type_annotation", "port_annotation"}},
    },
    {"target"}, {}, {}, {}, {}, false,
};

const LanguageRules kSolidity = {
    "solidity", Lang::kSolidity, tree_sitter_solidity,
    {
        {Role::kImport, {"import_directive"}},
        {Role::kClass,
         {"contract_declaration", "interface_declaration", "library_declaration",
          "struct_declaration", "enum_declaration"}},
        {Role::kFunction,
         {"function_definition", "constructor_definition", "modifier_definition",
          "fallback_receive_definition"}},
        {Role::kCall, {"call_expression"}},
        {Role::kIdentifier, {"identifier"}},
        {Role::kComment, {"comment"}},
    },
    kCalleeFields, {}, {}, {{"constructor_definition", "constructor"}}, {"parameter"}, true,
};

}  // namespace

const std::vector<const LanguageRules*>& language_rules() {
  static const std::vector<const LanguageRules*> all_rules = {
      &kPython, &kJavaScript, &kTypeScript, &kTsx,    &kC,     &kCpp,  &kGo,
      &kRust,   &kJava,       &kCSharp,     &kRuby,   &kPhp,   &kKotlin, &kSwift,
      &kScala,  &kBash,       &kLua,        &kElixir, &kZig,   &kElm,  &kSolidity,
  };
  return all_rules;
}

}  // namespace vantory::backend
