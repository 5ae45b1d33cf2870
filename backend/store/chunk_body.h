// The body of a stored chunk: its record (as JSON text, with a string content
// taken out), its content, and the texts the keyword index was given for it,
// packed into one blob (packed_texts.h). Each text is kept once: the keyword
// index holds no copy (it is contentless), and what it needs to forget a chunk
// is read back from here. Values that the body or the chunk's row already hold
// are written as null in the record text and put back when it is read: the
// content, the keywords when they are the keyword text's words, and the hash id
// when it is the row's.
//
// Thread-safe: packing is a pure function; see unpack_chunk_body.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "backend/text/search_text.h"
#include "common/json.h"

namespace vantory::backend {

class TextDictionary;
class TextDictionaries;

// Which values of the record text are written as null, to be taken from elsewhere.
struct MovedValues {
  bool content = false;   // the record's content is text.content
  bool keywords = false;  // its keywords are the words of text.keywords
  bool hash_id = false;   // its hash_id is the chunk row's
  // text.keywords stays out of the keyword index: the keywords are the record's identifiers
  // and their sub-words, which the content and sub-word texts hold already. Bodies stored
  // before kept them in the index too.
  bool keywords_unindexed = false;
};

struct ChunkBody {
  std::string record;  // the record's JSON text, the moved values written as null
  MovedValues moved;
  ChunkSearchText text;  // the keyword-index texts; text.content is the content
};

// Compressed with `dictionary` when one is given.
std::string pack_chunk_body(std::string_view record, MovedValues moved,
                            const ChunkSearchText& text,
                            const TextDictionary* dictionary = nullptr);

// Throws RuntimeError for a damaged blob. Called by the thread that uses the database of
// `dictionaries`.
ChunkBody unpack_chunk_body(std::string_view blob, TextDictionaries& dictionaries);

// The texts the keyword index holds for `body`: what it is told to forget.
ChunkSearchText indexed_text(const ChunkBody& body);

// The chunk record the body holds; `row_hash_id` is the hash id of the chunk's row. Throws
// RuntimeError for a body whose hash id was moved to a row that has none.
Json chunk_record(const ChunkBody& body, const std::optional<std::string>& row_hash_id);

// A chunk of a copy of a file reads the body of the original's chunk (schema.h), whose record
// names the original's file: `record`, or `body`, is put in the file `file_path` instead. Only
// a record that names a file changes, as the cached chunker hands on a copy's records.
void put_in_file(Json& record, const std::string& file_path);
ChunkBody body_in_file(ChunkBody body, const std::string& file_path);

}  // namespace vantory::backend
