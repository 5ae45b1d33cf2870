#include "common/sha256.h"

#include <gtest/gtest.h>

namespace vantory {
namespace {

TEST(Sha256, LowerCaseHex) {
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256, DigestIsTheBytesOfTheHex) {
  auto digest = sha256_digest("abc");
  EXPECT_EQ(digest[0], 0xba);
  EXPECT_EQ(digest[1], 0x78);
  EXPECT_EQ(digest[31], 0xad);
}

TEST(Sha256, PiecesDigestAsTheWholeText) {
  const std::string whole = std::string("path\0lang\0", 10) + std::string(200, 'x') + "tail";
  Sha256 pieces;
  pieces.update("path").update('\0').update("").update("lang").update('\0');
  pieces.update(std::string(200, 'x')).update("tail");
  EXPECT_EQ(pieces.hex(), sha256_hex(whole));
  EXPECT_EQ(Sha256().hex(), sha256_hex(""));
}

}  // namespace
}  // namespace vantory
