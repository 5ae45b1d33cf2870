#include "apps/host/gitignore.h"

#include <algorithm>
#include <cctype>

namespace vantory::host {

namespace {

// True when `c` is in the named class of a bracket expression ("alpha" of "[:alpha:]").
// Unknown names hold nothing.
bool in_named_class(std::string_view name, char c) {
  auto u = static_cast<unsigned char>(c);
  if (name == "alnum") return std::isalnum(u);
  if (name == "alpha") return std::isalpha(u);
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "cntrl") return std::iscntrl(u);
  if (name == "digit") return std::isdigit(u);
  if (name == "graph") return std::isgraph(u);
  if (name == "lower") return std::islower(u);
  if (name == "print") return std::isprint(u);
  if (name == "punct") return std::ispunct(u);
  if (name == "space") return std::isspace(u);
  if (name == "upper") return std::isupper(u);
  if (name == "xdigit") return std::isxdigit(u);
  return false;
}

// Matches one "[...]" class at the start of `pattern` against `c`. Answers the length of the
// class, or 0 when the bracket does not open a well-formed class (it is then a literal "[").
std::size_t match_class(std::string_view pattern, char c, bool& matched) {
  std::size_t i = 1;
  bool negate = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negate) ++i;
  bool found = false;
  bool first = true;
  while (i < pattern.size() && (first || pattern[i] != ']')) {
    first = false;
    if (pattern.substr(i, 2) == "[:") {
      std::size_t close = pattern.find(":]", i + 2);
      if (close != std::string_view::npos) {
        if (in_named_class(pattern.substr(i + 2, close - i - 2), c)) found = true;
        i = close + 2;
        continue;
      }
    }
    char low = pattern[i];
    if (low == '\\' && i + 1 < pattern.size()) low = pattern[++i];
    char high = low;
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      high = pattern[i + 2];
      if (high == '\\' && i + 3 < pattern.size()) high = pattern[++i + 2];
      i += 2;
    }
    if (c >= low && c <= high) found = true;
    ++i;
  }
  if (i >= pattern.size()) return 0;
  matched = c != '/' && found != negate;
  return i + 1;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view path) {
  while (!pattern.empty()) {
    if (pattern.substr(0, 3) == "**/") {
      // Zero or more whole folders.
      std::string_view rest = pattern.substr(3);
      if (glob_match(rest, path)) return true;
      for (std::size_t slash = path.find('/'); slash != std::string_view::npos;
           slash = path.find('/', slash + 1)) {
        if (glob_match(rest, path.substr(slash + 1))) return true;
      }
      return false;
    }
    if (pattern == "**") return true;
    char p = pattern.front();
    if (p == '*') {
      std::string_view rest = pattern.substr(1);
      while (!rest.empty() && rest.front() == '*') rest.remove_prefix(1);
      for (std::size_t n = 0;; ++n) {
        if (glob_match(rest, path.substr(n))) return true;
        if (n >= path.size() || path[n] == '/') return false;
      }
    }
    if (path.empty()) return false;
    if (p == '?') {
      if (path.front() == '/') return false;
      pattern.remove_prefix(1);
    } else if (p == '[') {
      bool matched = false;
      std::size_t length = match_class(pattern, path.front(), matched);
      if (length == 0) {
        if (path.front() != '[') return false;
        length = 1;
      } else if (!matched) {
        return false;
      }
      pattern.remove_prefix(length);
    } else {
      if (p == '\\' && pattern.size() > 1) pattern.remove_prefix(1);
      if (pattern.front() != path.front()) return false;
      pattern.remove_prefix(1);
    }
    path.remove_prefix(1);
  }
  return path.empty();
}

void GitignoreRules::add_file(const std::string& directory, std::string_view text,
                              std::string_view source) {
  add_rules(Rule{directory.empty() ? "" : directory + "/", "", {}, 0, false, false, false}, text,
            source);
}

void GitignoreRules::add_file_above(const std::string& below, std::string_view text,
                                    std::string_view source) {
  add_rules(Rule{"", below, {}, 0, false, false, false}, text, source);
}

void GitignoreRules::add_rules(Rule kind, std::string_view text, std::string_view source) {
  auto known = std::find(sources_.begin(), sources_.end(), source);
  kind.source = static_cast<std::size_t>(known - sources_.begin());
  if (known == sources_.end()) sources_.emplace_back(source);
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Trailing blanks go, unless the last one is escaped.
    while (!line.empty() && line.back() == ' ' &&
           !(line.size() >= 2 && line[line.size() - 2] == '\\')) {
      line.remove_suffix(1);
    }
    if (line.empty() || line.front() == '#') continue;

    Rule rule = kind;
    if (line.front() == '!') {
      rule.negated = true;
      line.remove_prefix(1);
    }
    if (!line.empty() && line.back() == '/') {
      rule.directory_only = true;
      line.remove_suffix(1);
    }
    if (line.empty()) continue;
    rule.anchored = line.find('/') != std::string_view::npos;
    if (line.front() == '/') line.remove_prefix(1);
    rule.pattern = std::string(line);
    rules_.push_back(std::move(rule));
  }
}

const std::string* GitignoreRules::excluded_by(std::string_view path, bool is_directory) const {
  std::string joined;
  for (auto rule = rules_.rbegin(); rule != rules_.rend(); ++rule) {
    if (rule->directory_only && !is_directory) continue;
    if (path.substr(0, rule->directory.size()) != rule->directory) continue;
    std::string_view local = path.substr(rule->directory.size());
    if (local.empty()) continue;
    if (!rule->above.empty()) {
      joined = rule->above;
      joined += local;
      local = joined;
    }
    std::string_view subject = local;
    if (!rule->anchored) {
      std::size_t slash = local.rfind('/');
      if (slash != std::string_view::npos) subject = local.substr(slash + 1);
    }
    if (glob_match(rule->pattern, subject)) {
      return rule->negated ? nullptr : &sources_[rule->source];
    }
  }
  return nullptr;
}

}  // namespace vantory::host
