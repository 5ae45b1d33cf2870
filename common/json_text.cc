#include "common/json_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/error.h"
#include "common/files.h"
#include "common/json_number.h"
#include "common/unicode.h"

namespace vantory {

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, unsigned unit) {
  char buf[6] = {'\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF],
                 kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
  out.append(buf, 6);
}

// Decodes one code point of a string that may hold invalid UTF-8 or surrogates encoded as
// three-byte sequences (the reader makes those from lone \ud800-style escapes). Answers
// 0xFFFD for a byte that starts no valid sequence.
char32_t next_for_escape(std::string_view s, std::size_t& i) {
  unsigned char c0 = static_cast<unsigned char>(s[i]);
  if (c0 == 0xED && i + 2 < s.size()) {
    unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
    unsigned char c2 = static_cast<unsigned char>(s[i + 2]);
    if (c1 >= 0xA0 && c1 <= 0xBF && (c2 & 0xC0) == 0x80) {
      i += 3;
      return 0xD000 | ((c1 & 0x3F) << 6) | (c2 & 0x3F);
    }
  }
  return next_code_point(s, i);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy the longest run of characters that need no escape in one go.
    std::size_t start = i;
    while (i < text.size()) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') break;
      ++i;
    }
    out.append(text.data() + start, i - start);
    if (i >= text.size()) break;
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        default: append_u_escape(out, c); break;
      }
      continue;
    }
    char32_t cp = next_for_escape(text, i);
    if (cp >= 0x10000) {
      char32_t v = cp - 0x10000;
      append_u_escape(out, 0xD800 + (v >> 10));
      append_u_escape(out, 0xDC00 + (v & 0x3FF));
    } else {
      append_u_escape(out, cp);
    }
  }
  out.push_back('"');
}

namespace {

// Writes `value` as Python's repr(float) lays it out into `out` (room for 24 bytes) and
// answers the length. Built in a local buffer so that writing long arrays of numbers costs one
// append per number.
std::size_t write_repr(double value, char* out) {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return 3;
  }
  if (std::isinf(value)) {
    if (value > 0) {
      std::memcpy(out, "Infinity", 8);
      return 8;
    }
    std::memcpy(out, "-Infinity", 9);
    return 9;
  }
  if (value == 0) {
    if (std::signbit(value)) {
      std::memcpy(out, "-0.0", 4);
      return 4;
    }
    std::memcpy(out, "0.0", 3);
    return 3;
  }
  // The shortest digits that read back to the same double, in scientific form: d[.ddd]e±XX.
  char sci[40];
  char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  char* o = out;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  const char* e = end - 1;
  while (*e != 'e') --e;
  // Digits: p[0], then the fraction digits after the point, if any.
  const char* frac = p + 2;
  int nfrac = e - p > 1 ? static_cast<int>(e - frac) : 0;
  int ndigits = 1 + nfrac;
  bool negative_exponent = e[1] == '-';
  int exponent = 0;
  for (const char* d = e + 2; d < end; ++d) exponent = exponent * 10 + (*d - '0');
  if (negative_exponent) exponent = -exponent;
  // Python's repr: positional when -4 <= exponent < 16, else exponent form.
  int decpt = exponent + 1;
  if (exponent >= -4 && exponent < 16) {
    if (decpt <= 0) {
      *o++ = '0';
      *o++ = '.';
      for (int k = 0; k < -decpt; ++k) *o++ = '0';
      *o++ = p[0];
      std::memcpy(o, frac, nfrac);
      o += nfrac;
    } else if (decpt < ndigits) {
      *o++ = p[0];
      std::memcpy(o, frac, decpt - 1);
      o += decpt - 1;
      *o++ = '.';
      std::memcpy(o, frac + decpt - 1, ndigits - decpt);
      o += ndigits - decpt;
    } else {
      *o++ = p[0];
      std::memcpy(o, frac, nfrac);
      o += nfrac;
      for (int k = ndigits; k < decpt; ++k) *o++ = '0';
      *o++ = '.';
      *o++ = '0';
    }
    return static_cast<std::size_t>(o - out);
  }
  *o++ = p[0];
  if (nfrac > 0) {
    *o++ = '.';
    std::memcpy(o, frac, nfrac);
    o += nfrac;
  }
  *o++ = 'e';
  *o++ = negative_exponent ? '-' : '+';
  int a = negative_exponent ? -exponent : exponent;
  if (a >= 100) *o++ = static_cast<char>('0' + a / 100);
  *o++ = static_cast<char>('0' + a / 10 % 10);
  *o++ = static_cast<char>('0' + a % 10);
  return static_cast<std::size_t>(o - out);
}

}  // namespace

void append_json_double(std::string& out, double value) {
  char text[40];
  out.append(text, write_repr(value, text));
}

std::string format_double(double value) {
  std::string out;
  append_json_double(out, value);
  return out;
}

void append_json_float_array(std::string& out, const float* values, std::size_t count) {
  // Room for the longest number and its separator is made once per number; the text is
  // written in place.
  std::size_t used = out.size();
  out.resize(used + 2 + count * 26);
  char* base = out.data();
  base[used++] = '[';
  for (std::size_t i = 0; i < count; ++i) {
    if (i) {
      base[used++] = ',';
      base[used++] = ' ';
    }
    used += write_repr(static_cast<double>(values[i]), base + used);
  }
  base[used++] = ']';
  out.resize(used);
}

namespace {

void append_value(std::string& out, const Json& value, int depth) {
  if (depth > kMaxJsonDepth) throw ValueError("Circular reference or nesting too deep to write");
  switch (value.type()) {
    case Json::value_t::null: out.append("null"); break;
    case Json::value_t::boolean: out.append(value.get<bool>() ? "true" : "false"); break;
    case Json::value_t::number_integer: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, value.get<std::int64_t>());
      out.append(buf, r.ptr);
      break;
    }
    case Json::value_t::number_unsigned: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, value.get<std::uint64_t>());
      out.append(buf, r.ptr);
      break;
    }
    case Json::value_t::number_float: append_json_double(out, value.get<double>()); break;
    case Json::value_t::string: append_json_string(out, value.get_ref<const std::string&>()); break;
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.append(", ");
        first = false;
        append_value(out, element, depth + 1);
      }
      out.push_back(']');
      break;
    }
    case Json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, element] : value.items()) {
        if (!first) out.append(", ");
        first = false;
        append_json_string(out, key);
        out.append(": ");
        append_value(out, element, depth + 1);
      }
      out.push_back('}');
      break;
    }
    case Json::value_t::binary: throw TypeError("Object of type bytes is not JSON serializable");
    case Json::value_t::discarded: throw TypeError("A discarded value is not JSON serializable");
  }
}

}  // namespace

void append_json(std::string& out, const Json& value) { append_value(out, value, 0); }

std::string dump_json(const Json& value) {
  std::string out;
  append_value(out, value, 0);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

// A cursor over JSON text with the error messages Python's json module gives.
// What came before the text a Reader holds, when that is a piece of a longer text: the
// positions in error messages count from the start of the whole.
struct TextOrigin {
  std::size_t lines = 0;       // line breaks before the piece
  std::size_t chars = 0;       // code points before the piece
  std::size_t line_chars = 0;  // code points between the last line break and the piece
};

// Thrown instead of a syntax error while the text at hand is not the whole text: the error
// may only be the end of the piece, and its message would cost a count from the start.
struct NeedMoreText {};

class Reader {
 public:
  // `partial`: `text` may stop before the end of the whole text.
  explicit Reader(std::string_view text, const std::function<TextOrigin()>* origin = nullptr,
                  bool partial = false)
      : s_(text), origin_(origin), partial_(partial) {}

  [[noreturn]] void fail(const std::string& what, std::size_t at) const {
    if (partial_) throw NeedMoreText{};
    TextOrigin before = origin_ != nullptr && *origin_ ? (*origin_)() : TextOrigin{};
    std::size_t line = before.lines + 1, line_start = 0;
    bool new_line = false;
    for (std::size_t k = 0; k < at && k < s_.size(); ++k) {
      if (s_[k] == '\n') {
        ++line;
        line_start = k + 1;
        new_line = true;
      }
    }
    std::size_t column = code_point_count(s_.substr(line_start, at - line_start)) + 1 +
                         (new_line ? 0 : before.line_chars);
    std::size_t chars = before.chars + code_point_count(s_.substr(0, at));
    throw ValueError(what + ": line " + std::to_string(line) + " column " +
                     std::to_string(column) + " (char " + std::to_string(chars) + ")");
  }

  void skip_ws() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else {
        break;
      }
    }
  }

  bool at_end() const { return pos_ >= s_.size(); }
  void seek(std::size_t pos) { pos_ = pos; }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  std::size_t pos() const { return pos_; }
  void advance() { ++pos_; }

  bool consume_literal(std::string_view lit) {
    if (s_.substr(pos_, lit.size()) == lit) {
      pos_ += lit.size();
      return true;
    }
    return false;
  }

  // Reads a string; pos_ is on the opening quote.
  std::string read_string() {
    std::size_t begin = pos_;
    ++pos_;
    std::string out;
    while (true) {
      std::size_t start = pos_;
      while (pos_ < s_.size()) {
        unsigned char c = static_cast<unsigned char>(s_[pos_]);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++pos_;
      }
      out.append(s_.data() + start, pos_ - start);
      if (pos_ >= s_.size()) fail("Unterminated string starting at", begin);
      unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) fail("Invalid control character at", pos_);
      if (c >= 0x80) {
        std::size_t at = pos_;
        std::size_t next = pos_;
        char32_t cp = next_code_point(s_, next);
        if (cp == 0xFFFD && !(next - at == 3 && static_cast<unsigned char>(s_[at]) == 0xEF &&
                              static_cast<unsigned char>(s_[at + 1]) == 0xBF &&
                              static_cast<unsigned char>(s_[at + 2]) == 0xBD)) {
          fail("Invalid UTF-8 byte in string", at);
        }
        out.append(s_.data() + at, next - at);
        pos_ = next;
        continue;
      }
      // Backslash escape.
      std::size_t esc = pos_;
      ++pos_;
      if (pos_ >= s_.size()) fail("Unterminated string starting at", begin);
      char e = s_[pos_++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          char32_t unit = read_hex4(esc);
          if (unit >= 0xD800 && unit <= 0xDBFF && s_.substr(pos_, 2) == "\\u") {
            std::size_t save = pos_;
            pos_ += 2;
            char32_t low = read_hex4(save);
            if (low >= 0xDC00 && low <= 0xDFFF) {
              append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
              break;
            }
            pos_ = save;
          }
          if (unit >= 0xD800 && unit <= 0xDFFF) {
            // A lone surrogate: kept as its three-byte form so that writing restores it.
            out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
            out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
          } else {
            append_utf8(out, unit);
          }
          break;
        }
        default: fail("Invalid \\escape", esc);
      }
    }
  }

  // A number token starting at pos_ ("-", digit, or the non-finite literals).
  // Sets either `is_integer` with `integer`, or `real`.
  struct Number {
    bool is_integer = false;
    std::int64_t integer = 0;
    std::uint64_t unsigned_integer = 0;
    bool is_unsigned = false;
    double real = 0;
  };

  // Reads a number straight into a double, the common case of the number-array files.
  // Answers false, leaving the cursor where it was, for what the fast reader leaves alone
  // (non-finite literals, very long or far out numbers, malformed text): the general reader
  // then takes over with its exact results and errors.
  bool read_real(double& out) {
    const char* end = read_json_double(s_.data() + pos_, s_.data() + s_.size(), out);
    if (end == nullptr) return false;
    pos_ = static_cast<std::size_t>(end - s_.data());
    return true;
  }

  bool read_number(Number& n) {
    std::size_t start = pos_;
    std::size_t p = pos_;
    if (p < s_.size() && s_[p] == '-') ++p;
    if (p < s_.size() && s_[p] == 'I') {
      if (s_.substr(p, 8) == "Infinity") {
        pos_ = p + 8;
        n.real = (p != start) ? -std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::infinity();
        return true;
      }
      return false;
    }
    if (p >= s_.size() || s_[p] < '0' || s_[p] > '9') return false;
    if (s_[p] == '0') {
      ++p;
    } else {
      while (p < s_.size() && s_[p] >= '0' && s_[p] <= '9') ++p;
    }
    bool integral = true;
    if (p + 1 < s_.size() && s_[p] == '.' && s_[p + 1] >= '0' && s_[p + 1] <= '9') {
      integral = false;
      p += 1;
      while (p < s_.size() && s_[p] >= '0' && s_[p] <= '9') ++p;
    }
    if (p < s_.size() && (s_[p] == 'e' || s_[p] == 'E')) {
      std::size_t q = p + 1;
      if (q < s_.size() && (s_[q] == '+' || s_[q] == '-')) ++q;
      if (q < s_.size() && s_[q] >= '0' && s_[q] <= '9') {
        integral = false;
        while (q < s_.size() && s_[q] >= '0' && s_[q] <= '9') ++q;
        p = q;
      }
    }
    const char* first = s_.data() + start;
    const char* last = s_.data() + p;
    pos_ = p;
    if (integral) {
      auto r = std::from_chars(first, last, n.integer);
      if (r.ec == std::errc()) {
        n.is_integer = true;
        return true;
      }
      if (*first != '-') {
        auto u = std::from_chars(first, last, n.unsigned_integer);
        if (u.ec == std::errc()) {
          n.is_unsigned = true;
          return true;
        }
      }
    }
    // The fast exact reader first; what it leaves alone goes to the library's.
    if (read_json_double(first, last, n.real) == last) return true;
    auto r = std::from_chars(first, last, n.real);
    if (r.ec == std::errc::result_out_of_range) {
      // Overflow gives an infinity and underflow a zero, as Python's float() does.
      std::string copy(first, last);
      n.real = std::strtod(copy.c_str(), nullptr);
    }
    return true;
  }

  std::string_view text() const { return s_; }

 private:
  char32_t read_hex4(std::size_t escape_at) {
    if (pos_ + 4 > s_.size()) fail("Invalid \\uXXXX escape", escape_at);
    char32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s_[pos_ + k];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        v |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        v |= c - 'A' + 10;
      } else {
        fail("Invalid \\uXXXX escape", escape_at);
      }
    }
    pos_ += 4;
    return v;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  const std::function<TextOrigin()>* origin_;
  bool partial_;
};

// Reads a scalar (anything but an array or object) at the cursor. Answers false when the
// cursor is not on a value.
bool read_scalar(Reader& r, Json& out) {
  char c = r.peek();
  if (c == '"') {
    out = r.read_string();
    return true;
  }
  if (c == 'n' && r.consume_literal("null")) {
    out = nullptr;
    return true;
  }
  if (c == 't' && r.consume_literal("true")) {
    out = true;
    return true;
  }
  if (c == 'f' && r.consume_literal("false")) {
    out = false;
    return true;
  }
  if (c == 'N' && r.consume_literal("NaN")) {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  Reader::Number n;
  if ((c == '-' || (c >= '0' && c <= '9') || c == 'I') && r.read_number(n)) {
    if (n.is_integer) {
      out = n.integer;
    } else if (n.is_unsigned) {
      out = n.unsigned_integer;
    } else {
      out = n.real;
    }
    return true;
  }
  return false;
}

// One open array or object while parsing.
struct Frame {
  Json value;
  std::string key;  // the member being read, for objects
  // Position of each key once an object grows large, so duplicate keys stay linear.
  std::unordered_map<std::string, std::size_t> index;
};

using Members = std::vector<std::pair<const std::string, Json>>;

// Appends a member. A vector of pairs with a const key copies its elements when it grows
// (their move may throw), values included, so reading an object of n members would copy
// each nested value about log n times; growing here moves the values instead.
void append_member(Members& vec, std::string&& key, Json&& value) {
  if (vec.size() == vec.capacity()) {
    Members grown;
    grown.reserve(vec.empty() ? 4 : 2 * vec.size());
    for (auto& m : vec) grown.emplace_back(m.first, std::move(m.second));
    vec.swap(grown);
  }
  vec.emplace_back(std::move(key), std::move(value));
}

void add_member(Frame& f, std::string&& key, Json&& value) {
  auto& members = f.value.get_ref<Json::object_t&>();
  auto& vec = static_cast<Members&>(members);
  constexpr std::size_t kIndexFrom = 16;
  if (vec.size() < kIndexFrom) {
    for (auto& m : vec) {
      if (m.first == key) {
        m.second = std::move(value);
        return;
      }
    }
    append_member(vec, std::move(key), std::move(value));
    if (vec.size() == kIndexFrom) {
      for (std::size_t k = 0; k < vec.size(); ++k) f.index.emplace(vec[k].first, k);
    }
    return;
  }
  auto [it, inserted] = f.index.emplace(key, vec.size());
  if (!inserted) {
    vec[it->second].second = std::move(value);
    return;
  }
  append_member(vec, std::move(key), std::move(value));
}

}  // namespace

Json parse_json(std::string_view text) {
  Reader r(text);
  std::vector<Frame> stack;
  Json result;
  r.skip_ws();
  // The loop reads one value per turn and attaches it to the innermost open container.
  while (true) {
    Json value;
    bool have_value = false;
    char c = r.peek();
    if (c == '[' || c == '{') {
      if (static_cast<int>(stack.size()) >= kMaxJsonDepth) {
        r.fail("Nesting too deep", r.pos());
      }
      r.advance();
      Frame f;
      f.value = (c == '[') ? Json::array() : Json::object();
      r.skip_ws();
      char close = (c == '[') ? ']' : '}';
      if (r.peek() == close) {
        r.advance();
        value = std::move(f.value);
        have_value = true;
      } else {
        if (c == '{') {
          if (r.peek() != '"') r.fail("Expecting property name enclosed in double quotes", r.pos());
          f.key = r.read_string();
          r.skip_ws();
          if (r.peek() != ':') r.fail("Expecting ':' delimiter", r.pos());
          r.advance();
          r.skip_ws();
        }
        stack.push_back(std::move(f));
        continue;
      }
    } else {
      if (!read_scalar(r, value)) r.fail("Expecting value", r.pos());
      have_value = true;
    }
    // Attach the value, closing every container that ends right after it.
    while (have_value) {
      if (stack.empty()) {
        result = std::move(value);
        r.skip_ws();
        if (!r.at_end()) r.fail("Extra data", r.pos());
        return result;
      }
      Frame& top = stack.back();
      if (top.value.is_array()) {
        top.value.get_ref<Json::array_t&>().push_back(std::move(value));
      } else {
        add_member(top, std::move(top.key), std::move(value));
      }
      r.skip_ws();
      char d = r.peek();
      if (d == ',') {
        r.advance();
        r.skip_ws();
        if (top.value.is_object()) {
          if (r.peek() != '"') r.fail("Expecting property name enclosed in double quotes", r.pos());
          top.key = r.read_string();
          r.skip_ws();
          if (r.peek() != ':') r.fail("Expecting ':' delimiter", r.pos());
          r.advance();
          r.skip_ws();
        }
        have_value = false;
      } else if ((d == ']' && top.value.is_array()) || (d == '}' && top.value.is_object())) {
        r.advance();
        value = std::move(top.value);
        stack.pop_back();
      } else {
        r.fail("Expecting ',' delimiter", r.pos());
      }
    }
  }
}

namespace {

// Text of a number-array object that may arrive in pieces.
struct ArrayObjectInput {
  std::string_view text;  // the text at hand
  bool complete = true;   // `text` runs to the end of the whole
  std::function<TextOrigin()> origin;
  // Drops the text before `keep_from`, appends the next piece, refreshes the fields above.
  std::function<void(std::size_t keep_from)> extend;
};

// The reading shared by the whole-text and the file form. It goes in steps (the opening,
// each member, the end); a step that fails before the input is complete may only have met
// the end of a piece, so it is run again with more text. Members are handed on only once
// read whole, so none is reported twice.
void read_number_array_object(ArrayObjectInput& in, const NumberArrayTextHandler& on_member) {
  std::size_t pos = 0;
  auto step = [&](const std::function<void(Reader&)>& body) {
    while (true) {
      Reader r(in.text, &in.origin, !in.complete);
      r.seek(pos);
      try {
        body(r);
        pos = r.pos();
        return;
      } catch (const NeedMoreText&) {
      } catch (const Error&) {
        if (in.complete) throw;
      }
      in.extend(pos);
      pos = 0;
    }
  };
  auto need_text = [&](Reader& r) {
    if (r.at_end() && !in.complete) throw NeedMoreText{};
  };

  bool is_object = true, empty = false;
  step([&](Reader& r) {
    r.skip_ws();
    need_text(r);
    is_object = r.peek() == '{';
    if (!is_object) return;
    r.advance();
    r.skip_ws();
    need_text(r);
    empty = r.peek() == '}';
    if (empty) r.advance();
  });
  if (!is_object) {
    // Not an object: say what it is when it is JSON at all.
    while (!in.complete) in.extend(0);
    Json whole = parse_json(in.text);
    throw TypeError(std::string("expected a JSON object, got ") + whole.type_name());
  }

  std::string key;
  std::vector<double> values;
  std::size_t array_start = 0, array_end = 0;
  bool last = empty;
  while (!last) {
    step([&](Reader& r) {
      r.skip_ws();
      if (r.peek() != '"') r.fail("Expecting property name enclosed in double quotes", r.pos());
      key = r.read_string();
      r.skip_ws();
      if (r.peek() != ':') r.fail("Expecting ':' delimiter", r.pos());
      r.advance();
      r.skip_ws();
      if (r.peek() != '[') {
        std::size_t at = r.pos();
        Json other;
        if (r.peek() == '{' || !read_scalar(r, other)) {
          if (r.peek() == '{') throw TypeError("member '" + key + "' is not an array of numbers");
          r.fail("Expecting value", at);
        }
        throw TypeError("member '" + key + "' is not an array of numbers");
      }
      array_start = r.pos();
      r.advance();
      values.clear();
      r.skip_ws();
      if (r.peek() == ']') {
        r.advance();
      } else {
        while (true) {
          char c = r.peek();
          Reader::Number n;
          double real;
          if (r.read_real(real)) {
            values.push_back(real);
          } else if (c == 't' && r.consume_literal("true")) {
            values.push_back(1.0);
          } else if (c == 'f' && r.consume_literal("false")) {
            values.push_back(0.0);
          } else if (c == 'N' && r.consume_literal("NaN")) {
            values.push_back(std::numeric_limits<double>::quiet_NaN());
          } else if ((c == '-' || (c >= '0' && c <= '9') || c == 'I') && r.read_number(n)) {
            values.push_back(n.is_integer    ? static_cast<double>(n.integer)
                             : n.is_unsigned ? static_cast<double>(n.unsigned_integer)
                                             : n.real);
          } else {
            Json other;
            std::size_t at = r.pos();
            if (c == '[' || c == '{' || read_scalar(r, other)) {
              throw TypeError("member '" + key + "' holds a value that is not a number");
            }
            r.fail("Expecting value", at);
          }
          r.skip_ws();
          char d = r.peek();
          if (d == ',') {
            r.advance();
            r.skip_ws();
          } else if (d == ']') {
            r.advance();
            break;
          } else {
            r.fail("Expecting ',' delimiter", r.pos());
          }
        }
      }
      array_end = r.pos();
      // The delimiter must be at hand before the member is handed on.
      r.skip_ws();
      need_text(r);
      char d = r.peek();
      if (d != ',' && d != '}') r.fail("Expecting ',' delimiter", r.pos());
    });
    on_member(std::move(key), values, in.text.substr(array_start, array_end - array_start));
    // The step stopped on the delimiter.
    last = in.text[pos] == '}';
    ++pos;
  }

  step([&](Reader& r) {
    r.skip_ws();
    need_text(r);
    if (!r.at_end()) r.fail("Extra data", r.pos());
  });
}

}  // namespace

void parse_number_array_object(
    std::string_view text,
    const std::function<void(std::string&& key, std::vector<double>& values)>& on_member) {
  ArrayObjectInput in;
  in.text = text;
  read_number_array_object(
      in, [&](std::string&& key, std::vector<double>& values, std::string_view) {
        on_member(std::move(key), values);
      });
}

void parse_number_array_file(
    const std::string& path,
    const std::function<void(std::string&& key, std::vector<double>& values)>& on_member,
    std::size_t piece_size) {
  parse_number_array_file_with_text(
      path,
      [&](std::string&& key, std::vector<double>& values, std::string_view) {
        on_member(std::move(key), values);
      },
      piece_size);
}

void parse_number_array_file_with_text(const std::string& path,
                                       const NumberArrayTextHandler& on_member,
                                       std::size_t piece_size) {
  const std::size_t base_piece = std::max<std::size_t>(piece_size, 1);
  FileReader file(path);
  std::string buffer;       // holds the text at hand in [0, filled); grown, never shrunk
  std::size_t filled = 0;
  std::size_t dropped = 0;  // bytes of the file before `buffer`
  std::size_t piece = base_piece;
  ArrayObjectInput in;
  in.extend = [&](std::size_t keep_from) {
    if (keep_from > 0) {
      std::memmove(buffer.data(), buffer.data() + keep_from, filled - keep_from);
      filled -= keep_from;
      dropped += keep_from;
      piece = base_piece;
    } else if (filled > 0) {
      piece *= 2;  // one step keeps running past the text: grow faster than linearly
    }
    if (buffer.size() < filled + piece) buffer.resize(filled + piece);
    std::size_t got = file.read(buffer.data() + filled, piece);
    filled += got;
    in.complete = got == 0;
    in.text = std::string_view(buffer.data(), filled);
  };
  // Counted only when a message needs it, from the file itself.
  in.origin = [&] {
    FileReader again(path);
    std::string prefix(dropped, '\0');
    prefix.resize(again.read(prefix.data(), dropped));
    TextOrigin origin;
    std::size_t last_break = prefix.rfind('\n');
    for (char c : prefix) origin.lines += c == '\n';
    origin.chars = code_point_count(prefix);
    origin.line_chars = last_break == std::string::npos
                            ? origin.chars
                            : code_point_count(std::string_view(prefix).substr(last_break + 1));
    return origin;
  };
  in.complete = false;
  in.extend(0);
  read_number_array_object(in, on_member);
}

}  // namespace vantory
