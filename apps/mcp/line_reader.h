// Reading lines from a file descriptor with a bound on their length, so that a peer cannot
// make the process hold an endless line in memory.
//
// Thread safety: none.
#pragma once

#include <cstddef>
#include <string>

namespace vantory::mcp {

class LineReader {
 public:
  enum class Status {
    kLine,     // a line was read
    kTooLong,  // a line longer than the bound was read and thrown away
    kEnd,      // input ended (or failed) and no more lines follow
  };

  // Reads from `fd` (not owned, not closed) lines of at most `max_line_bytes` bytes.
  LineReader(int fd, std::size_t max_line_bytes);

  // The next line, without its line feed, into `line`. A last line without a line feed counts
  // as a line. Retries reads interrupted by signals.
  Status next(std::string& line);

 private:
  bool fill();

  int fd_;
  std::size_t max_line_bytes_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool ended_ = false;
};

}  // namespace vantory::mcp
