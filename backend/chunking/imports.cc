#include "backend/chunking/imports.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vantory::backend {
namespace {

std::string without_spaces(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\\') out.push_back(c);
  }
  return out;
}

std::string_view unquote(std::string_view text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'' || text.front() == '`' ||
                           text.front() == '<')) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

std::vector<std::string_view> path_segments(std::string_view path) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view segment = path.substr(start, slash - start);
    if (!segment.empty() && segment != "." && segment != "..") segments.push_back(segment);
    start = slash + 1;
  }
  return segments;
}

std::string_view strip_extension(std::string_view segment) {
  std::size_t dot = segment.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? segment : segment.substr(0, dot);
}

bool has_script_extension(std::string_view segment) {
  static constexpr std::array<std::string_view, 10> kExtensions = {
      ".js", ".jsx", ".mjs", ".cjs", ".ts", ".tsx", ".mts", ".cts", ".json", ".node"};
  return std::any_of(kExtensions.begin(), kExtensions.end(), [&](std::string_view ext) {
    return segment.size() > ext.size() && segment.substr(segment.size() - ext.size()) == ext;
  });
}

std::string join_dotted(const std::vector<std::string_view>& segments) {
  std::string out;
  for (std::string_view segment : segments) {
    if (!out.empty()) out.push_back('.');
    out.append(segment);
  }
  return out;
}

// A Rust path ("crate::a::b", "self::x", "a::b::self") without the components that only say
// where the path starts.
std::string rust_module(std::string_view path) {
  std::string plain = without_spaces(path);
  std::vector<std::string_view> parts;
  std::string_view rest = plain;
  while (!rest.empty()) {
    std::size_t sep = rest.find("::");
    parts.push_back(rest.substr(0, sep));
    if (sep == std::string_view::npos) break;
    rest.remove_prefix(sep + 2);
  }
  std::size_t first = 0;
  while (first < parts.size() && (parts[first] == "crate" || parts[first] == "self" ||
                                  parts[first] == "super" || parts[first] == "$crate" ||
                                  parts[first].empty())) {
    ++first;
  }
  std::size_t last = parts.size();
  while (last > first && (parts[last - 1] == "self" || parts[last - 1] == "*")) --last;
  return join_dotted(std::vector<std::string_view>(parts.begin() + static_cast<long>(first),
                                                   parts.begin() + static_cast<long>(last)));
}

void push(std::vector<std::string>& out, std::string module) {
  if (!module.empty()) out.push_back(std::move(module));
}

class ImportReader {
 public:
  ImportReader(const Syntax& syntax, std::string_view text, std::vector<std::string>& out)
      : s_(syntax), text_(text), out_(out) {}

  void read(TSNode node);

 private:
  std::string_view text(TSNode node) const { return node_text(node, text_); }
  TSNode field(TSNode node, const char* name) const { return child_by_field(node, s_.field(name)); }
  void python(TSNode node);
  void javascript(TSNode node);
  void rust_use(TSNode argument);
  void go(TSNode node);
  void csharp(TSNode node);
  void php(TSNode node);
  void scala(TSNode node);
  void elixir(TSNode call);
  bool is_import_call(TSNode node) const;
  std::string_view first_argument(TSNode call) const;

  const Syntax& s_;
  std::string_view text_;
  std::vector<std::string>& out_;
};

void ImportReader::read(TSNode node) {
  Role role = s_.role(node);
  if (role != Role::kImport && role != Role::kCall && role != Role::kWrapper &&
      role != Role::kContainer) {
    return;
  }
  switch (s_.lang()) {
    case Lang::kPython:
      if (role == Role::kImport) python(node);
      break;
    case Lang::kJavaScript:
    case Lang::kTypeScript:
    case Lang::kTsx:
      javascript(node);
      break;
    case Lang::kC:
    case Lang::kCpp:
      if (role == Role::kImport) {
        TSNode path = field(node, "path");
        if (!ts_node_is_null(path) && !type_is(path, "identifier")) {
          push(out_, c_module(unquote(text(path))));
        }
      }
      break;
    case Lang::kGo:
      if (role == Role::kImport) go(node);
      break;
    case Lang::kRust:
      if (type_is(node, "use_declaration")) {
        rust_use(field(node, "argument"));
      } else if (type_is(node, "extern_crate_declaration") ||
                 (type_is(node, "mod_item") && ts_node_is_null(field(node, "body")))) {
        push(out_, rust_module(text(field(node, "name"))));
      }
      break;
    case Lang::kJava:
    case Lang::kKotlin:
    case Lang::kSwift:
      // import java.util.List;  import kotlinx.coroutines.flow.Flow;  import UIKit.UIView
      if (role == Role::kImport) {
        for_each_named_child(node, [&](TSNode child, TSFieldId) {
          if (type_is(child, "scoped_identifier") || type_is(child, "identifier") ||
              type_is(child, "qualified_identifier")) {
            push(out_, without_spaces(text(child)));
            return false;
          }
          return true;
        });
      }
      break;
    case Lang::kCSharp:
      if (role == Role::kImport) csharp(node);
      break;
    case Lang::kPhp:
      if (role == Role::kImport) php(node);
      break;
    case Lang::kScala:
      if (role == Role::kImport) scala(node);
      break;
    case Lang::kElm:
      if (role == Role::kImport) push(out_, without_spaces(text(field(node, "moduleName"))));
      break;
    case Lang::kSolidity:
      if (role == Role::kImport) push(out_, c_module(unquote(text(field(node, "source")))));
      break;
    case Lang::kElixir:
      if (is_import_call(node)) elixir(node);
      break;
    case Lang::kRuby:
    case Lang::kBash:
    case Lang::kZig:
      // require "json";  source ./lib/common.sh;  @import("std")
      if (is_import_call(node)) push(out_, script_module(unquote(first_argument(node))));
      break;
    case Lang::kLua:
      // require("app.util") names the module in Lua's own dotted form.
      if (is_import_call(node)) {
        std::string module(unquote(first_argument(node)));
        std::replace(module.begin(), module.end(), '/', '.');
        push(out_, std::move(module));
      }
      break;
  }
}

bool ImportReader::is_import_call(TSNode node) const {
  if (s_.role(node) != Role::kCall) return false;
  std::uint32_t begin = 0;
  TSNode callee = s_.callee(node, begin);
  if (ts_node_is_null(callee) || ts_node_end_byte(callee) <= begin) return false;
  return s_.keyword_kind(text_.substr(begin, ts_node_end_byte(callee) - begin)) == Role::kImport;
}

std::string_view ImportReader::first_argument(TSNode call) const {
  TSNode argument = field(call, "argument");  // a shell command's first word after its name
  if (ts_node_is_null(argument)) {
    TSNode arguments = field(call, "arguments");
    if (ts_node_is_null(arguments)) {
      for_each_named_child(call, [&](TSNode child, TSFieldId) {
        if (type_is(child, "arguments")) arguments = child;
        return ts_node_is_null(arguments);
      });
    }
    argument = first_named_child(arguments);
  }
  return text(argument);
}

void ImportReader::csharp(TSNode node) {
  // using System.Text;  using static System.Math;  using Json = Newtonsoft.Json; the alias
  // comes first, the namespace last.
  TSNode name{};
  const TSFieldId alias_field = s_.field("name");
  for_each_named_child(node, [&](TSNode child, TSFieldId field_id) {
    if (field_id != alias_field && s_.role(child) != Role::kComment) name = child;
    return true;
  });
  if (ts_node_is_null(name)) return;
  std::string module = without_spaces(text(name));
  if (module.starts_with("global::")) module.erase(0, 8);
  push(out_, std::move(module));
}

void ImportReader::php(TSNode node) {
  if (!type_is(node, "namespace_use_declaration")) {
    // require_once __DIR__ . '/../bootstrap/helpers.php': the first string names the file.
    TSNode path{};
    int budget = 64;
    walk_tree(node, [&](TSNode current) {
      if (type_is(current, "string") || type_is(current, "encapsed_string")) path = current;
      return ts_node_is_null(path) && --budget > 0;
    });
    if (!ts_node_is_null(path)) push(out_, c_module(unquote(text(path))));
    return;
  }
  // use App\Models\User;  use Illuminate\Support\{Cache, Log as Logger};
  auto php_name = [](std::string_view name) {
    std::string dotted;
    for (char c : name) {
      if (c == '\\') {
        if (!dotted.empty()) dotted.push_back('.');
      } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
        dotted.push_back(c);
      }
    }
    return dotted;
  };
  std::string prefix;
  const TSFieldId alias_field = s_.field("alias");
  auto clauses = [&](TSNode holder) {
    for_each_named_child(holder, [&](TSNode clause, TSFieldId) {
      if (!type_is(clause, "namespace_use_clause")) return true;
      for_each_named_child(clause, [&](TSNode name, TSFieldId field_id) {
        if (field_id == alias_field) return true;
        std::string module = php_name(text(name));
        push(out_, prefix.empty() ? module : prefix + "." + module);
        return false;
      });
      return true;
    });
  };
  for_each_named_child(node, [&](TSNode child, TSFieldId) {
    if (type_is(child, "namespace_name")) prefix = php_name(text(child));
    if (type_is(child, "namespace_use_group")) clauses(child);
    return true;
  });
  clauses(node);
}

void ImportReader::scala(TSNode node) {
  // import scala.collection.mutable;  import shop.model.{Item, Price => P};  import a.b._
  std::string path;
  const TSFieldId path_field = s_.field("path");
  TSNode selectors{};
  for_each_named_child(node, [&](TSNode child, TSFieldId field_id) {
    if (field_id == path_field) {
      if (!path.empty()) path.push_back('.');
      path += without_spaces(text(child));
    } else if (type_is(child, "namespace_selectors")) {
      selectors = child;
    }
    return true;
  });
  if (ts_node_is_null(selectors)) {
    push(out_, path);
    return;
  }
  for_each_named_child(selectors, [&](TSNode selector, TSFieldId) {
    TSNode name = type_is(selector, "identifier") ? selector : field(selector, "name");
    if (type_is(name, "identifier")) push(out_, path + "." + std::string(text(name)));
    return true;
  });
}

void ImportReader::elixir(TSNode call) {
  // alias Shop.Cart;  import Ecto.Query, only: [from: 2];  alias Shop.{Item, Price};
  // require :crypto
  TSNode arguments{};
  for_each_named_child(call, [&](TSNode child, TSFieldId) {
    if (type_is(child, "arguments")) arguments = child;
    return ts_node_is_null(arguments);
  });
  TSNode module = first_named_child(arguments);
  if (type_is(module, "alias")) {
    push(out_, elixir_module(text(module)));
  } else if (type_is(module, "atom")) {
    push(out_, elixir_module(text(module).substr(1)));
  } else if (type_is(module, "dot") && type_is(field(module, "right"), "tuple")) {
    std::string prefix(text(field(module, "left")));
    for_each_named_child(field(module, "right"), [&](TSNode item, TSFieldId) {
      if (type_is(item, "alias")) push(out_, elixir_module(prefix + "." + std::string(text(item))));
      return true;
    });
  }
}

void ImportReader::python(TSNode node) {
  if (type_is(node, "future_import_statement")) {
    push(out_, "__future__");
    return;
  }
  const TSFieldId name_field = s_.field("name");
  auto imported_names = [&]() {
    for_each_named_child(node, [&](TSNode child, TSFieldId field_id) {
      if (field_id != name_field) return true;
      TSNode dotted = type_is(child, "aliased_import") ? field(child, "name") : child;
      push(out_, without_spaces(text(dotted)));
      return true;
    });
  };
  if (type_is(node, "import_statement")) {
    imported_names();
    return;
  }
  TSNode module = field(node, "module_name");
  if (ts_node_is_null(module)) return;
  if (!type_is(module, "relative_import")) {
    push(out_, without_spaces(text(module)));
    return;
  }
  // from .pkg import x names pkg; from . import a, b names the sibling modules a and b.
  TSNode dotted{};
  for_each_named_child(module, [&](TSNode child, TSFieldId) {
    if (type_is(child, "dotted_name")) dotted = child;
    return ts_node_is_null(dotted);
  });
  if (!ts_node_is_null(dotted)) {
    push(out_, without_spaces(text(dotted)));
  } else {
    imported_names();
  }
}

void ImportReader::javascript(TSNode node) {
  TSNode specifier{};
  if (type_is(node, "import_statement") || type_is(node, "export_statement")) {
    specifier = field(node, "source");
    if (ts_node_is_null(specifier)) {
      // import x = require("y");
      for_each_named_child(node, [&](TSNode child, TSFieldId) {
        if (type_is(child, "import_require_clause")) specifier = field(child, "source");
        return ts_node_is_null(specifier);
      });
    }
  } else if (type_is(node, "call_expression")) {
    TSNode function = field(node, "function");
    if (ts_node_is_null(function) ||
        !(type_is(function, "import") || text(function) == "require")) {
      return;
    }
    TSNode arguments = field(node, "arguments");
    if (!ts_node_is_null(arguments)) specifier = ts_node_named_child(arguments, 0);
  }
  if (ts_node_is_null(specifier) || !type_is(specifier, "string")) return;
  push(out_, js_module(unquote(text(specifier))));
}

void ImportReader::rust_use(TSNode argument) {
  // use a::{b, c::{d, e as f}, g::*}; expands to a.b, a.c.d, a.c.e, a.g. Lists can nest
  // without bound, so the expansion keeps its own stack.
  std::vector<std::pair<TSNode, std::string>> stack;
  if (!ts_node_is_null(argument)) stack.emplace_back(argument, "");
  auto joined = [](const std::string& prefix, std::string_view path) {
    return prefix.empty() ? std::string(path) : prefix + "::" + std::string(path);
  };
  while (!stack.empty()) {
    auto [node, prefix] = std::move(stack.back());
    stack.pop_back();
    if (type_is(node, "scoped_use_list")) {
      TSNode path = field(node, "path");
      TSNode list = field(node, "list");
      std::string inner = ts_node_is_null(path) ? prefix : joined(prefix, text(path));
      if (!ts_node_is_null(list)) stack.emplace_back(list, std::move(inner));
    } else if (type_is(node, "use_list")) {
      std::vector<TSNode> items;
      for_each_named_child(node, [&](TSNode child, TSFieldId) {
        if (s_.role(child) != Role::kComment) items.push_back(child);
        return true;
      });
      for (auto it = items.rbegin(); it != items.rend(); ++it) stack.emplace_back(*it, prefix);
    } else if (type_is(node, "use_as_clause")) {
      TSNode path = field(node, "path");
      if (!ts_node_is_null(path)) stack.emplace_back(path, prefix);
    } else if (type_is(node, "use_wildcard")) {
      TSNode path = ts_node_named_child(node, 0);
      push(out_, rust_module(ts_node_is_null(path) ? prefix : joined(prefix, text(path))));
    } else {
      push(out_, rust_module(joined(prefix, text(node))));
    }
  }
}

void ImportReader::go(TSNode node) {
  std::vector<TSNode> specifiers;
  for_each_named_child(node, [&](TSNode child, TSFieldId) {
    if (type_is(child, "import_spec")) {
      specifiers.push_back(child);
    } else if (type_is(child, "import_spec_list")) {
      for_each_named_child(child, [&](TSNode item, TSFieldId) {
        if (type_is(item, "import_spec")) specifiers.push_back(item);
        return true;
      });
    }
    return true;
  });
  for (TSNode import_item : specifiers) {
    TSNode path = field(import_item, "path");
    if (!ts_node_is_null(path)) push(out_, go_module(unquote(text(path))));
  }
}

}  // namespace

void collect_imports(const Syntax& syntax, TSNode node, std::string_view text,
                     std::vector<std::string>& out) {
  ImportReader(syntax, text, out).read(node);
}

std::string js_module(std::string_view specifier) {
  if (specifier.substr(0, 5) == "node:") specifier.remove_prefix(5);
  bool relative = !specifier.empty() && (specifier.front() == '.' || specifier.front() == '/');
  std::vector<std::string_view> segments = path_segments(specifier);
  if (segments.empty()) return {};
  if ((relative || segments.size() > 1) && has_script_extension(segments.back())) {
    segments.back() = strip_extension(segments.back());
  }
  std::string scoped;
  if (!relative && segments.size() >= 2 && segments.front().front() == '@') {
    scoped = std::string(segments[0]) + "/" + std::string(segments[1]);
    segments.erase(segments.begin());
    segments.front() = scoped;
  }
  return join_dotted(segments);
}

std::string c_module(std::string_view include_path) {
  std::vector<std::string_view> segments = path_segments(include_path);
  if (segments.empty()) return {};
  segments.back() = strip_extension(segments.back());
  return join_dotted(segments);
}

std::string go_module(std::string_view import_path) { return join_dotted(path_segments(import_path)); }

std::string script_module(std::string_view path) {
  // Whatever a shell variable expands to is not known here: "$DIR/lib/util.sh" names lib.util.
  std::vector<std::string_view> segments = path_segments(path);
  for (std::size_t i = segments.size(); i-- > 0;) {
    if (segments[i].find('$') != std::string_view::npos) {
      segments.erase(segments.begin(), segments.begin() + static_cast<long>(i) + 1);
      break;
    }
  }
  for (std::string_view& segment : segments) {
    while (segment.size() > 1 && segment.front() == '.') segment.remove_prefix(1);
  }
  if (segments.empty()) return {};
  segments.back() = strip_extension(segments.back());
  return join_dotted(segments);
}

std::string elixir_module(std::string_view name) {
  // Shop.HTTPClient lives in shop/http_client.ex.
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool upper = c >= 'A' && c <= 'Z';
    if (upper && i > 0 && name[i - 1] != '.') {
      char before = name[i - 1];
      bool lower_before = (before >= 'a' && before <= 'z') || (before >= '0' && before <= '9');
      bool lower_after = i + 1 < name.size() && name[i + 1] >= 'a' && name[i + 1] <= 'z';
      bool upper_before = before >= 'A' && before <= 'Z';
      if (lower_before || (upper_before && lower_after)) out.push_back('_');
    }
    out.push_back(upper ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

}  // namespace vantory::backend
