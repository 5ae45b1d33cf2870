#include "backend/chunking/binary.h"

#include <cstring>

#include "backend/chunking/chunking_engine.h"
#include "common/error.h"
#include "common/unicode.h"

namespace vantory::backend {
namespace {

// Enough to tell text from binary; the NUL test alone covers the whole input.
constexpr std::size_t kSampleBytes = 8192;

bool suspicious(char32_t c) {
  if (c == 0xFFFD || c == 0x7F) return true;
  if (c >= 0x20) return false;
  // Tab, line feed, vertical tab, form feed, carriage return, backspace and escape appear in
  // ordinary text files (terminal colours, page breaks).
  return c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r' && c != '\b' && c != 0x1B;
}

}  // namespace

bool looks_binary(std::string_view bytes) {
  if (bytes.empty()) return false;
  if (std::memchr(bytes.data(), '\0', bytes.size()) != nullptr) return true;
  std::string_view sample = bytes.substr(0, kSampleBytes);
  std::size_t total = 0;
  std::size_t odd = 0;
  std::size_t pos = 0;
  while (pos < sample.size()) {
    std::size_t before = pos;
    char32_t c = next_code_point(sample, pos);
    if (pos == before) ++pos;
    ++total;
    if (suspicious(c)) ++odd;
  }
  // Text in a legacy encoding read as UTF-8 has a replacement character here and there;
  // binary data has them (or control bytes) everywhere.
  return odd * 10 > total * 3;
}

void require_text(std::string_view text, const std::string& file_path) {
  if (looks_binary(text)) throw ValueError("binary file: " + file_path);
}

}  // namespace vantory::backend
