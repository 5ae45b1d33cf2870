// Plain-text tables for people: columns aligned, numbers right-aligned, the last column cut
// to the width of the terminal.
//
// Thread safety: none.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantory::cli {

class Table {
 public:
  // `headers` names the columns; an empty vector makes a table without a header line.
  explicit Table(std::vector<std::string> headers = {});

  // Adds a row; missing cells are empty.
  void add_row(std::vector<std::string> cells);

  bool empty() const { return rows_.empty(); }

  // The table as text, every line ending in a line feed and indented by `indent` blanks. A
  // column whose cells are all numbers is right-aligned. With `max_width` > 0 the last column
  // is cut (ending in "…") so that no line is wider.
  std::string render(std::size_t indent = 0, std::size_t max_width = 0) const;

 private:
  std::vector<std::string> headers_;
  std::vector<std::vector<std::string>> rows_;
};

// `text` on one line (every run of white space one blank), cut to `width` characters with an
// ending "…" when it is longer. A width of 0 leaves it whole.
std::string one_line(std::string_view text, std::size_t width = 0);

// The width of the terminal on standard output, or 0 when it is not a terminal.
std::size_t terminal_width();

}  // namespace vantory::cli
