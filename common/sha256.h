// SHA-256 digests in lower-case hexadecimal.
#pragma once

#include <string>
#include <string_view>

namespace vantory {

// The 64-character lower-case hex digest of `data`. Thread-safe.
std::string sha256_hex(std::string_view data);

}  // namespace vantory
