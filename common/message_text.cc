#include "common/message_text.h"

#include <unicode/uchar.h>

#include <charconv>
#include <cstdint>

#include "common/json_text.h"
#include "common/unicode.h"

namespace vantory {

namespace {

bool is_printable(char32_t c) {
  if (c == ' ') return true;
  if (c < 0x80) return c > 0x20 && c < 0x7F;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR: case U_FORMAT_CHAR: case U_SURROGATE: case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED: case U_LINE_SEPARATOR: case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

void append_hex(std::string& out, char prefix, char32_t c, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('\\');
  out.push_back(prefix);
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
}

void append_string_repr(std::string& out, const std::string& s) {
  bool has_single = s.find('\'') != std::string::npos;
  bool has_double = s.find('"') != std::string::npos;
  char quote = (has_single && !has_double) ? '"' : '\'';
  out.push_back(quote);
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t at = i;
    char32_t c = next_code_point(s, i);
    if (c == static_cast<char32_t>(quote) || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\t') {
      out.append("\\t");
    } else if (is_printable(c)) {
      out.append(s, at, i - at);
    } else if (c < 0x100) {
      append_hex(out, 'x', c, 2);
    } else if (c < 0x10000) {
      append_hex(out, 'u', c, 4);
    } else {
      append_hex(out, 'U', c, 8);
    }
  }
  out.push_back(quote);
}

void append_python(std::string& out, const Json& value, bool quote_strings) {
  switch (value.type()) {
    case Json::value_t::null: out.append("None"); break;
    case Json::value_t::boolean: out.append(value.get<bool>() ? "True" : "False"); break;
    case Json::value_t::number_float: {
      // repr(float) writes the non-finite values in lower case.
      double d = value.get<double>();
      if (d != d) {
        out.append("nan");
      } else if (d == 1.0 / 0.0) {
        out.append("inf");
      } else if (d == -1.0 / 0.0) {
        out.append("-inf");
      } else {
        append_json_double(out, d);
      }
      break;
    }
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: append_json(out, value); break;
    case Json::value_t::string:
      if (quote_strings) {
        append_string_repr(out, value.get_ref<const std::string&>());
      } else {
        out.append(value.get_ref<const std::string&>());
      }
      break;
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.append(", ");
        first = false;
        append_python(out, element, true);
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
        append_string_repr(out, key);
        out.append(": ");
        append_python(out, element, true);
      }
      out.push_back('}');
      break;
    }
    default: out.append("<binary>"); break;
  }
}

}  // namespace

std::string value_text(const Json& value) {
  std::string out;
  append_python(out, value, false);
  return out;
}

std::string value_repr(const Json& value) {
  std::string out;
  append_python(out, value, true);
  return out;
}

const char* type_name(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "NoneType";
    case Json::value_t::boolean: return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "int";
    case Json::value_t::number_float: return "float";
    case Json::value_t::string: return "str";
    case Json::value_t::array: return "list";
    case Json::value_t::object: return "dict";
    default: return "bytes";
  }
}

}  // namespace vantory
