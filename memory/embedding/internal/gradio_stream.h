// Reading one answer of a Gradio event stream: lines of "event: <name>" and "data: <json>".
// Internal to the embedding library; pure functions.
#pragma once

#include <string>

#include "common/json.h"

namespace vantory {

// What one answer of the event stream holds: the numbers of its last data line that carries
// an embedding (null when none does) and whether an "event: complete" line came.
struct GradioStreamRead {
  Json embedding;
  bool completed = false;
};

// Reads `body`, one answer of the stream. Lines that are not JSON are skipped; the numbers of
// a data line are found as RemoteEmbeddingClient::_parse_gradio_result finds them. Throws
// ValueError when `body` is not UTF-8.
GradioStreamRead read_gradio_stream(const std::string& body);

}  // namespace vantory
