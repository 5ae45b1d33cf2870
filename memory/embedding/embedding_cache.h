// The in-memory embedding cache: an insertion-ordered map from cache key to vector.
//
// Sized for hundreds of thousands of entries of a few KB each: a key of 16 lower-case hex
// digits, the form every key made by the client has, is held as its 8-byte value; any other
// key (a cache file may hold one) is kept as text. Per entry the map adds well under a
// hundred bytes to the vector's own block.
//
// Thread safety: none; the client guards its cache with its lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "memory/embedding/python_vector.h"

namespace vantory {

class EmbeddingCache {
 public:
  // The value of a key of exactly 16 lower-case hex digits; nullopt for any other key.
  static std::optional<std::uint64_t> pack_key(std::string_view key);

  // The 16-digit text of a packed key.
  static std::string unpack_key(std::uint64_t packed);

  // The vector stored under the key, or nullptr. The pointer is valid until the next change.
  const PythonVector* find(std::uint64_t packed_key) const;
  const PythonVector* find(std::string_view key) const;

  // Stores `vector` under the key. A key already present keeps its position and gets the new
  // vector.
  void insert_or_assign(std::uint64_t packed_key, PythonVector vector);
  void insert_or_assign(std::string_view key, PythonVector vector);

  // Number of entries.
  std::size_t size() const { return slots_.size(); }

  // Removes every entry.
  void clear();

  // Calls `visit(key, vector)` for every entry in insertion order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    char text[16];
    for (const Slot& slot : slots_) {
      if (slot.other_key == kPacked) {
        write_key(slot.packed_key, text);
        visit(std::string_view(text, 16), slot.vector);
      } else {
        visit(std::string_view(other_keys_[slot.other_key]), slot.vector);
      }
    }
  }

 private:
  static constexpr std::uint32_t kPacked = UINT32_MAX;

  struct Slot {
    std::uint64_t packed_key;
    std::uint32_t other_key;  // index into other_keys_, or kPacked
    PythonVector vector;
  };

  static void write_key(std::uint64_t packed, char* text);

  std::vector<Slot> slots_;
  std::unordered_map<std::uint64_t, std::uint32_t> packed_index_;
  std::vector<std::string> other_keys_;
  std::unordered_map<std::string, std::uint32_t> other_index_;
};

}  // namespace vantory
