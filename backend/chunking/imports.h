// The modules that import statements name, as dotted module names.
#pragma once

#include <tree_sitter/api.h>

#include <string>
#include <string_view>
#include <vector>

#include "backend/chunking/syntax.h"

namespace vantory::backend {

// Appends the modules that `node` imports to `out` when `node` is an import: an import
// statement, a require("x") or import("x") call, an "export ... from" or a Rust "mod x;".
// Anything else appends nothing. Cheap for nodes that are not imports, so it can be called
// on every node of a tree.
void collect_imports(const Syntax& syntax, TSNode node, std::string_view text,
                     std::vector<std::string>& out);

// A path-like import ("./lib/util.js", "util/strings.h", "net/http") as a dotted module name
// ("lib.util", "util.strings", "net.http"): "." and ".." segments dropped, the extension of a
// file path removed, a scoped npm package ("@scope/pkg") kept as one component.
std::string js_module(std::string_view specifier);
std::string c_module(std::string_view include_path);
std::string go_module(std::string_view import_path);
// A script's path ("./lib/common.sh", "$DIR/util.sh", "parser.zig", "../lib/store/cache") as
// "lib.common", "util", "parser", "lib.store.cache": what a shell variable expands to dropped,
// and the extension of the last segment.
std::string script_module(std::string_view path);
// An Elixir module name as the path of its file: "Shop.HTTPClient" as "shop.http_client".
std::string elixir_module(std::string_view name);

}  // namespace vantory::backend
