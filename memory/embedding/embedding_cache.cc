#include "memory/embedding/embedding_cache.h"

#include <utility>

namespace vantory {

std::optional<std::uint64_t> EmbeddingCache::pack_key(std::string_view key) {
  if (key.size() != 16) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : key) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
    value = (value << 4) | digit;
  }
  return value;
}

void EmbeddingCache::write_key(std::uint64_t packed, char* text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    text[i] = kHex[packed & 0xF];
    packed >>= 4;
  }
}

std::string EmbeddingCache::unpack_key(std::uint64_t packed) {
  std::string text(16, '0');
  write_key(packed, text.data());
  return text;
}

const PythonVector* EmbeddingCache::find(std::uint64_t packed_key) const {
  auto it = packed_index_.find(packed_key);
  return it == packed_index_.end() ? nullptr : &slots_[it->second].vector;
}

const PythonVector* EmbeddingCache::find(std::string_view key) const {
  if (auto packed = pack_key(key)) return find(*packed);
  auto it = other_index_.find(std::string(key));
  return it == other_index_.end() ? nullptr : &slots_[it->second].vector;
}

// The slot goes in before its index entry, and comes out again if indexing fails, so a
// failed insertion leaves the map as it was.
void EmbeddingCache::insert_or_assign(std::uint64_t packed_key, PythonVector vector) {
  if (auto it = packed_index_.find(packed_key); it != packed_index_.end()) {
    slots_[it->second].vector = std::move(vector);
    return;
  }
  slots_.push_back(Slot{packed_key, kPacked, std::move(vector)});
  try {
    packed_index_.emplace(packed_key, static_cast<std::uint32_t>(slots_.size() - 1));
  } catch (...) {
    slots_.pop_back();
    throw;
  }
}

void EmbeddingCache::insert_or_assign(std::string_view key, PythonVector vector) {
  if (auto packed = pack_key(key)) {
    insert_or_assign(*packed, std::move(vector));
    return;
  }
  std::string text(key);
  if (auto it = other_index_.find(text); it != other_index_.end()) {
    slots_[it->second].vector = std::move(vector);
    return;
  }
  other_keys_.push_back(text);
  try {
    slots_.push_back(
        Slot{0, static_cast<std::uint32_t>(other_keys_.size() - 1), std::move(vector)});
  } catch (...) {
    other_keys_.pop_back();
    throw;
  }
  try {
    other_index_.emplace(std::move(text), static_cast<std::uint32_t>(slots_.size() - 1));
  } catch (...) {
    slots_.pop_back();
    other_keys_.pop_back();
    throw;
  }
}

void EmbeddingCache::clear() {
  slots_.clear();
  slots_.shrink_to_fit();
  packed_index_.clear();
  other_keys_.clear();
  other_index_.clear();
}

}  // namespace vantory
