#include "backend/store/chunk_body.h"

#include "backend/storage/packed_texts.h"
#include "common/error.h"
#include "common/json_text.h"

namespace vantory::backend {

std::string pack_chunk_body(std::string_view record, bool content_moved,
                            const ChunkSearchText& text, const TextDictionary* dictionary) {
  return pack_texts({record, content_moved ? "1" : "", text.name, text.summary, text.keywords,
                     text.content, text.subwords, text.path},
                    dictionary);
}

ChunkBody unpack_chunk_body(std::string_view blob, TextDictionaries& dictionaries) {
  std::vector<std::string> texts = unpack_texts(blob, dictionaries);
  if (texts.size() != 8) throw RuntimeError("a stored chunk's body has the wrong number of texts");
  ChunkBody body;
  body.record = std::move(texts[0]);
  body.content_moved = !texts[1].empty();
  body.text.name = std::move(texts[2]);
  body.text.summary = std::move(texts[3]);
  body.text.keywords = std::move(texts[4]);
  body.text.content = std::move(texts[5]);
  body.text.subwords = std::move(texts[6]);
  body.text.path = std::move(texts[7]);
  return body;
}

Json chunk_record(const ChunkBody& body) {
  Json chunk = parse_json(body.record);
  if (body.content_moved) chunk["content"] = body.text.content;
  return chunk;
}

}  // namespace vantory::backend
