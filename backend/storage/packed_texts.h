// Several texts packed into one blob, compressed with zstd when that makes it
// smaller: how the store keeps the texts of a chunk (its record, its content,
// the texts the keyword index was given) once, in one column.
//
// Layout: one tag byte, 'R' (raw) or 'Z' (a zstd frame follows); the payload is
// each text as its length (LEB128) followed by its bytes.
//
// Thread-safe: pure functions (each thread keeps its own compression context).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantory::backend {

// The blob of `texts`.
std::string pack_texts(const std::vector<std::string_view>& texts);

// The texts of a blob made by pack_texts. Throws RuntimeError for a damaged
// blob.
std::vector<std::string> unpack_texts(std::string_view blob);

}  // namespace vantory::backend
