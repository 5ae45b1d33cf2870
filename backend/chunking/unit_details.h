// What a definition found in a syntax tree is called, which parameters it takes and how it
// describes itself.
#pragma once

#include <tree_sitter/api.h>

#include <string>
#include <string_view>
#include <vector>

#include "backend/chunking/syntax.h"

namespace vantory::backend {

// The nodes of one definition, as the definition finder classified them.
struct FoundDefinition {
  enum Kind { kNone, kImport, kClass, kFunction, kContainer } kind = kNone;
  TSNode def{};       // the node that holds the name
  TSNode function{};  // the node that holds the parameters of a function
  TSNode body{};      // what the definition holds: a class's members, a function's statements
  std::string name;   // set when the name does not come from `def`
  bool prototype = false;  // a C or C++ function declared without its body
};

// A qualified name written with "." whatever the language writes: "Foo::bar", "a.b",
// "Foo<T>::bar" and "Foo::operator<<" become "Foo.bar", "a.b", "Foo.bar" and "Foo.operator<<".
std::string dotted(std::string_view text);

// Reads names, parameters, signatures and docstrings out of definitions of one parsed text.
// Holds views of the syntax and the text, which must outlive it.
class UnitDetails {
 public:
  UnitDetails(const Syntax& syntax, std::string_view text);

  // The definition's own name, not qualified by its enclosing classes; empty when it has
  // none. Sets `qualified` when the name itself says where it belongs (C++ Foo::bar, a Go
  // method's receiver type): such a function is a method.
  std::string name(const FoundDefinition& found, bool& qualified) const;
  // The names of a function's parameters in order, receivers (self, this) included.
  std::vector<std::string> parameters(const FoundDefinition& found) const;
  // The definition's text up to its body, on one line: "def get(self, key):".
  std::string signature(const FoundDefinition& found) const;
  // The first line of the documentation written inside the definition (a Python docstring,
  // an Elixir @moduledoc); empty without one.
  std::string inner_doc(const FoundDefinition& found) const;
  // True for a node that documents the definition below it without being a comment
  // (Elixir's @doc).
  bool is_doc_attribute(TSNode node) const;
  // The documenting text of a comment or doc attribute.
  std::string_view doc_text(TSNode comment) const;

 private:
  std::string python_docstring(TSNode function_or_class) const;
  std::string elixir_name(const FoundDefinition& found) const;
  std::string elixir_parameter(TSNode parameter) const;
  TSNode elixir_attribute_string(TSNode attribute, std::string_view name) const;
  std::string c_declarator_name(TSNode declarator) const;
  std::string go_receiver_type(TSNode method) const;
  TSNode parameter_list(const FoundDefinition& found) const;
  std::string parameter_name(TSNode parameter) const;
  std::string text(TSNode node) const { return std::string(node_text(node, text_)); }

  const Syntax& s_;
  std::string_view text_;
  TSFieldId f_name_, f_body_, f_parameters_, f_parameter_, f_declarator_, f_type_, f_receiver_,
      f_pattern_, f_left_, f_right_, f_target_, f_operand_, f_function_left_;
};

}  // namespace vantory::backend
