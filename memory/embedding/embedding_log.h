// The diagnostics of the embedding library: one line each on standard error.
#pragma once

#include <string_view>

namespace vantory {

// Writes "[Embedding] " + `text` and a newline in one write, so lines of concurrent threads
// do not interleave. Thread-safe.
void log_embedding_line(std::string_view text);

}  // namespace vantory
