// The diagnostics of the embedding library: one line each on standard error.
#pragma once

#include <string_view>

namespace vantory {

// Writes "[Embedding] " + `text` and a newline in one write, so lines of concurrent threads
// do not interleave. Thread-safe.
void log_embedding_line(std::string_view text);

// Writes the line that says why a request to the service failed, by the kind of the exception
// being handled: "API HTTP error <code>: <reason>" for an error status, "API URL error:
// <reason>" when no response arrived, "API request failed: <message>" for anything else. Call
// it only inside a catch block; an exception that is no std::exception propagates. The key
// in `secret` is redacted wherever the line holds it (a service may echo what it was sent).
void log_request_failure(std::string_view secret = {});

}  // namespace vantory
