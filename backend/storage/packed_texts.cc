#include "backend/storage/packed_texts.h"

#include <zstd.h>

#include <cstdint>
#include <memory>

#include "common/error.h"

namespace vantory::backend {

namespace {

// Below this payload size compression rarely pays for its frame header.
constexpr std::size_t kMinCompressed = 96;
// Fast levels: indexing compresses every chunk it stores.
constexpr int kLevel = 3;

void put_length(std::string& out, std::size_t n) {
  while (n >= 0x80) {
    out += static_cast<char>((n & 0x7f) | 0x80);
    n >>= 7;
  }
  out += static_cast<char>(n);
}

[[noreturn]] void damaged(const char* what) {
  throw RuntimeError(std::string("a packed text blob is damaged: ") + what);
}

struct ContextDeleter {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

}  // namespace

std::string pack_texts(const std::vector<std::string_view>& texts) {
  std::string payload;
  for (std::string_view text : texts) {
    put_length(payload, text.size());
    payload += text;
  }
  if (payload.size() >= kMinCompressed) {
    thread_local std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
    std::string packed(1 + ZSTD_compressBound(payload.size()), '\0');
    packed[0] = 'Z';
    std::size_t n = ZSTD_compressCCtx(context.get(), packed.data() + 1, packed.size() - 1,
                                      payload.data(), payload.size(), kLevel);
    if (!ZSTD_isError(n) && n < payload.size()) {
      packed.resize(n + 1);
      return packed;
    }
  }
  return 'R' + payload;
}

std::vector<std::string> unpack_texts(std::string_view blob) {
  if (blob.empty()) damaged("empty");
  std::string inflated;
  std::string_view payload = blob.substr(1);
  if (blob[0] == 'Z') {
    unsigned long long size = ZSTD_getFrameContentSize(payload.data(), payload.size());
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size > (1ull << 31)) {
      damaged("no frame size");
    }
    thread_local std::unique_ptr<ZSTD_DCtx, ContextDeleter> context(ZSTD_createDCtx());
    inflated.resize(static_cast<std::size_t>(size));
    std::size_t n = ZSTD_decompressDCtx(context.get(), inflated.data(), inflated.size(),
                                        payload.data(), payload.size());
    if (ZSTD_isError(n) || n != inflated.size()) damaged("bad frame");
    payload = inflated;
  } else if (blob[0] != 'R') {
    damaged("unknown tag");
  }
  std::vector<std::string> texts;
  std::size_t at = 0;
  while (at < payload.size()) {
    std::uint64_t n = 0;
    int shift = 0;
    while (true) {
      if (at >= payload.size() || shift > 56) damaged("bad length");
      auto byte = static_cast<unsigned char>(payload[at++]);
      n |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      shift += 7;
      if (!(byte & 0x80)) break;
    }
    if (n > payload.size() - at) damaged("text past its end");
    texts.emplace_back(payload.substr(at, static_cast<std::size_t>(n)));
    at += static_cast<std::size_t>(n);
  }
  return texts;
}

}  // namespace vantory::backend
