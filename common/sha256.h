// SHA-256 digests.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace vantory {

// The 32-byte digest of `data`. Thread-safe.
std::array<unsigned char, 32> sha256_digest(std::string_view data);

// The 64-character lower-case hex digest of `data`. Thread-safe.
std::string sha256_hex(std::string_view data);

// The lower-case hex text of the bytes of a digest (two characters a byte).
std::string digest_hex(std::string_view digest);

}  // namespace vantory
