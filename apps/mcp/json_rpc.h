// JSON-RPC 2.0 messages as the Model Context Protocol carries them over stdio: one message per
// line, each a JSON object. Batches (a JSON array) are not part of the protocol versions this
// server speaks and are refused as invalid requests.
//
// All functions are thread-safe (they share no state).
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "common/json.h"

namespace vantory::mcp {

// The error codes of JSON-RPC 2.0.
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;

// A line longer than this is refused unread: nothing a client sends legitimately comes close.
inline constexpr std::size_t kMaxMessageBytes = 64u << 20;

// One well-formed message from the peer.
struct RpcMessage {
  enum class Kind { kRequest, kNotification, kResponse };
  Kind kind = Kind::kRequest;
  Json id;             // a string or an integer for requests and responses; null otherwise
  std::string method;  // empty for responses
  Json params;         // an object or an array; null when the message has none. For a
                       // response: its result (null for an error response).
};

// A line that is not a well-formed message, and the error to answer it with.
struct RpcError {
  int code = kInvalidRequest;
  std::string message;
  Json id;  // the id of the offending request when it could be read; null otherwise
};

using ReadResult = std::variant<RpcMessage, RpcError>;

// Reads one line of input (without its line feed; a trailing carriage return is ignored).
// Answers the message, or the error to reply with: kParseError when the line is not JSON (or
// longer than kMaxMessageBytes), kInvalidRequest when it is JSON but not a JSON-RPC 2.0
// request, notification or response. Never throws for any input.
ReadResult read_message(std::string_view line);

// The error that answers a line longer than kMaxMessageBytes.
RpcError oversized_message_error();

// True when the line holds nothing but white space; such lines are skipped, not answered.
bool is_blank_line(std::string_view line);

// The text of a response or notification, ending in a line feed. Every character outside
// ASCII is escaped, so the text never holds a line break of its own.
std::string result_line(const Json& id, const Json& result);
std::string error_line(const Json& id, int code, std::string_view message);
std::string notification_line(std::string_view method, const Json& params);
std::string request_line(const Json& id, std::string_view method);

}  // namespace vantory::mcp
