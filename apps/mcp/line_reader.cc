#include "apps/mcp/line_reader.h"

#include <unistd.h>

#include <cerrno>

namespace vantory::mcp {

namespace {
constexpr std::size_t kReadBytes = 64 * 1024;
}

LineReader::LineReader(int fd, std::size_t max_line_bytes)
    : fd_(fd), max_line_bytes_(max_line_bytes) {}

bool LineReader::fill() {
  if (ended_) return false;
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  std::size_t old_size = buffer_.size();
  buffer_.resize(old_size + kReadBytes);
  ssize_t n;
  do {
    n = ::read(fd_, buffer_.data() + old_size, kReadBytes);
  } while (n < 0 && errno == EINTR);
  buffer_.resize(old_size + static_cast<std::size_t>(n > 0 ? n : 0));
  if (n <= 0) ended_ = true;
  return n > 0;
}

LineReader::Status LineReader::next(std::string& line) {
  bool too_long = false;
  std::size_t searched = 0;  // bytes after start_ known to hold no line feed
  while (true) {
    std::size_t feed = buffer_.find('\n', start_ + searched);
    if (feed != std::string::npos) {
      std::size_t length = feed - start_;
      bool overlong = too_long || length > max_line_bytes_;
      if (!overlong) line.assign(buffer_, start_, length);
      start_ = feed + 1;
      return overlong ? Status::kTooLong : Status::kLine;
    }
    searched = buffer_.size() - start_;
    if (searched > max_line_bytes_) {
      // Keep nothing of an overlong line but the knowledge that it is one.
      too_long = true;
      buffer_.clear();
      start_ = 0;
      searched = 0;
    }
    if (!fill()) {
      if (too_long) return Status::kTooLong;
      if (buffer_.size() == start_) return Status::kEnd;
      line.assign(buffer_, start_, std::string::npos);
      start_ = buffer_.size();
      return Status::kLine;
    }
  }
}

}  // namespace vantory::mcp
