#include "backend/chunking/source_lines.h"

#include <algorithm>
#include <cctype>

namespace vantory::backend {
namespace {

bool is_blank_char(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

bool has_alnum(std::string_view text) {
  // Any byte of a multi-byte UTF-8 sequence counts: identifiers may be written in any script.
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
  });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (is_blank_char(s.front()) || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (is_blank_char(s.back()) || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Drops the comment or string quoting of one line of a docstring or doc comment.
std::string_view strip_quoting(std::string_view s) {
  s = trim(s);
  std::size_t prefix = 0;
  while (prefix < s.size() && prefix < 2 && std::string_view("rRbBuUfF").find(s[prefix]) !=
                                                std::string_view::npos) {
    ++prefix;
  }
  if (prefix < s.size() && (s[prefix] == '"' || s[prefix] == '\'')) s.remove_prefix(prefix);
  for (std::string_view opener : {"\"\"\"", "'''", "/**", "/*!", "/*", "///", "//!", "//", "#",
                                  "\"", "'", "*", "---", "--", "{-|", "{-"}) {
    if (starts_with(s, opener)) {
      s.remove_prefix(opener.size());
      break;
    }
  }
  for (std::string_view closer : {"\"\"\"", "'''", "*/", "\"", "'", "-}"}) {
    if (ends_with(s, closer)) {
      s.remove_suffix(closer.size());
      break;
    }
  }
  return trim(s);
}

// Drops the markup tags that open and close a line of a doc comment: "<summary>",
// "<p>Text</p>".
std::string_view strip_tags(std::string_view s) {
  auto tag_length = [](std::string_view t) -> std::size_t {
    std::size_t i = t.size() > 1 && t[1] == '/' ? 2 : 1;
    if (t.empty() || t[0] != '<' || i >= t.size() ||
        !std::isalpha(static_cast<unsigned char>(t[i]))) {
      return 0;
    }
    std::size_t close = t.find('>');
    if (close == std::string_view::npos) return 0;
    return t.substr(1, close).find('<') == std::string_view::npos ? close + 1 : 0;
  };
  while (std::size_t n = tag_length(s)) s = trim(s.substr(n));
  while (!s.empty() && s.back() == '>') {
    std::size_t open = s.rfind('<');
    if (open == std::string_view::npos || tag_length(s.substr(open)) != s.size() - open) break;
    s = trim(s.substr(0, open));
  }
  return s;
}

}  // namespace

SourceLines::SourceLines(std::string_view text) : text_(text) {
  if (text.empty()) return;
  starts_.push_back(0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && i + 1 < text.size()) starts_.push_back(i + 1);
  }
}

std::string_view SourceLines::line(std::size_t row) const { return rows(row, row); }

bool SourceLines::blank(std::size_t row) const {
  std::string_view l = line(row);
  return std::all_of(l.begin(), l.end(), is_blank_char);
}

std::string_view SourceLines::rows(std::size_t first, std::size_t last) const {
  std::size_t begin = starts_[first];
  std::size_t end = last + 1 < starts_.size() ? starts_[last + 1] - 1 : text_.size();
  if (end > begin && text_[end - 1] == '\n') --end;
  return text_.substr(begin, end - begin);
}

std::size_t SourceLines::row_of(std::size_t offset) const {
  auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
  return it == starts_.begin() ? 0 : static_cast<std::size_t>(it - starts_.begin()) - 1;
}

std::vector<RowRange> split_rows(const SourceLines& lines, std::size_t first, std::size_t last,
                                 std::size_t max_rows) {
  std::vector<RowRange> pieces;
  std::size_t row = first;
  while (row <= last) {
    // A piece never starts with the closing brackets of the code before it.
    while (row <= last && !has_alnum(lines.line(row))) ++row;
    if (row > last) break;
    std::size_t end = std::min(last, row + max_rows - 1);
    if (end < last) {
      for (std::size_t cut = end; cut > row + max_rows / 2; --cut) {
        if (lines.blank(cut)) {
          end = cut - 1;
          break;
        }
      }
    }
    std::size_t next = end + 1;
    while (end > row && lines.blank(end)) --end;
    pieces.push_back({row, end});
    row = next;
  }
  return pieces;
}

std::string one_line(std::string_view text, std::size_t max_bytes) {
  std::string out;
  bool pending_space = false;
  for (char c : text) {
    if (is_blank_char(c) || c == '\n') {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out.push_back(' ');
    pending_space = false;
    out.push_back(c);
    if (out.size() >= max_bytes) break;
  }
  if (out.size() > max_bytes) out.resize(max_bytes);
  // Never leave half of a multi-byte character at the cut.
  std::size_t keep = out.size();
  while (keep > 0 && (static_cast<unsigned char>(out[keep - 1]) & 0xC0) == 0x80) --keep;
  if (keep > 0 && static_cast<unsigned char>(out[keep - 1]) >= 0xC0) {
    unsigned char lead = static_cast<unsigned char>(out[keep - 1]);
    std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (out.size() - (keep - 1) < need) out.resize(keep - 1);
  }
  return out;
}

std::string first_meaningful_line(std::string_view text) {
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    std::string_view stripped = strip_tags(strip_quoting(line));
    // Tags that only say "what follows describes it": @brief, @notice, @title, @dev.
    for (std::string_view tag : {"@brief ", "@notice ", "@title ", "@dev "}) {
      if (starts_with(stripped, tag)) stripped = trim(stripped.substr(tag.size()));
    }
    if (has_alnum(stripped)) return one_line(stripped);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return {};
}

std::string lines_name(std::size_t first_line, std::size_t last_line) {
  return "lines " + std::to_string(first_line) + "-" + std::to_string(last_line);
}

}  // namespace vantory::backend
