// The diagnostics of the vector store: one line each on standard error.
#pragma once

#include <string_view>

namespace vantory {

// Writes "[Ambrel] " + `text` and a newline in one write, so lines of concurrent threads do
// not interleave. Thread-safe.
void log_ambrel_line(std::string_view text);

}  // namespace vantory
