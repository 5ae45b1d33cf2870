#include "backend/chunking/header_language.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace vantory::backend {

namespace {

bool identifier_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// `line` starts with the keyword `word` followed by a character that cannot continue it.
bool starts_with_keyword(std::string_view line, std::string_view word) {
  return line.starts_with(word) &&
         (line.size() == word.size() || !identifier_char(line[word.size()]));
}

std::string_view trim_left(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

// Whether one line of code (comments already taken out) is C++ alone.
bool cpp_line(std::string_view line) {
  line = trim_left(line);
  if (starts_with_keyword(line, "namespace") || starts_with_keyword(line, "class") ||
      starts_with_keyword(line, "using") || line.starts_with("extern \"C++\"")) {
    return true;
  }
  if (starts_with_keyword(line, "template")) {
    return trim_left(line.substr(8)).starts_with("<");
  }
  for (std::string_view label : {"public:", "private:", "protected:"}) {
    if (line.starts_with(label) && (line.size() == label.size() || line[label.size()] != ':'))
      return true;
  }
  if (line.starts_with("#")) {
    std::string_view directive = trim_left(line.substr(1));
    if (starts_with_keyword(directive, "include")) {
      std::string_view target = trim_left(directive.substr(7));
      std::size_t close = target.find('>');
      if (target.starts_with("<") && close != std::string_view::npos) {
        std::string_view name = target.substr(1, close - 1);
        return !name.empty() && name.find('.') == std::string_view::npos &&
               name.find('/') == std::string_view::npos;
      }
    }
    return false;
  }
  std::size_t qualified = line.find("std::");
  return qualified != std::string_view::npos &&
         (qualified == 0 || !identifier_char(line[qualified - 1]));
}

}  // namespace

bool looks_like_cpp(std::string_view text) {
  bool in_comment = false;
  std::string code;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!in_comment && line.find('/') == std::string_view::npos) {  // no comment to take out
      if (cpp_line(line)) return true;
      continue;
    }
    // The line with its comments taken out; string literals are not told apart, which only
    // matters for a "/*" inside one.
    code.clear();
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (in_comment) {
        if (line.compare(i, 2, "*/") == 0) {
          in_comment = false;
          ++i;
        }
      } else if (line.compare(i, 2, "/*") == 0) {
        in_comment = true;
        ++i;
      } else if (line.compare(i, 2, "//") == 0) {
        break;
      } else {
        code += line[i];
      }
    }
    if (cpp_line(code)) return true;
  }
  return false;
}

bool header_looks_like_cpp(const std::string& path) {
  // Read with the system's calls into a buffer on the stack, left unfilled: every header of a
  // tree is read here once before it is cut, and a stream cost more to set up than the read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO never blocks
  if (fd < 0) return false;
  std::array<char, kHeaderSniffBytes> buffer;
  std::size_t size = 0;
  while (size < buffer.size()) {
    ssize_t n = ::read(fd, buffer.data() + size, buffer.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return looks_like_cpp(std::string_view(buffer.data(), size));
}

}  // namespace vantory::backend
