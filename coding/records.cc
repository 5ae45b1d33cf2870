#include "coding/internal/records.h"

#include "common/error.h"
#include "common/message_text.h"
#include "common/unicode.h"

namespace vantory::records {

const Json* find(const Json& record, std::string_view key) {
  if (!record.is_object()) return nullptr;
  auto it = record.find(key);
  return it == record.end() ? nullptr : &*it;
}

const Json& get_or(const Json& record, std::string_view key, const Json& fallback) {
  const Json* member = find(record, key);
  return member ? *member : fallback;
}

const Json& require(const Json& record, std::string_view key) {
  const Json* member = find(record, key);
  if (!member) throw KeyError("'" + std::string(key) + "'");
  return *member;
}

std::string get_string(const Json& record, std::string_view key, std::string_view fallback) {
  const Json* member = find(record, key);
  if (!member) return std::string(fallback);
  if (!member->is_string()) {
    throw TypeError("'" + std::string(key) + "' must be a string, not " + type_name(*member));
  }
  return member->get<std::string>();
}

const Json& loaded(const std::shared_ptr<const Json>& snapshot) {
  static const Json none = nullptr;
  return snapshot ? *snapshot : none;
}

const Json& get_array(const Json& record, std::string_view key) {
  static const Json empty = Json::array();
  const Json* member = find(record, key);
  if (!member || member->is_null()) return empty;
  if (!member->is_array()) {
    throw TypeError("'" + std::string(key) + "' must be a list, not " + type_name(*member));
  }
  return *member;
}

void expect_array(const Json& value, std::string_view what, bool allow_null) {
  if (value.is_array() || (allow_null && value.is_null())) return;
  throw TypeError("'" + std::string(what) + "' must be a list" + (allow_null ? " or None" : "") +
                  ", not " + type_name(value));
}

Json expect_object(Json answer, std::string_view operation) {
  if (answer.is_object() || answer.is_null()) return answer;
  throw TypeError(std::string(operation) + " must answer a dict or None, not " +
                  type_name(answer));
}

std::int64_t length_of(const Json& value) {
  switch (value.type()) {
    case Json::value_t::array:
    case Json::value_t::object: return static_cast<std::int64_t>(value.size());
    case Json::value_t::string:
      return static_cast<std::int64_t>(code_point_count(value.get_ref<const std::string&>()));
    default:
      throw TypeError(std::string("object of type '") + type_name(value) + "' has no len()");
  }
}

}  // namespace vantory::records
