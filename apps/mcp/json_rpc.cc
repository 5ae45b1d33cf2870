#include "apps/mcp/json_rpc.h"

#include <exception>

#include "common/json_text.h"

namespace vantory::mcp {

namespace {

RpcError invalid(std::string detail, Json id = nullptr) {
  return RpcError{kInvalidRequest, "Invalid Request: " + detail, std::move(id)};
}

// The protocol allows string and integer ids; null and fractional ids are refused.
bool is_valid_id(const Json& id) { return id.is_string() || id.is_number_integer(); }

ReadResult classify(Json value) {
  if (value.is_array()) return invalid("batches are not supported");
  if (!value.is_object()) return invalid("a message must be a JSON object");

  auto version = value.find("jsonrpc");
  auto id = value.find("id");
  auto method = value.find("method");
  Json valid_id = nullptr;
  if (id != value.end()) {
    if (!is_valid_id(*id)) return invalid("\"id\" must be a string or an integer");
    valid_id = *id;
  }
  if (version == value.end() || *version != "2.0") {
    return invalid("\"jsonrpc\" must be \"2.0\"", valid_id);
  }

  if (method == value.end()) {
    bool has_result = value.contains("result");
    bool has_error = value.contains("error");
    if (id == value.end() || has_result == has_error) {
      return invalid(
          "a message needs a \"method\", or an \"id\" with a \"result\" or an "
          "\"error\"",
          valid_id);
    }
    Json result = has_result ? std::move(value["result"]) : Json();
    return RpcMessage{RpcMessage::Kind::kResponse, valid_id, {}, std::move(result)};
  }
  if (!method->is_string()) return invalid("\"method\" must be a string", valid_id);

  Json params = nullptr;
  if (auto it = value.find("params"); it != value.end()) {
    if (!it->is_object() && !it->is_array()) {
      return invalid("\"params\" must be an object or an array", valid_id);
    }
    params = std::move(*it);
  }
  RpcMessage::Kind kind =
      id == value.end() ? RpcMessage::Kind::kNotification : RpcMessage::Kind::kRequest;
  return RpcMessage{kind, valid_id, method->get<std::string>(), std::move(params)};
}

std::string line_of(const Json& message) {
  std::string text = dump_json(message);
  text += '\n';
  return text;
}

}  // namespace

RpcError oversized_message_error() {
  return RpcError{kParseError, "Parse error: message larger than 64 MiB", nullptr};
}

bool is_blank_line(std::string_view line) {
  return line.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

ReadResult read_message(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > kMaxMessageBytes) return oversized_message_error();
  try {
    return classify(parse_json(line));
  } catch (const std::exception& e) {
    return RpcError{kParseError, std::string("Parse error: ") + e.what(), nullptr};
  }
}

std::string result_line(const Json& id, const Json& result) {
  return line_of(Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}});
}

std::string error_line(const Json& id, int code, std::string_view message) {
  return line_of(Json{{"jsonrpc", "2.0"},
                      {"id", id},
                      {"error", {{"code", code}, {"message", std::string(message)}}}});
}

std::string notification_line(std::string_view method, const Json& params) {
  return line_of(Json{{"jsonrpc", "2.0"}, {"method", std::string(method)}, {"params", params}});
}

std::string request_line(const Json& id, std::string_view method) {
  return line_of(Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", std::string(method)}});
}

}  // namespace vantory::mcp
