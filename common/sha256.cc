#include "common/sha256.h"

#include <openssl/evp.h>

#include "common/error.h"

namespace vantory {

std::string sha256_hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw RuntimeError("SHA-256 digest failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(static_cast<std::size_t>(length) * 2, '\0');
  for (unsigned int i = 0; i < length; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return out;
}

}  // namespace vantory
