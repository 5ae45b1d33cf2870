#include "common/json_text.h"

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

void append_json_double(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("NaN");
    return;
  }
  if (std::isinf(value)) {
    out.append(value > 0 ? "Infinity" : "-Infinity");
    return;
  }
  if (value == 0) {
    out.append(std::signbit(value) ? "-0.0" : "0.0");
    return;
  }
  // The shortest digits that read back to the same double, in scientific form: d[.ddd]e±XX.
  char buf[40];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  const char* end = res.ptr;
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  char digits[24];
  int ndigits = 0;
  const char* e = p;
  while (e < end && *e != 'e') {
    if (*e != '.') digits[ndigits++] = *e;
    ++e;
  }
  int exponent = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), end, exponent);
  // Python's repr: positional when -4 <= exponent < 16, else exponent form.
  int decpt = exponent + 1;
  if (negative) out.push_back('-');
  if (exponent >= -4 && exponent < 16) {
    if (decpt <= 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-decpt), '0');
      out.append(digits, ndigits);
    } else if (decpt < ndigits) {
      out.append(digits, decpt);
      out.push_back('.');
      out.append(digits + decpt, ndigits - decpt);
    } else {
      out.append(digits, ndigits);
      out.append(static_cast<std::size_t>(decpt - ndigits), '0');
      out.append(".0");
    }
    return;
  }
  out.push_back(digits[0]);
  if (ndigits > 1) {
    out.push_back('.');
    out.append(digits + 1, ndigits - 1);
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  int a = exponent < 0 ? -exponent : exponent;
  if (a < 10) out.push_back('0');
  char ebuf[8];
  auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, a);
  out.append(ebuf, er.ptr);
}

std::string format_double(double value) {
  std::string out;
  append_json_double(out, value);
  return out;
}

void append_json_float_array(std::string& out, const float* values, std::size_t count) {
  out.push_back('[');
  for (std::size_t i = 0; i < count; ++i) {
    if (i) out.append(", ");
    append_json_double(out, static_cast<double>(values[i]));
  }
  out.push_back(']');
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
class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  [[noreturn]] void fail(const std::string& what, std::size_t at) const {
    std::size_t line = 1, line_start = 0;
    for (std::size_t k = 0; k < at && k < s_.size(); ++k) {
      if (s_[k] == '\n') {
        ++line;
        line_start = k + 1;
      }
    }
    std::size_t column = code_point_count(s_.substr(line_start, at - line_start)) + 1;
    std::size_t chars = code_point_count(s_.substr(0, at));
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

void add_member(Frame& f, std::string&& key, Json&& value) {
  auto& members = f.value.get_ref<Json::object_t&>();
  using Base = std::vector<std::pair<const std::string, Json>>;
  auto& vec = static_cast<Base&>(members);
  constexpr std::size_t kIndexFrom = 16;
  if (vec.size() < kIndexFrom) {
    for (auto& m : vec) {
      if (m.first == key) {
        m.second = std::move(value);
        return;
      }
    }
    vec.emplace_back(std::move(key), std::move(value));
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
  vec.emplace_back(std::move(key), std::move(value));
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

void parse_number_array_object(
    std::string_view text,
    const std::function<void(std::string&& key, std::vector<double>& values)>& on_member) {
  Reader r(text);
  std::vector<double> values;
  r.skip_ws();
  if (r.peek() != '{') {
    // Not an object: say what it is when it is JSON at all.
    Json whole = parse_json(text);
    throw TypeError(std::string("expected a JSON object, got ") + whole.type_name());
  }
  r.advance();
  r.skip_ws();
  if (r.peek() == '}') {
    r.advance();
  } else {
    while (true) {
      if (r.peek() != '"') r.fail("Expecting property name enclosed in double quotes", r.pos());
      std::string key = r.read_string();
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
      r.advance();
      values.clear();
      r.skip_ws();
      if (r.peek() == ']') {
        r.advance();
      } else {
        while (true) {
          char c = r.peek();
          Reader::Number n;
          if (c == 't' && r.consume_literal("true")) {
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
      on_member(std::move(key), values);
      r.skip_ws();
      char d = r.peek();
      if (d == ',') {
        r.advance();
        r.skip_ws();
      } else if (d == '}') {
        r.advance();
        break;
      } else {
        r.fail("Expecting ',' delimiter", r.pos());
      }
    }
  }
  r.skip_ws();
  if (!r.at_end()) r.fail("Extra data", r.pos());
}

}  // namespace vantory
