// Diagnostic lines on standard error.
#pragma once

#include <string_view>

namespace vantory {

// Writes `prefix` + `text` and a newline in one write, so lines of concurrent threads do not
// interleave. Thread-safe.
void write_error_line(std::string_view prefix, std::string_view text);

}  // namespace vantory
