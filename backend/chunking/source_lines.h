// Line access over one file's text, and the small text rules that chunk records share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantory::backend {

// The lines of a text ("\n"-separated; a final "\n" ends the last line rather than starting
// an empty one). Rows are 0-based. Holds a view: the text must outlive it.
class SourceLines {
 public:
  explicit SourceLines(std::string_view text);

  std::size_t count() const { return starts_.size(); }
  // Row `row` without its "\n".
  std::string_view line(std::size_t row) const;
  // True when row `row` holds nothing but white space.
  bool blank(std::size_t row) const;
  // Rows `first` to `last` inclusive, as they stand in the text, without the final "\n".
  std::string_view rows(std::size_t first, std::size_t last) const;
  // The row that holds byte `offset`.
  std::size_t row_of(std::size_t offset) const;

 private:
  std::string_view text_;
  std::vector<std::size_t> starts_;
};

// A contiguous range of rows, inclusive.
struct RowRange {
  std::size_t first;
  std::size_t last;
};

// Rows `first`..`last` cut into pieces of at most `max_rows` rows; a cut falls on a blank row
// where the second half of a piece has one, so that statements stay whole where the code
// allows. Pieces start at a row with a letter or digit (not at a lone "}" closing the code
// before them) and end before trailing blank rows; rows with neither are left out.
std::vector<RowRange> split_rows(const SourceLines& lines, std::size_t first, std::size_t last,
                                 std::size_t max_rows);

// White space trimmed from both ends and runs of it collapsed to one blank, cut to at most
// `max_bytes` bytes on a character boundary.
std::string one_line(std::string_view text, std::size_t max_bytes = 300);

// The first line of `text` that holds a letter or digit, trimmed and with the comment and
// string quoting around it removed ("/**", "*", "//", "#", "--", triple quotes), and markup
// tags that open or close it ("<summary>"), and a leading "@brief", "@notice", "@title" or
// "@dev". Empty when none.
std::string first_meaningful_line(std::string_view text);

// The name of a line-range unit: "lines 12-40".
std::string lines_name(std::size_t first_line, std::size_t last_line);

}  // namespace vantory::backend
