#include "apps/mcp/tool_result.h"

#include <string>

#include "apps/host/exception_kind.h"
#include "common/json_text.h"

namespace vantory::mcp {

namespace {

Json text_content(std::string text) {
  return Json::array({{{"type", "text"}, {"text", std::move(text)}}});
}

}  // namespace

Json tool_result(const Json& answer) {
  Json result = {{"content", text_content(dump_json(answer))}};
  if (answer.is_object()) result["structuredContent"] = answer;
  result["isError"] = false;
  return result;
}

Json tool_error(std::string_view kind, std::string_view message) {
  std::string text(kind);
  text += ": ";
  text += message;
  return {{"content", text_content(std::move(text))}, {"isError", true}};
}

Json tool_error(const std::exception& e) {
  return tool_error(host::exception_kind(e), e.what());
}

}  // namespace vantory::mcp
