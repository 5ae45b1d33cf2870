#include "common/arguments.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "common/error.h"

namespace vantory {

namespace {

constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::vector<std::string_view> kinds_of(std::string_view type) {
  std::vector<std::string_view> kinds;
  while (true) {
    std::size_t bar = type.find('|');
    kinds.push_back(type.substr(0, bar));
    if (bar == std::string_view::npos) return kinds;
    type.remove_prefix(bar + 1);
  }
}

// The kind of a JSON value in the words of the argument types.
std::string kind_of(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "boolean";
    case Json::value_t::number_integer:
      return "integer";
    case Json::value_t::number_unsigned:
      return value.get<std::uint64_t>() > kInt64Max ? "integer beyond 64 bits" : "integer";
    case Json::value_t::number_float:
      return "number";
    case Json::value_t::string:
      return "string";
    case Json::value_t::array:
      return "array";
    default:
      return "object";
  }
}

bool is_whole_number(const Json& value) {
  if (!value.is_number_float()) return false;
  double x = value.get<double>();
  return std::isfinite(x) && std::trunc(x) == x && x >= -9223372036854775808.0 &&
         x < 9223372036854775808.0;
}

bool is_kind(std::string_view kind, const Json& value) {
  if (kind == "string") return value.is_string();
  if (kind == "boolean") return value.is_boolean();
  if (kind == "array") return value.is_array();
  if (kind == "object") return value.is_object();
  if (kind == "null") return value.is_null();
  if (kind == "number") return value.is_number();
  if (kind == "integer") {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() <= kInt64Max;
    return value.is_number_integer() || is_whole_number(value);
  }
  return false;
}

std::string expected_text(const Argument& argument) {
  std::string text;
  for (std::string_view kind : kinds_of(argument.type)) {
    if (!text.empty()) text += " or ";
    text += kind;
    if (kind == "array" && !argument.items.empty()) text += " of " + argument.items + "s";
  }
  return text;
}

// What is wrong with `value` for `argument`, or "" when it is acceptable.
std::string mismatch(const Argument& argument, const Json& value) {
  for (std::string_view kind : kinds_of(argument.type)) {
    if (!is_kind(kind, value)) continue;
    if (kind != "array" || argument.items.empty()) return {};
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (!is_kind(argument.items, value[i])) {
        return "array holding " + kind_of(value[i]) + " at index " + std::to_string(i);
      }
    }
    return {};
  }
  return kind_of(value);
}

Json json_schema_type(const Argument& argument) {
  std::vector<std::string_view> kinds = kinds_of(argument.type);
  if (kinds.size() == 1) return std::string(kinds[0]);
  Json types = Json::array();
  for (std::string_view kind : kinds) types.push_back(std::string(kind));
  return types;
}

}  // namespace

Argument required_argument(std::string name, std::string type, std::string description,
                           std::string items) {
  return {std::move(name), std::move(type),       std::move(items), true,
          nullptr,         std::move(description)};
}

Argument optional_argument(std::string name, std::string type, Json default_value,
                           std::string description, std::string items) {
  return {std::move(name), std::move(type),          std::move(items),
          false,           std::move(default_value), std::move(description)};
}

Json bind_arguments(std::string_view owner, const std::vector<Argument>& declared,
                    const Json& given) {
  const std::string name_text = std::string(owner) + "()";
  if (!given.is_null() && !given.is_object()) {
    throw TypeError(name_text + " arguments must be an object, not " + kind_of(given));
  }
  if (given.is_object()) {
    for (const auto& [name, value] : given.items()) {
      bool known = false;
      for (const Argument& argument : declared) known |= argument.name == name;
      if (!known) throw TypeError(name_text + " got an unexpected argument '" + name + "'");
    }
  }
  Json bound = Json::object();
  for (const Argument& argument : declared) {
    auto it = given.is_object() ? given.find(argument.name) : given.end();
    if (it == given.end()) {
      if (argument.required) {
        throw TypeError(name_text + " missing required argument '" + argument.name + "'");
      }
      bound[argument.name] = argument.default_value;
      continue;
    }
    if (std::string wrong = mismatch(argument, *it); !wrong.empty()) {
      throw TypeError(name_text + " argument '" + argument.name + "' must be " +
                      expected_text(argument) + ", not " + wrong);
    }
    if (is_whole_number(*it) && argument.type.find("number") == std::string::npos) {
      bound[argument.name] = static_cast<std::int64_t>(it->get<double>());
    } else {
      bound[argument.name] = *it;
    }
  }
  return bound;
}

Json arguments_schema(const std::vector<Argument>& declared) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const Argument& argument : declared) {
    Json property = {{"type", json_schema_type(argument)}};
    if (!argument.items.empty()) property["items"] = {{"type", argument.items}};
    if (!argument.required) property["default"] = argument.default_value;
    if (!argument.description.empty()) property["description"] = argument.description;
    properties[argument.name] = std::move(property);
    if (argument.required) required.push_back(argument.name);
  }
  Json schema = {{"type", "object"}, {"properties", std::move(properties)}};
  if (!required.empty()) schema["required"] = std::move(required);
  schema["additionalProperties"] = false;
  return schema;
}

}  // namespace vantory
