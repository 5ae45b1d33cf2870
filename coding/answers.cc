#include "coding/answers.h"

#include "common/error.h"
#include "common/message_text.h"

namespace vantory {

Json error_object(std::string message) {
  return Json{{"status", "error"}, {"message", std::move(message)}};
}

const Json& expect_dict(const Json& value, std::string_view what) {
  if (value.is_object()) return value;
  throw TypeError(std::string(what) + " must be a dict, not " + type_name(value));
}

}  // namespace vantory
