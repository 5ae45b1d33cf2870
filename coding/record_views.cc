#include "coding/internal/record_views.h"

#include <string>

#include "coding/internal/records.h"
#include "common/error.h"
#include "common/message_text.h"

namespace vantory::records {

const Json& as_record(const Json& value, std::string_view what) {
  if (!value.is_object()) {
    throw TypeError(std::string(what) + " must be a dict, not " + type_name(value));
  }
  return value;
}

const Json& as_list(const Json& answer, std::string_view operation) {
  if (!answer.is_array()) {
    throw TypeError(std::string(operation) + " must answer a list, not " + type_name(answer));
  }
  return answer;
}

std::string_view text_member(const Json& record, std::string_view key, std::string_view fallback) {
  const Json* member = find(record, key);
  if (!member) return fallback;
  if (!member->is_string()) {
    throw TypeError("'" + std::string(key) + "' must be a string, not " + type_name(*member));
  }
  return member->get_ref<const std::string&>();
}

const std::string* string_member(const Json& record, std::string_view key) {
  const Json* member = find(record, key);
  return member && member->is_string() ? &member->get_ref<const std::string&>() : nullptr;
}

bool is_callable_unit(const Json& chunk) {
  const std::string* type = string_member(chunk, "type");
  return type && (*type == "function" || *type == "method");
}

void append_new_member(Json& object, std::string key, Json value) {
  using Members = Json::object_t::Container;
  static_cast<Members&>(object.get_ref<Json::object_t&>())
      .emplace_back(std::move(key), std::move(value));
}

}  // namespace vantory::records
