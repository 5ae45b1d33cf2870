#include "common/unicode.h"

#include <unicode/uchar.h>
#include <unicode/ucasemap.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace vantory {

namespace {

// is_space for an ASCII character; inline, for loops that test each byte.
inline bool is_ascii_space(unsigned char c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
}

}  // namespace

bool is_space(char32_t c) {
  if (c < 0x80) return is_ascii_space(static_cast<unsigned char>(c));
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_alnum(char32_t c) {
  if (c < 0x80) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  }
  UChar32 u = static_cast<UChar32>(c);
  return u_isalpha(u) || u_getIntPropertyValue(u, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

char32_t next_code_point(std::string_view s, std::size_t& pos) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c0 = byte(pos);
  if (c0 < 0x80) {
    ++pos;
    return c0;
  }
  int need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c0 >= 0xC2 && c0 <= 0xDF) {
    need = 1;
    cp = c0 & 0x1F;
  } else if (c0 >= 0xE0 && c0 <= 0xEF) {
    need = 2;
    cp = c0 & 0x0F;
    if (c0 == 0xE0) lo = 0xA0;
    if (c0 == 0xED) hi = 0x9F;
  } else if (c0 >= 0xF0 && c0 <= 0xF4) {
    need = 3;
    cp = c0 & 0x07;
    if (c0 == 0xF0) lo = 0x90;
    if (c0 == 0xF4) hi = 0x8F;
  } else {
    ++pos;
    return 0xFFFD;
  }
  std::size_t k = pos + 1;
  for (int i = 0; i < need; ++i, ++k) {
    if (k >= s.size()) {
      pos = k;
      return 0xFFFD;
    }
    unsigned char b = byte(k);
    unsigned char min = (i == 0) ? lo : 0x80;
    unsigned char max = (i == 0) ? hi : 0xBF;
    if (b < min || b > max) {
      // The maximal invalid subpart ends before this byte.
      pos = k;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  pos = k;
  return cp;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

namespace {

// Where the first sequence that is not UTF-8 starts (npos when there is none), and in `end`
// where it stops: next_code_point stops on the first byte that cannot continue the sequence,
// or at the end of the input when the sequence is cut short.
std::size_t first_invalid_utf8(std::string_view bytes, std::size_t& end) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    // Source text is mostly ASCII: eight bytes at a time while none has its high bit set.
    std::uint64_t block;
    if (i + sizeof block <= bytes.size()) {
      std::memcpy(&block, bytes.data() + i, sizeof block);
      if ((block & 0x8080808080808080ULL) == 0) {
        i += sizeof block;
        continue;
      }
    }
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t start = i;
    char32_t cp = next_code_point(bytes, i);
    if (cp == 0xFFFD && !(i - start == 3 && bytes.substr(start, 3) == "\xEF\xBF\xBD")) {
      end = i;
      return start;
    }
  }
  return std::string_view::npos;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t end;
  return first_invalid_utf8(bytes, end) == std::string_view::npos;
}

std::string utf8_decode_error(std::string_view bytes) {
  std::size_t i;
  std::size_t start = first_invalid_utf8(bytes, i);
  if (start == std::string_view::npos) return {};
  unsigned char c = static_cast<unsigned char>(bytes[start]);
  const char* reason = (c < 0xC2 || c > 0xF4) ? "invalid start byte"
                       : i == bytes.size()    ? "unexpected end of data"
                                              : "invalid continuation byte";
  std::size_t end = (c < 0xC2 || c > 0xF4) ? start + 1 : i;
  std::string text = "'utf-8' codec can't decode ";
  if (end - start == 1) {
    static constexpr char kHex[] = "0123456789abcdef";
    text += "byte 0x";
    text.push_back(kHex[c >> 4]);
    text.push_back(kHex[c & 0xF]);
    text += " in position " + std::to_string(start);
  } else {
    text += "bytes in position " + std::to_string(start) + "-" + std::to_string(end - 1);
  }
  return text + ": " + reason;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  std::size_t i = 0;
  while (i < bytes.size()) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    append_utf8(out, next_code_point(bytes, i));
  }
  return out;
}

std::string translate_newlines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t cr = text.find('\r', i);
    if (cr == std::string_view::npos) cr = text.size();
    out.append(text.data() + i, cr - i);
    if (cr == text.size()) break;
    out.push_back('\n');
    i = cr + 1;
    if (i < text.size() && text[i] == '\n') ++i;
  }
  return out;
}

namespace {

struct CaseMapCloser {
  void operator()(UCaseMap* m) const { ucasemap_close(m); }
};

UCaseMap* root_case_map() {
  // One per thread: a UCaseMap must not be shared between threads while in use.
  thread_local std::unique_ptr<UCaseMap, CaseMapCloser> map([] {
    UErrorCode status = U_ZERO_ERROR;
    return ucasemap_open("", 0, &status);
  }());
  return map.get();
}

}  // namespace

std::string to_lower(std::string_view text) {
  std::string out;
  assign_lower(out, text);
  return out;
}

void assign_lower(std::string& out, std::string_view text) {
  out.resize(text.size());
  // The ASCII case first, eight bytes at a time; any byte past ASCII sends the whole text
  // through ICU.
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL, kHigh = 0x8080808080808080ULL;
  std::uint64_t high = 0;
  char* to = out.data();
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t x;
    std::memcpy(&x, text.data() + i, 8);
    high |= x;
    // Bit 7 of a byte of `upper` is set when the byte lies in 'A'..'Z': adding to its low
    // seven bits carries into bit 7 from 'A' (0x41 + 0x3F) and from past 'Z' (0x5B + 0x25).
    std::uint64_t low = x & kLow7;
    std::uint64_t upper =
        (low + 0x3F3F3F3F3F3F3F3FULL) & ~(low + 0x2525252525252525ULL) & ~x & kHigh;
    x |= upper >> 2;
    std::memcpy(to + i, &x, 8);
  }
  for (; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    high |= c;
    to[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 32 : 0));
  }
  if ((high & kHigh) == 0) return;
  UCaseMap* map = root_case_map();
  // Lower-casing can grow the text (İ becomes two code points); retry with the size ICU asks.
  // Should ICU fail, the text stays as it is.
  out.assign(text.size() + 16, '\0');
  for (int attempt = 0; attempt < 2 && map != nullptr; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()),
                                     text.data(), static_cast<int32_t>(text.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(n) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) break;
    out.resize(static_cast<std::size_t>(n));
    return;
  }
  out.assign(text);
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  std::size_t word_start = std::string_view::npos;
  while (i < text.size()) {
    std::size_t at = i;
    unsigned char c = static_cast<unsigned char>(text[i]);
    char32_t cp = c < 0x80 ? (++i, c) : next_code_point(text, i);
    if (is_space(cp)) {
      if (word_start != std::string_view::npos) {
        words.push_back(text.substr(word_start, at - word_start));
        word_start = std::string_view::npos;
      }
    } else if (word_start == std::string_view::npos) {
      word_start = at;
    }
  }
  if (word_start != std::string_view::npos) words.push_back(text.substr(word_start));
  return words;
}

std::string_view strip_whitespace(std::string_view text) {
  std::size_t i = 0;
  std::size_t first = text.size();
  std::size_t last = 0;
  while (i < text.size()) {
    std::size_t at = i;
    char32_t cp = next_code_point(text, i);
    if (!is_space(cp)) {
      if (first == text.size()) first = at;
      last = i;
    }
  }
  if (first == text.size()) return text.substr(0, 0);
  return text.substr(first, last - first);
}

std::string collapse_whitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    std::size_t at = i;
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (is_ascii_space(c)) {
        pending_space = true;
        ++i;
        continue;
      }
      // A run of ASCII that is not white space goes in at once.
      while (++i < n) {
        unsigned char d = static_cast<unsigned char>(text[i]);
        if (d >= 0x80 || is_ascii_space(d)) break;
      }
    } else if (is_space(next_code_point(text, i))) {
      pending_space = true;
      continue;
    }
    if (pending_space && !out.empty()) out.push_back(' ');
    pending_space = false;
    out.append(text.data() + at, i - at);
  }
  return out;
}

std::size_t code_point_count(std::string_view text) {
  std::size_t n = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
    } else {
      next_code_point(text, i);
    }
    ++n;
  }
  return n;
}

}  // namespace vantory
