#include "backend/chunking/binary.h"

#include <cstring>

#include "backend/chunking/chunking_engine.h"
#include "common/error.h"
#include "common/unicode.h"

namespace vantory::backend {
namespace {

// Enough to tell text from binary; the NUL test alone covers the whole input.
constexpr std::size_t kSampleBytes = 8192;

// Control characters that text files do not hold. Tab, line feed, vertical tab, form feed,
// carriage return, backspace and escape do appear in them (page breaks, terminal colours).
bool control(char32_t c) {
  if (c == 0x7F) return true;
  if (c >= 0x20) return false;
  return c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r' && c != '\b' && c != 0x1B;
}

}  // namespace

bool looks_binary(std::string_view bytes) {
  if (bytes.empty()) return false;
  if (std::memchr(bytes.data(), '\0', bytes.size()) != nullptr) return true;
  // Bytes that are not UTF-8 do not count: source text in a legacy encoding (KOI8-R,
  // Latin-1) is still source text, and the coding API chunks it with those bytes replaced.
  std::string_view sample = bytes.substr(0, kSampleBytes);
  std::size_t total = 0;
  std::size_t controls = 0;
  std::size_t pos = 0;
  while (pos < sample.size()) {
    std::size_t before = pos;
    char32_t c = next_code_point(sample, pos);
    if (pos == before) ++pos;
    ++total;
    if (control(c)) ++controls;
  }
  return controls * 10 > total;
}

void require_text(std::string_view text, const std::string& file_path) {
  if (looks_binary(text)) throw ValueError("binary file: " + file_path);
}

}  // namespace vantory::backend
