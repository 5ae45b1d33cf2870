#include "backend/text/file_topic.h"

#include <algorithm>

#include "backend/text/identifiers.h"
#include "common/unicode.h"

namespace vantory::backend {

namespace {

// Documentation this far into a file is not what the file opens with.
constexpr std::size_t kMaxOpening = 8192;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// `text` from its first line that is neither blank nor a `#` line.
std::string_view past_preamble(std::string_view text) {
  while (!text.empty()) {
    std::size_t start = 0;
    while (start < text.size() && blank(text[start])) ++start;
    std::size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (!line.empty() && line[0] != '#') return text.substr(start);
    if (end == std::string_view::npos) return {};
    text.remove_prefix(end + 1);
  }
  return text;
}

// The documentation `text` starts with, its markers left out; empty for none. Only Python's
// strings are documentation.
std::string documentation(std::string_view text, bool python) {
  if (python) {
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
      return std::string(rest.substr(0, end));
    }
    if (prefix > 0) return {};
  }
  if (text.substr(0, 3) == "/**" && text.substr(0, 4) != "/**/") {
    std::string_view body = text.substr(3);
    body = body.substr(0, body.find("*/"));
    std::string out;
    while (!body.empty()) {
      std::size_t end = body.find('\n');
      std::string_view line = body.substr(0, end);
      std::size_t start = 0;
      while (start < line.size() && (blank(line[start]) || line[start] == '*')) ++start;
      line.remove_prefix(start);
      if (!line.empty() && line[0] == '@') {
        // The tags after the description; a file's description may be one.
        std::string_view tag = line.substr(0, line.find_first_of(" \t"));
        if (!out.empty() || (tag != "@file" && tag != "@fileoverview" && tag != "@overview")) {
          break;
        }
        line.remove_prefix(tag.size());
      }
      out.append(line).push_back('\n');
      if (end == std::string_view::npos) break;
      body.remove_prefix(end + 1);
    }
    return out;
  }
  std::string out;
  while (text.substr(0, 3) == "//!") {
    std::size_t end = text.find('\n');
    out.append(text.substr(3, end == std::string_view::npos ? end : end - 3)).push_back('\n');
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
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
  opening = opening.substr(0, kMaxOpening);
  std::string doc = documentation(past_preamble(opening), language == "python");
  std::string_view sentence = first_sentence(doc);
  std::string valid =
      is_valid_utf8(sentence) ? std::string(sentence) : decode_utf8_lossy(sentence);
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
