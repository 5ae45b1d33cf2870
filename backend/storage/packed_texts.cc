#include "backend/storage/packed_texts.h"

#include <zstd.h>

#include <cstdint>
#include <memory>

#include "backend/storage/text_dictionaries.h"
#include "common/error.h"

namespace vantory::backend {

namespace {

// Below this payload size compression rarely pays for its frame header.
constexpr std::size_t kMinCompressed = 96;

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

std::uint64_t take_length(std::string_view bytes, std::size_t& at) {
  std::uint64_t n = 0;
  int shift = 0;
  while (true) {
    if (at >= bytes.size() || shift > 56) damaged("bad length");
    auto byte = static_cast<unsigned char>(bytes[at++]);
    n |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    shift += 7;
    if (!(byte & 0x80)) return n;
  }
}

struct ContextDeleter {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// The frame compressed from `payload`, after `head`; "" when it would not be smaller.
std::string compressed(std::string_view payload, const std::string& head,
                       const TextDictionary* dictionary) {
  thread_local std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
  std::string packed(head.size() + ZSTD_compressBound(payload.size()), '\0');
  packed.replace(0, head.size(), head);
  char* out = packed.data() + head.size();
  std::size_t room = packed.size() - head.size();
  std::size_t n;
  if (dictionary) {
    // The blob names its dictionary: the frame need not.
    ZSTD_CCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_dictIDFlag, 0);
    ZSTD_CCtx_refCDict(context.get(), dictionary->compression());
    n = ZSTD_compress2(context.get(), out, room, payload.data(), payload.size());
    ZSTD_CCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
  } else {
    n = ZSTD_compressCCtx(context.get(), out, room, payload.data(), payload.size(), kPackedTextLevel);
  }
  if (ZSTD_isError(n) || n + head.size() >= payload.size() + 1) return "";
  packed.resize(head.size() + n);
  return packed;
}

}  // namespace

std::string pack_texts(const std::vector<std::string_view>& texts,
                       const TextDictionary* dictionary) {
  std::string payload;
  for (std::string_view text : texts) {
    put_length(payload, text.size());
    payload += text;
  }
  if (payload.size() >= kMinCompressed) {
    std::string head(1, dictionary ? 'D' : 'Z');
    if (dictionary) put_length(head, static_cast<std::size_t>(dictionary->id()));
    std::string packed = compressed(payload, head, dictionary);
    if (!packed.empty()) return packed;
  }
  return 'R' + payload;
}

std::string packed_payload(std::string_view blob, TextDictionaries& dictionaries) {
  if (blob.empty()) damaged("empty");
  char tag = blob[0];
  if (tag == 'R') return std::string(blob.substr(1));
  if (tag != 'Z' && tag != 'D') damaged("unknown tag");
  std::size_t at = 1;
  const TextDictionary* dictionary = nullptr;
  if (tag == 'D') {
    std::uint64_t id = take_length(blob, at);
    if (id > static_cast<std::uint64_t>(INT64_MAX)) damaged("bad dictionary id");
    dictionary = dictionaries.find(static_cast<std::int64_t>(id));
    if (!dictionary) damaged("its dictionary is missing");
  }
  std::string_view frame = blob.substr(at);
  unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size > (1ull << 31)) {
    damaged("no frame size");
  }
  thread_local std::unique_ptr<ZSTD_DCtx, ContextDeleter> context(ZSTD_createDCtx());
  std::string inflated(static_cast<std::size_t>(size), '\0');
  std::size_t n =
      dictionary ? ZSTD_decompress_usingDDict(context.get(), inflated.data(), inflated.size(),
                                              frame.data(), frame.size(),
                                              dictionary->decompression())
                 : ZSTD_decompressDCtx(context.get(), inflated.data(), inflated.size(),
                                       frame.data(), frame.size());
  if (ZSTD_isError(n) || n != inflated.size()) damaged("bad frame");
  return inflated;
}

std::vector<std::string> unpack_texts(std::string_view blob, TextDictionaries& dictionaries) {
  std::string inflated;
  std::string_view payload;
  if (!blob.empty() && blob[0] == 'R') {
    payload = blob.substr(1);
  } else {
    inflated = packed_payload(blob, dictionaries);
    payload = inflated;
  }
  std::vector<std::string> texts;
  std::size_t at = 0;
  while (at < payload.size()) {
    std::uint64_t n = take_length(payload, at);
    if (n > payload.size() - at) damaged("text past its end");
    texts.emplace_back(payload.substr(at, static_cast<std::size_t>(n)));
    at += static_cast<std::size_t>(n);
  }
  return texts;
}

}  // namespace vantory::backend
