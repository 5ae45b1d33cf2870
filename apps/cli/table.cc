#include "apps/cli/table.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "common/unicode.h"

namespace vantory::cli {

namespace {

bool is_number(std::string_view cell) {
  if (cell.empty()) return false;
  if (cell.front() == '-') cell.remove_prefix(1);
  return !cell.empty() && cell.find_first_not_of("0123456789.%") == std::string_view::npos &&
         std::isdigit(static_cast<unsigned char>(cell.front()));
}

// The first `count` code points of `text`.
std::string_view prefix_of(std::string_view text, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < count && pos < text.size(); ++i) next_code_point(text, pos);
  return text.substr(0, pos);
}

}  // namespace

std::string one_line(std::string_view text, std::size_t width) {
  std::string line = collapse_whitespace(text);
  if (width == 0 || code_point_count(line) <= width) return line;
  if (width == 1) return "…";
  return std::string(prefix_of(line, width - 1)) + "…";
}

std::size_t terminal_width() {
  winsize size{};
  if (!::isatty(STDOUT_FILENO) || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

Table::Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

void Table::add_row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }

std::string Table::render(std::size_t indent, std::size_t max_width) const {
  std::size_t columns = headers_.size();
  for (const auto& row : rows_) columns = std::max(columns, row.size());
  std::vector<std::size_t> widths(columns, 0);
  std::vector<bool> numeric(columns, true);
  auto measure = [&](const std::vector<std::string>& row, bool header) {
    for (std::size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], code_point_count(row[c]));
      if (!header && !row[c].empty() && !is_number(row[c])) numeric[c] = false;
    }
  };
  measure(headers_, true);
  for (const auto& row : rows_) measure(row, false);

  std::string out;
  auto emit = [&](const std::vector<std::string>& row) {
    std::string line(indent, ' ');
    for (std::size_t c = 0; c < columns; ++c) {
      std::string cell = c < row.size() ? row[c] : "";
      bool last = c + 1 == columns;
      std::size_t pad = widths[c] - code_point_count(cell);
      if (last && max_width > 0 && !numeric[c]) {
        std::size_t used = code_point_count(line);
        cell = one_line(cell, max_width > used ? max_width - used : 1);
      }
      if (numeric[c]) line.append(pad, ' ');
      line += cell;
      if (!last) {
        if (!numeric[c]) line.append(pad, ' ');
        line += "  ";
      }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
  };
  if (!headers_.empty()) emit(headers_);
  for (const auto& row : rows_) emit(row);
  return out;
}

}  // namespace vantory::cli
