// The body of a stored chunk: its record (as JSON text, with a string content
// taken out), its content, and the texts the keyword index was given for it,
// packed into one blob (packed_texts.h). Each text is kept once: the keyword
// index holds no copy (it is contentless), and what it needs to forget a chunk
// is read back from here.
//
// Thread-safe: packing is a pure function; see unpack_chunk_body.
#pragma once

#include <string>
#include <string_view>

#include "backend/text/search_text.h"
#include "common/json.h"

namespace vantory::backend {

class TextDictionary;
class TextDictionaries;

struct ChunkBody {
  std::string record;          // the record's JSON text, "content" written as null when moved
  bool content_moved = false;  // the record's content is text.content
  ChunkSearchText text;        // the keyword-index texts; text.content is the content
};

// Compressed with `dictionary` when one is given.
std::string pack_chunk_body(std::string_view record, bool content_moved,
                            const ChunkSearchText& text,
                            const TextDictionary* dictionary = nullptr);

// Throws RuntimeError for a damaged blob. Called by the thread that uses the database of
// `dictionaries`.
ChunkBody unpack_chunk_body(std::string_view blob, TextDictionaries& dictionaries);

// The chunk record the body holds.
Json chunk_record(const ChunkBody& body);

}  // namespace vantory::backend
