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
      if (role == Role::kImport) {
        for_each_named_child(node, [&](TSNode child, TSFieldId) {
          if (type_is(child, "scoped_identifier") || type_is(child, "identifier")) {
            push(out_, without_spaces(text(child)));
            return false;
          }
          return true;
        });
      }
      break;
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
  std::vector<TSNode> specs;
  for_each_named_child(node, [&](TSNode child, TSFieldId) {
    if (type_is(child, "import_spec")) {
      specs.push_back(child);
    } else if (type_is(child, "import_spec_list")) {
      for_each_named_child(child, [&](TSNode item, TSFieldId) {
        if (type_is(item, "import_spec")) specs.push_back(item);
        return true;
      });
    }
    return true;
  });
  for (TSNode import_item : specs) {
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

}  // namespace vantory::backend
