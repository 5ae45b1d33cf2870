#include "common/sha256.h"

#include <openssl/evp.h>

#include "common/error.h"

namespace vantory {

namespace {

// Fetched once: looking the algorithm up on every call costs a third of hashing a short text.
const EVP_MD* sha256_algorithm() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (md == nullptr) throw RuntimeError("SHA-256 is not available from OpenSSL");
  return md;
}

}  // namespace

std::array<unsigned char, 32> sha256_digest(std::string_view data) {
  std::array<unsigned char, 32> digest;
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, sha256_algorithm(),
                 nullptr) != 1 ||
      length != digest.size()) {
    throw RuntimeError("SHA-256 digest failed");
  }
  return digest;
}

std::string sha256_hex(std::string_view data) {
  std::array<unsigned char, 32> digest = sha256_digest(data);
  return digest_hex(
      std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr || EVP_DigestInit_ex(context_, sha256_algorithm(), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw RuntimeError("SHA-256 digest failed");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

Sha256& Sha256::update(std::string_view data) {
  if (!data.empty() && EVP_DigestUpdate(context_, data.data(), data.size()) != 1) {
    throw RuntimeError("SHA-256 digest failed");
  }
  return *this;
}

std::string Sha256::hex() {
  std::array<unsigned char, 32> digest;
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_, digest.data(), &length) != 1 || length != digest.size()) {
    throw RuntimeError("SHA-256 digest failed");
  }
  return digest_hex(
      std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string digest_hex(std::string_view digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(digest.size() * 2, '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    auto byte = static_cast<unsigned char>(digest[i]);
    out[2 * i] = kHex[byte >> 4];
    out[2 * i + 1] = kHex[byte & 0xF];
  }
  return out;
}

}  // namespace vantory
