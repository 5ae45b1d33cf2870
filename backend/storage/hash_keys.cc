#include "backend/storage/hash_keys.h"

#include <array>

#include "backend/storage/database.h"
#include "common/error.h"
#include "common/sha256.h"

namespace vantory::backend {

namespace {

constexpr std::size_t kDigestBytes = 32;

// Per byte: the value of a lowercase hex digit, or 0xff.
constexpr std::array<unsigned char, 256> kHexValues = [] {
  std::array<unsigned char, 256> values{};
  for (unsigned char& value : values) value = 0xff;
  for (int c = '0'; c <= '9'; ++c) {
    values[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c - '0');
  }
  for (int c = 'a'; c <= 'f'; ++c) {
    values[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c - 'a' + 10);
  }
  return values;
}();

// The 32 bytes of a 64-digit lowercase hex id; false for any other text.
bool digest_of(std::string_view text, std::array<unsigned char, kDigestBytes>& digest) {
  if (text.size() != 2 * kDigestBytes) return false;
  unsigned char bad = 0;
  for (std::size_t i = 0; i < kDigestBytes; ++i) {
    unsigned char high = kHexValues[static_cast<unsigned char>(text[2 * i])];
    unsigned char low = kHexValues[static_cast<unsigned char>(text[2 * i + 1])];
    bad |= high | low;
    digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return (bad & 0xf0) == 0;
}

void stored_hash_id(sqlite3_context* context, int, sqlite3_value** values) {
  std::array<unsigned char, kDigestBytes> digest;
  if (sqlite3_value_type(values[0]) == SQLITE_TEXT) {
    const unsigned char* text = sqlite3_value_text(values[0]);
    std::string_view id(reinterpret_cast<const char*>(text),
                        static_cast<std::size_t>(sqlite3_value_bytes(values[0])));
    if (digest_of(id, digest)) {
      sqlite3_result_blob(context, digest.data(), kDigestBytes, SQLITE_TRANSIENT);
      return;
    }
  }
  sqlite3_result_value(context, values[0]);
}

}  // namespace

void bind_hash_id(Statement& st, int index, std::string_view hash_id) {
  std::array<unsigned char, kDigestBytes> digest;
  if (digest_of(hash_id, digest)) {
    st.bind_blob(index, digest.data(), digest.size());
  } else {
    st.bind(index, hash_id);
  }
}

std::optional<std::string> column_hash_id(const Statement& st, int column) {
  if (st.is_null(column)) return std::nullopt;
  if (st.column_type(column) != SQLITE_BLOB) return st.column_text(column);
  return digest_hex(st.column_blob(column));
}

void register_hash_id_function(sqlite3* db) {
  if (sqlite3_create_function(db, "stored_hash_id", 1,
                              SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                              stored_hash_id, nullptr, nullptr) != SQLITE_OK) {
    throw RuntimeError(std::string("cannot register stored_hash_id: ") + sqlite3_errmsg(db));
  }
}

}  // namespace vantory::backend
