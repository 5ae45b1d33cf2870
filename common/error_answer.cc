#include "common/error_answer.h"

#include "common/json_text.h"

namespace vantory {

Json error_answer(std::string message) {
  return Json{{"status", "error"}, {"message", std::move(message)}};
}

std::optional<std::string> error_answer_message(const Json& answer) {
  if (!answer.is_object()) return std::nullopt;
  auto status = answer.find("status");
  if (status == answer.end() || *status != "error") return std::nullopt;
  auto message = answer.find("message");
  if (message == answer.end()) return "failed";
  return message->is_string() ? message->get<std::string>() : dump_json(*message);
}

}  // namespace vantory
