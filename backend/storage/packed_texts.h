// Several texts packed into one blob, compressed with zstd when that makes it
// smaller: how the store keeps the texts of a chunk (its record, its content,
// the texts the keyword index was given) once, in one column.
//
// Layout: one tag byte, 'R' (raw), 'Z' (a zstd frame follows) or 'D' (the id of
// the dictionary the frame was compressed with, LEB128, then the frame); the
// payload is each text as its length (LEB128) followed by its bytes.
//
// Thread-safe: each thread keeps its own compression contexts; unpacking a blob
// of a dictionary not read yet reads it on the thread that uses the database.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantory::backend {

class TextDictionary;
class TextDictionaries;

// The blob of `texts`, compressed with `dictionary` when one is given.
std::string pack_texts(const std::vector<std::string_view>& texts,
                       const TextDictionary* dictionary = nullptr);

// The texts of a blob made by pack_texts, whose dictionary, if any, is one of
// `dictionaries`. Throws RuntimeError for a damaged blob or an unknown dictionary.
std::vector<std::string> unpack_texts(std::string_view blob, TextDictionaries& dictionaries);

// The payload of a blob (its texts with their lengths), as it was before compression.
std::string packed_payload(std::string_view blob, TextDictionaries& dictionaries);

}  // namespace vantory::backend
