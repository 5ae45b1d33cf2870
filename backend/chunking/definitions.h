// Finds the units of a parsed file: classes, functions, methods and runs of imports.
#pragma once

#include <tree_sitter/api.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "backend/chunking/syntax.h"

namespace vantory::backend {

struct Definition {
  std::string name;  // qualified by the enclosing classes: "Store.get"
  std::string type;  // "class", "function", "method", "declaration" or "import"
  std::size_t first_row = 0;  // attached comments, decorators and attributes included
  std::size_t last_row = 0;   // for a class: the last row before its first member
  int parent = -1;            // the enclosing class, an index into the same list
  int level = 0;              // how many opened definitions enclose it
  std::string summary;        // docstring's first line, else the signature
  std::vector<std::string> parameters;
};

// The definitions of the tree rooted at `root`, parsed from `text`, in no particular order.
// Classes are opened: their methods and nested classes are definitions of their own, and a
// class's own rows end before its first member. A function is a leaf unless it is longer than
// a block (kMaxBlockRows): then the functions and classes defined in its body are definitions
// of their own too, named by their bare names as its code calls them, while the function
// keeps all its rows, so that its text, parameters and summary stay whole. Short functions
// (closures, the wrappers of decorators) keep what is nested in them. Module-level (and
// namespace-level) imports are merged into runs of adjacent import statements. A C or C++
// declaration of one function without its body (a prototype in a header, a member function
// declared in its class) is a unit of type "declaration" named by the function: it is found
// by its name, but it defines nothing that the analyses of callable units (usage, unused
// parameters) should count. Walks with an explicit stack, so nesting depth is unbounded.
std::vector<Definition> find_definitions(const Syntax& syntax, TSNode root, std::string_view text);

}  // namespace vantory::backend
