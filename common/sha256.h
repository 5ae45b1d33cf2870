// SHA-256 digests.
#pragma once

#include <array>
#include <string>
#include <string_view>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace vantory {

// The 32-byte digest of `data`. Thread-safe.
std::array<unsigned char, 32> sha256_digest(std::string_view data);

// The 64-character lower-case hex digest of `data`. Thread-safe.
std::string sha256_hex(std::string_view data);

// A SHA-256 digest made piece by piece: the digest of the pieces given to `update`, one after
// the other, as one text. Not thread-safe; not copyable.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  Sha256& update(std::string_view data);
  Sha256& update(char byte) { return update(std::string_view(&byte, 1)); }
  // The 64-character lower-case hex digest of the pieces given so far; ends the digest (call
  // once).
  std::string hex();

 private:
  ::evp_md_ctx_st* context_;
};

// The lower-case hex text of the bytes of a digest (two characters a byte).
std::string digest_hex(std::string_view digest);

}  // namespace vantory
