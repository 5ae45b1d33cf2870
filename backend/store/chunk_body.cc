#include "backend/store/chunk_body.h"

#include "backend/storage/packed_texts.h"
#include "common/error.h"
#include "common/json_text.h"

namespace vantory::backend {

namespace {

// The second text of a body names the moved values, a letter each ('1' for the content, as
// bodies have always said it).
std::string moved_flags(MovedValues moved) {
  std::string flags;
  if (moved.content) flags += '1';
  if (moved.keywords) flags += 'k';
  if (moved.hash_id) flags += 'h';
  if (moved.keywords_unindexed) flags += 'x';
  return flags;
}

MovedValues read_moved_flags(std::string_view flags) {
  MovedValues moved;
  for (char flag : flags) {
    switch (flag) {
      case '1': moved.content = true; break;
      case 'k': moved.keywords = true; break;
      case 'h': moved.hash_id = true; break;
      case 'x': moved.keywords_unindexed = true; break;
      default: throw RuntimeError("a stored chunk's body names an unknown moved value");
    }
  }
  return moved;
}

}  // namespace

std::string pack_chunk_body(std::string_view record, MovedValues moved,
                            const ChunkSearchText& text, const TextDictionary* dictionary) {
  return pack_texts({record, moved_flags(moved), text.name, text.summary, text.keywords,
                     text.content, text.subwords, text.path},
                    dictionary);
}

ChunkBody unpack_chunk_body(std::string_view blob, TextDictionaries& dictionaries) {
  std::vector<std::string> texts = unpack_texts(blob, dictionaries);
  if (texts.size() != 8) throw RuntimeError("a stored chunk's body has the wrong number of texts");
  ChunkBody body;
  body.record = std::move(texts[0]);
  body.moved = read_moved_flags(texts[1]);
  body.text.name = std::move(texts[2]);
  body.text.summary = std::move(texts[3]);
  body.text.keywords = std::move(texts[4]);
  body.text.content = std::move(texts[5]);
  body.text.subwords = std::move(texts[6]);
  body.text.path = std::move(texts[7]);
  return body;
}

ChunkSearchText indexed_text(const ChunkBody& body) {
  ChunkSearchText text = body.text;
  if (body.moved.keywords_unindexed) text.keywords.clear();
  return text;
}

Json chunk_record(const ChunkBody& body, const std::optional<std::string>& row_hash_id) {
  Json chunk = parse_json(body.record);
  if (body.moved.content) chunk["content"] = body.text.content;
  if (body.moved.keywords) {
    Json keywords = Json::array();
    std::string_view words = body.text.keywords;
    while (!words.empty()) {
      std::size_t space = words.find(' ');
      keywords.push_back(std::string(words.substr(0, space)));
      words = space == std::string_view::npos ? std::string_view() : words.substr(space + 1);
    }
    chunk["keywords"] = std::move(keywords);
  }
  if (body.moved.hash_id) {
    if (!row_hash_id) throw RuntimeError("a stored chunk's hash id is missing from its row");
    chunk["hash_id"] = *row_hash_id;
  }
  return chunk;
}

void put_in_file(Json& record, const std::string& file_path) {
  if (!record.is_object()) return;
  auto it = record.find("file_path");
  if (it != record.end()) *it = file_path;
}

ChunkBody body_in_file(ChunkBody body, const std::string& file_path) {
  Json record = parse_json(body.record);
  put_in_file(record, file_path);
  body.record = dump_json(record);
  body.text.path = path_terms(file_path);
  return body;
}

}  // namespace vantory::backend
