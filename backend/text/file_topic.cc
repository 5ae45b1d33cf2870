#include "backend/text/file_topic.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "backend/text/identifiers.h"
#include "common/unicode.h"

namespace vantory::backend {

namespace {

// Documentation this far into a file is not what the file opens with.
constexpr std::size_t kMaxOpening = 8192;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The first line of `text` and what follows it.
std::pair<std::string_view, std::string_view> first_line(std::string_view text) {
  std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return {text, {}};
  return {text.substr(0, end), text.substr(end + 1)};
}

bool blank_line(std::string_view line) { return std::all_of(line.begin(), line.end(), blank); }

// `text` from its first line that is not blank, an interpreter line, or (in Python) a comment;
// the line's indent left out.
std::string_view past_preamble(std::string_view text, bool python) {
  bool first = true;
  while (!text.empty()) {
    auto [line, rest] = first_line(text);
    std::size_t indent = 0;
    while (indent < line.size() && blank(line[indent])) ++indent;
    line.remove_prefix(indent);
    bool skipped = line.empty() || (first && line.substr(0, 2) == "#!") ||
                   (python && line[0] == '#');
    if (!skipped) return text.substr(indent);
    text = rest;
    first = false;
  }
  return text;
}

// A Python module's docstring at the start of `text`, without its quotes; nullopt for none.
std::optional<std::string_view> docstring(std::string_view text) {
  std::size_t prefix = 0;
  while (prefix < 2 && prefix < text.size() &&
         std::string_view("rRuU").find(text[prefix]) != std::string_view::npos) {
    ++prefix;
  }
  std::string_view rest = text.substr(prefix);
  for (std::string_view quote : {"\"\"\"", "'''", "\"", "'"}) {
    if (rest.substr(0, quote.size()) != quote) continue;
    rest.remove_prefix(quote.size());
    std::size_t end = rest.find(quote);
    if (quote.size() == 1) end = std::min(end, rest.find('\n'));
    return rest.substr(0, end);
  }
  return std::nullopt;
}

// The description of a `/** ... */` comment at the start of `text`, its stars left out; empty
// unless the comment is about the file: tagged so, or apart from what follows by a blank line
// (one right above a declaration documents the declaration).
std::string file_comment(std::string_view text) {
  if (text.substr(0, 3) != "/**" || text.substr(0, 4) == "/**/") return {};
  std::size_t close = text.find("*/", 3);
  if (close == std::string_view::npos) return {};
  std::string_view body = text.substr(3, close - 3);
  auto [tail, after] = first_line(text.substr(close + 2));
  bool apart = blank_line(tail) && (after.empty() || blank_line(first_line(after).first));
  std::string out;
  bool tagged = false;
  while (!body.empty()) {
    auto [line, rest] = first_line(body);
    std::size_t start = 0;
    while (start < line.size() && (blank(line[start]) || line[start] == '*')) ++start;
    line.remove_prefix(start);
    if (!line.empty() && line[0] == '@') {
      // The tags after the description; a file's description may be one.
      std::string_view tag = line.substr(0, line.find_first_of(" \t"));
      if (!out.empty() || (tag != "@file" && tag != "@fileoverview" && tag != "@overview")) break;
      tagged = true;
      line.remove_prefix(tag.size());
    }
    out.append(line).push_back('\n');
    body = rest;
  }
  return apart || tagged ? out : std::string();
}

// The text of the `//!` lines at the start of `text`.
std::string inner_doc_lines(std::string_view text) {
  std::string out;
  while (text.substr(0, 3) == "//!") {
    auto [line, rest] = first_line(text);
    out.append(line.substr(3)).push_back('\n');
    text = rest;
    while (!text.empty() && blank(text[0])) text.remove_prefix(1);
  }
  return out;
}

// `doc` up to the end of its first sentence: a '.', '!' or '?' before white space or the end,
// or a blank line.
std::string_view first_sentence(std::string_view doc) {
  std::size_t start = 0;
  while (start < doc.size() && (blank(doc[start]) || doc[start] == '\n')) ++start;
  doc.remove_prefix(start);
  for (std::size_t i = 0; i < doc.size(); ++i) {
    char c = doc[i];
    bool at_end = i + 1 == doc.size() || blank(doc[i + 1]) || doc[i + 1] == '\n';
    if ((c == '.' || c == '!' || c == '?') && at_end) return doc.substr(0, i);
    if (c == '\n') {
      std::size_t next = i + 1;
      while (next < doc.size() && blank(doc[next])) ++next;
      if (next < doc.size() && doc[next] == '\n') return doc.substr(0, i);
    }
  }
  return doc;
}

}  // namespace

std::string file_topic(std::string_view opening, std::string_view language) {
  bool python = language == "python";
  std::string_view text = past_preamble(opening.substr(0, kMaxOpening), python);
  std::string doc;
  if (std::optional<std::string_view> string = python ? docstring(text) : std::nullopt) {
    doc = *string;
  } else if (text.substr(0, 3) == "/**") {
    doc = file_comment(text);
  } else {
    doc = inner_doc_lines(text);
  }
  std::string valid = decode_utf8_lossy(first_sentence(doc));
  std::string out;
  std::size_t count = 0;
  for (std::string_view word : words_of(valid)) {
    if (count++ == kMaxTopicWords) break;
    if (!out.empty()) out += ' ';
    out += lower_word(word);
  }
  return out;
}

}  // namespace vantory::backend
