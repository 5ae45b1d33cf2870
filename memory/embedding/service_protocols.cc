// The two wire protocols of RemoteEmbeddingClient: REST (one POST answered with the
// embedding) and Gradio's call API (a submit POST, then GETs of the event stream).
#include <chrono>
#include <string_view>
#include <thread>

#include "common/error.h"
#include "common/json_text.h"
#include "common/message_text.h"
#include "common/unicode.h"
#include "memory/embedding/internal/embedding_log.h"
#include "memory/embedding/internal/gradio_stream.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory {

namespace {

// Throws ValueError naming the first byte of `bytes` that is not UTF-8.
void require_utf8(const std::string& bytes) {
  std::string error = utf8_decode_error(bytes);
  if (!error.empty()) throw ValueError(error);
}

// A response body read as UTF-8 JSON.
Json parse_body(const std::string& bytes) {
  require_utf8(bytes);
  return parse_json(bytes);
}

bool is_number(const Json& value) { return value.is_number() || value.is_boolean(); }

bool is_numbers_array(const Json& value) {
  return value.is_array() && !value.empty() && is_number(value.front());
}

// The event id as one path segment: anything but letters, digits, "-", "_" and "~" is
// percent-encoded, so an id can neither climb to another path (not even as "..") nor smuggle
// bytes into the request line.
std::string path_segment(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

}  // namespace

PythonVector RemoteEmbeddingClient::_call_rest_api(const std::string& text,
                                                   const HttpHeaders& headers) {
  Json body = Json::object();
  body["inputs"] = text;
  body["options"] = Json::object({{"wait_for_model", true}});
  Json value = parse_body(send_request("POST", api_url, headers, dump_json(body)));
  return _finalize_embedding(_parse_response(value));
}

Json RemoteEmbeddingClient::_parse_response(const Json& data) {
  if (data.is_array() && !data.empty()) {
    const Json& first = data.front();
    if (is_number(first)) return data;
    if (first.is_array()) return first;
  }
  if (data.is_object()) {
    auto rows = data.find("data");
    if (rows != data.end() && rows->is_array() && !rows->empty() && rows->front().is_object()) {
      const Json& first = rows->front();
      if (auto it = first.find("embedding"); it != first.end()) return *it;
      if (auto it = first.find("dense_embedding"); it != first.end()) return *it;
    }
    if (auto it = data.find("embedding"); it != data.end()) return *it;
    if (auto it = data.find("dense_embedding"); it != data.end()) return *it;
  }
  throw ValueError(std::string("Unknown embedding response format: <class '") +
                   type_name(data) + "'>");
}

PythonVector RemoteEmbeddingClient::_call_gradio_api(const std::string& text,
                                                     const HttpHeaders& headers) {
  Json submit = Json::object();
  submit["data"] = Json::array({text});
  Json result = parse_body(send_request("POST", api_url, headers, dump_json(submit)));
  if (!result.is_object() || !result.contains("event_id")) {
    // The endpoint answered directly instead of queueing an event.
    return _finalize_embedding(_parse_response(result));
  }
  const std::string result_url = api_url + "/" + path_segment(value_text(result["event_id"]));

  for (int attempt = 0; attempt < kGradioMaxAttempts; ++attempt) {
    GradioStreamRead read = read_gradio_stream(send_request("GET", result_url, headers, ""));
    if (!read.embedding.is_null()) return _finalize_embedding(read.embedding);
    if (read.completed) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kGradioPauseMilliseconds));
  }
  log_embedding_line("Gradio API timeout waiting for result");
  return zeros_vector(dimension.load());
}

Json RemoteEmbeddingClient::_parse_gradio_result(const Json& data) {
  if (!data.is_array() || data.empty()) return nullptr;
  const Json& first = data.front();
  if (is_number(first)) return data;
  if (first.is_object()) {
    for (const char* key : {"dense_embedding", "embedding", "vector", "embeddings", "data"}) {
      auto it = first.find(key);
      if (it != first.end() && is_numbers_array(*it)) return *it;
    }
    for (const auto& [key, value] : first.items()) {
      (void)key;
      if (is_numbers_array(value)) return value;
    }
    return nullptr;
  }
  if (first.is_array()) return is_numbers_array(first) ? first : Json(nullptr);
  return nullptr;
}

}  // namespace vantory
