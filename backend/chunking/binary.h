// Refusing binary content before it is chunked.
#pragma once

#include <string>
#include <string_view>

namespace vantory::backend {

// Throws ValueError "binary file: <file_path>" when looks_binary(text).
void require_text(std::string_view text, const std::string& file_path);

}  // namespace vantory::backend
