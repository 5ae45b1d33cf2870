#include "memory/embedding/internal/gradio_stream.h"

#include <string_view>

#include "common/error.h"
#include "common/json_text.h"
#include "common/unicode.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory {

GradioStreamRead read_gradio_stream(const std::string& body) {
  std::string error = utf8_decode_error(body);
  if (!error.empty()) throw ValueError(error);
  GradioStreamRead read;
  std::string_view rest = strip_whitespace(body);
  while (true) {
    std::size_t newline = rest.find('\n');
    std::string_view line = strip_whitespace(rest.substr(0, newline));
    if (line.starts_with("event:")) {
      if (strip_whitespace(line.substr(6)) == "complete") read.completed = true;
    } else if (line.starts_with("data:")) {
      std::string_view payload = strip_whitespace(line.substr(5));
      if (!payload.empty()) {
        Json value;
        bool parsed = true;
        try {
          value = parse_json(payload);
        } catch (const ValueError&) {
          parsed = false;  // junk between events is not an answer
        }
        if (parsed && value.is_array() && !value.empty()) {
          Json found = RemoteEmbeddingClient::_parse_gradio_result(value);
          if (found.is_array() && !found.empty()) read.embedding = std::move(found);
        }
      }
    }
    if (newline == std::string_view::npos) break;
    rest.remove_prefix(newline + 1);
  }
  return read;
}

}  // namespace vantory
