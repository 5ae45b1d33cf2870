#include "apps/cli/readable_json.h"

#include <cstdio>

#include "common/json_text.h"

namespace vantory::cli {

namespace {

bool is_scalar(const Json& value) {
  return !value.is_structured() || value.empty();
}

void write(std::string& out, const Json& value, std::size_t indent) {
  std::string pad(indent, ' ');
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (is_scalar(member)) {
        out += pad + key + ": " + scalar_text(member) + "\n";
      } else {
        out += pad + key + ":\n";
        write(out, member, indent + 2);
      }
    }
  } else if (value.is_array()) {
    for (const Json& element : value) {
      if (is_scalar(element)) {
        out += pad + "- " + scalar_text(element) + "\n";
      } else {
        std::string nested;
        write(nested, element, indent + 2);
        // The first line of the element goes on the dash's line.
        out += pad + "- " + nested.substr(indent + 2);
      }
    }
  } else {
    out += pad + scalar_text(value) + "\n";
  }
}

}  // namespace

std::string scalar_text(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "-";
  return dump_json(value);
}

const Json& member(const Json& object, const char* key) {
  static const Json kNone;
  if (!object.is_object()) return kNone;
  auto it = object.find(key);
  return it == object.end() ? kNone : *it;
}

std::string score_text(const Json& value) {
  if (!value.is_number()) return scalar_text(value);
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value.get<double>());
  return text;
}

std::string joined(const Json& array, const std::string& separator) {
  if (!array.is_array() || array.empty()) return "-";
  std::string text;
  for (const Json& element : array) {
    if (!text.empty()) text += separator;
    text += scalar_text(element);
  }
  return text;
}

std::string readable_json(const Json& value, std::size_t indent) {
  std::string out;
  write(out, value, indent);
  return out;
}

}  // namespace vantory::cli
