#include "backend/store/context_table.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "backend/storage/database.h"
#include "backend/storage/hash_keys.h"
#include "backend/store/chunk_body.h"
#include "backend/text/file_topic.h"
#include "backend/text/search_text.h"
#include "backend/vectors/vector_rows.h"
#include "common/error.h"
#include "common/json_text.h"
#include "common/message_text.h"
#include "common/paths.h"
#include "common/sha256.h"
#include "common/unicode.h"

namespace vantory::backend {

namespace {

// Records are read back with the depth limit of the JSON reader; leave room for the context
// that holds them.
constexpr int kMaxRecordDepth = kMaxJsonDepth - 10;

constexpr const char* kContextColumns =
    "id, file_path, language, context_hash, chunk_count, file_size, file_mtime_ns, file_hash, "
    "indexed_at, access_count, last_access, tokens_served, tokens_baseline, chunk_key, "
    "vectors_complete, revision";

ContextRow read_row(const Statement& st) {
  ContextRow row;
  row.id = st.column_int(0);
  row.file_path = st.column_text(1);
  row.language = st.column_text(2);
  row.context_hash = st.column_text(3);
  row.chunk_count = st.column_int(4);
  row.facts.size = st.column_optional_int(5);
  row.facts.mtime_ns = st.column_optional_int(6);
  row.facts.sha256 = st.column_optional_text(7);
  row.indexed_at = st.column_double(8);
  row.access_count = st.column_int(9);
  if (!st.is_null(10)) row.last_access = st.column_double(10);
  row.tokens_served = st.column_int(11);
  row.tokens_baseline = st.column_int(12);
  row.chunk_key = st.column_optional_text(13);
  row.vectors_complete = st.column_int(14) != 0;
  row.revision = st.column_int(15);
  return row;
}

// Depth of the deepest nesting in `value`, walked without recursion so that a hostile record
// cannot exhaust the stack.
int json_depth(const Json& value) {
  int deepest = 0;
  std::vector<std::pair<const Json*, int>> pending{{&value, 1}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    deepest = std::max(deepest, depth);
    if (deepest > kMaxRecordDepth) return deepest;
    for (const Json& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

const Json& array_member(const Json& context, const char* key) {
  static const Json kEmpty = Json::array();
  auto it = context.find(key);
  if (it == context.end() || it->is_null()) return kEmpty;
  if (!it->is_array()) {
    throw TypeError(std::string("a file context's '") + key + "' must be a list, not " +
                    type_name(*it));
  }
  return *it;
}

std::string string_or(const Json& context, const char* key, const char* fallback) {
  auto it = context.find(key);
  if (it == context.end() || it->is_null()) return fallback;
  if (!it->is_string()) {
    throw TypeError(std::string("a file context's '") + key + "' must be a str, not " +
                    type_name(*it));
  }
  return it->get<std::string>();
}

FileFacts facts_of(const Json& context) {
  FileFacts facts;
  auto size = context.find("file_size");
  if (size != context.end() && size->is_number_integer()) facts.size = size->get<std::int64_t>();
  auto mtime = context.find("file_mtime");
  if (mtime != context.end() && mtime->is_number()) {
    facts.mtime_ns = seconds_to_ns(mtime->get<double>());
  }
  auto hash = context.find("file_hash");
  if (hash != context.end() && hash->is_string()) facts.sha256 = hash->get<std::string>();
  return facts;
}

// Binds the keyword-index texts to parameters 2 to 7, in the order of the
// index's columns.
void bind_search_text(Statement& st, const ChunkSearchText& text) {
  st.bind(2, text.name).bind(3, text.summary).bind(4, text.keywords).bind(5, text.content);
  st.bind(6, text.subwords).bind(7, text.path);
}

std::string hash_id_of(const Json& chunk) {
  auto it = chunk.find("hash_id");
  if (it == chunk.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

// Keywords that the keyword text gives back word for word: strings, none empty, none with a
// space, all valid UTF-8.
bool keywords_movable(const Json& keywords) {
  if (!keywords.is_array()) return false;
  for (const Json& keyword : keywords) {
    if (!keyword.is_string()) return false;
    const std::string& word = keyword.get_ref<const std::string&>();
    if (word.empty() || word.find(' ') != std::string::npos || !is_valid_utf8(word)) return false;
  }
  return true;
}

// The stored text of a chunk record: its JSON with a string content (kept in its own column,
// answered in `content`) written as null, and with `filled_hash`, when not empty, in place of
// a missing, null or empty hash_id. The same text as dump_json of such a copy of the record.
// `movable` tells where the keywords and the hash id the chunk's row will hold are written.
std::string stored_chunk_text(const Json& chunk, const std::string& filled_hash,
                              std::string_view& content, PackedContext::Movable& movable) {
  std::string text = "{";
  bool hash_written = false;
  auto write_hash = [&](const std::string& hash) {
    movable.hash_begin = text.size();
    append_json_string(text, hash);
    movable.hash_end = text.size();
  };
  for (auto it = chunk.begin(); it != chunk.end(); ++it) {
    if (text.size() > 1) text += ", ";
    append_json_string(text, it.key());
    text += ": ";
    if (it.key() == "content" && it->is_string()) {
      content = it->get_ref<const std::string&>();
      text += "null";
    } else if (it.key() == "hash_id" && !filled_hash.empty()) {
      write_hash(filled_hash);
      hash_written = true;
    } else if (it.key() == "hash_id" && it->is_string() &&
               !it->get_ref<const std::string&>().empty()) {
      write_hash(it->get_ref<const std::string&>());
    } else if (it.key() == "keywords" && keywords_movable(*it)) {
      movable.keywords_begin = text.size();
      append_json(text, *it);
      movable.keywords_end = text.size();
    } else {
      append_json(text, *it);
    }
  }
  if (!filled_hash.empty() && !hash_written) {
    if (text.size() > 1) text += ", ";
    text += "\"hash_id\": ";
    write_hash(filled_hash);
  }
  text += '}';
  return text;
}

// `text` with the movable values written as null.
std::string without_movable(const std::string& text, const PackedContext::Movable& movable) {
  std::pair<std::size_t, std::size_t> spans[] = {{movable.keywords_begin, movable.keywords_end},
                                                 {movable.hash_begin, movable.hash_end}};
  if (spans[0].first > spans[1].first) std::swap(spans[0], spans[1]);
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  for (const auto& [begin, end] : spans) {
    if (begin == end) continue;
    out.append(text, at, begin - at);
    out += "null";
    at = end;
  }
  out.append(text, at, std::string::npos);
  return out;
}

Json external_imports(const Json& imports, const std::unordered_set<std::string>& known) {
  Json packages = Json::array();
  std::unordered_set<std::string> seen;
  for (const Json& record : imports) {
    if (!record.is_object()) continue;
    auto module = record.find("module");
    if (module == record.end() || !module->is_string()) continue;
    const std::string& name = module->get_ref<const std::string&>();
    if (name.empty() || name[0] == '.') continue;  // relative: inside the project
    std::string top = name.substr(0, name.find('.'));
    if (top.empty() || known.count(top) || known.count(module_stem(name))) continue;
    if (seen.insert(top).second) packages.push_back(top);
  }
  return packages;
}

}  // namespace

std::string module_stem(const std::string& module) {
  std::size_t dot = module.rfind('.');
  return dot == std::string::npos ? module : module.substr(dot + 1);
}

std::vector<std::string> resolvable_stems(const std::string& file_path) {
  std::string stem(file_stem(base_name(file_path)));
  std::vector<std::string> stems{stem};
  if (stem == "__init__" || stem == "index" || stem == "mod") {
    std::size_t slash = file_path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      stems.emplace_back(base_name(std::string_view(file_path).substr(0, slash)));
    }
  }
  return stems;
}

ContextTable::Loaded ContextTable::load(const std::string& agent_id, Loaded* earlier) {
  std::vector<ContextRow> all = rows(agent_id);
  std::unordered_set<std::string> known;
  for (const ContextRow& row : all) {
    for (std::string& stem : resolvable_stems(row.file_path)) known.insert(std::move(stem));
  }
  std::unordered_map<std::int64_t, std::size_t> reusable;
  if (earlier) {
    for (std::size_t i = 0; i < earlier->ids.size(); ++i) reusable.emplace(earlier->ids[i], i);
  }
  Loaded loaded;
  for (ContextRow& row : all) {
    Json context;
    auto it = reusable.find(row.id);
    if (it != reusable.end() && earlier->revisions[it->second] == row.revision) {
      context = std::move(earlier->contexts[it->second]);
    } else {
      context = read_context(row.id);
    }
    // The files known change with every file indexed or removed: worked out anew each time.
    auto imports = context.find("imports");
    static const Json kNone = Json::array();
    context["external_imports"] =
        external_imports(imports == context.end() ? kNone : *imports, known);
    loaded.contexts.push_back(std::move(context));
    loaded.ids.push_back(row.id);
    loaded.revisions.push_back(row.revision);
    loaded.chunk_keys.push_back(std::move(row.chunk_key));
  }
  return loaded;
}

Json ContextTable::read_context(std::int64_t id) {
  Statement st = db_.prepare("SELECT record FROM contexts WHERE id = ?1");
  st.bind(1, id);
  if (!st.step()) throw RuntimeError("the context row " + std::to_string(id) + " vanished");
  Json context = parse_json(st.column_text_view(0));
  context["chunks"] = chunk_records(id);
  context["imports"] = import_records(id);
  return context;
}

std::optional<ContextRow> ContextTable::find(const std::string& agent_id,
                                             const std::string& file_path) {
  static const std::string sql = std::string("SELECT ") + kContextColumns +
                                 " FROM contexts WHERE agent_id = ?1 AND file_path = ?2";
  Statement st = db_.prepare(sql.c_str());
  st.bind(1, agent_id).bind(2, file_path);
  if (!st.step()) return std::nullopt;
  return read_row(st);
}

std::vector<ContextRow> ContextTable::rows(const std::string& agent_id) {
  static const std::string sql =
      std::string("SELECT ") + kContextColumns + " FROM contexts WHERE agent_id = ?1 ORDER BY seq";
  Statement st = db_.prepare(sql.c_str());
  st.bind(1, agent_id);
  std::vector<ContextRow> out;
  while (st.step()) out.push_back(read_row(st));
  return out;
}

bool ContextTable::key_has_all_vectors(const std::string& agent_id, const std::string& chunk_key) {
  Statement st = db_.prepare(
      "SELECT 1 FROM contexts WHERE chunk_key = ?1 AND agent_id = ?2 AND vectors_complete = 1 "
      "LIMIT 1");
  st.bind(1, chunk_key).bind(2, agent_id);
  return st.step();
}

Json ContextTable::chunk_records(std::int64_t context_id, const std::string* file_path) {
  Statement st = db_.prepare(
      "SELECT COALESCE(o.body, c.body), c.hash_id, c.body_of IS NOT NULL, x.file_path "
      "FROM chunks c JOIN contexts x ON x.id = c.context_id "
      "LEFT JOIN chunks o ON o.id = c.body_of WHERE c.context_id = ?1 ORDER BY c.ord");
  st.bind(1, context_id);
  Json chunks = Json::array();
  while (st.step()) {
    Json record = chunk_record(unpack_chunk_body(st.column_blob(0), db_.text_dictionaries()),
                               column_hash_id(st, 1));
    if (file_path) {
      put_in_file(record, *file_path);
    } else if (st.column_int(2) != 0) {
      put_in_file(record, st.column_text(3));
    }
    chunks.push_back(std::move(record));
  }
  return chunks;
}

Json ContextTable::import_records(std::int64_t context_id) {
  Statement st = db_.prepare("SELECT record FROM imports WHERE context_id = ?1 ORDER BY ord");
  st.bind(1, context_id);
  Json imports = Json::array();
  while (st.step()) imports.push_back(parse_json(st.column_text_view(0)));
  return imports;
}

std::vector<std::string> ContextTable::chunk_hashes(std::int64_t context_id) {
  Statement st = db_.prepare(
      "SELECT DISTINCT hash_id FROM chunks WHERE context_id = ?1 AND hash_id IS NOT NULL");
  st.bind(1, context_id);
  std::vector<std::string> hashes;
  while (st.step()) hashes.push_back(*column_hash_id(st, 0));
  return hashes;
}

void ContextTable::forget_chunks(const char* select_sql, std::int64_t id,
                                 const std::string& agent_id) {
  // The keyword index keeps no copy of the texts: it is told what to forget
  // from the bodies.
  Statement st = db_.prepare(select_sql);
  if (agent_id.empty()) {
    st.bind(1, id);
  } else {
    st.bind(1, agent_id);
  }
  while (st.step()) {
    if (!st.is_null(2)) continue;  // a copy's chunk: the index holds its original's
    ChunkBody body = unpack_chunk_body(st.column_blob(1), db_.text_dictionaries());
    keyword_write(true, st.column_int(0), indexed_text(body));
    // The copies keep what they read, unless the whole agent goes with them.
    if (agent_id.empty()) hand_body_to_copy(st.column_int(0), std::move(body));
  }
}

void ContextTable::hand_body_to_copy(std::int64_t chunk_id, ChunkBody body) {
  Statement first = db_.prepare(
      "SELECT c.id, x.file_path FROM chunks c JOIN contexts x ON x.id = c.context_id "
      "WHERE c.body_of = ?1 ORDER BY c.id LIMIT 1");
  first.bind(1, chunk_id);
  if (!first.step()) return;
  std::int64_t heir = first.column_int(0);
  body = body_in_file(std::move(body), first.column_text(1));
  std::string blob =
      pack_chunk_body(body.record, body.moved, body.text, db_.text_dictionaries().current().get());
  Statement own = db_.prepare("UPDATE chunks SET body = ?2, body_of = NULL WHERE id = ?1");
  own.bind(1, heir).bind_blob(2, blob.data(), blob.size());
  own.run();
  db_.prepare("UPDATE chunks SET body_of = ?2 WHERE body_of = ?1")
      .bind(1, chunk_id)
      .bind(2, heir)
      .run();
  // The heir's file read its words where it read its bodies: it holds them now.
  db_.prepare(
         "UPDATE contexts SET words = (SELECT x.words FROM chunks o JOIN contexts x "
         "ON x.id = o.context_id WHERE o.id = ?2) "
         "WHERE id = (SELECT context_id FROM chunks WHERE id = ?1) AND words IS NULL")
      .bind(1, heir)
      .bind(2, chunk_id)
      .run();
  keyword_write(false, heir, indexed_text(body));
}

namespace {

std::size_t text_bytes(const ChunkSearchText& text) {
  return text.name.size() + text.summary.size() + text.keywords.size() + text.content.size() +
         text.subwords.size() + text.path.size();
}

}  // namespace

void ContextTable::keyword_write(bool remove, std::int64_t rowid, const ChunkSearchText& text) {
  if (holding_) {
    held_.push_back({remove, rowid, text});
    held_bytes_ += text_bytes(text);
    return;
  }
  Statement fts = db_.prepare(
      remove ? "INSERT INTO chunk_fts(chunk_fts, rowid, fts_name, summary, keywords, content, "
               "subwords, path_terms) VALUES('delete', ?1, ?2, ?3, ?4, ?5, ?6, ?7)"
             : "INSERT INTO chunk_fts(rowid, fts_name, summary, keywords, content, subwords, "
               "path_terms) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  bind_search_text(fts.bind(1, rowid), text);
  fts.run();
}

void ContextTable::hold_keyword_writes() { holding_ = true; }

void ContextTable::apply_keyword_writes() {
  holding_ = false;
  if (held_.empty()) return;
  // All or none: writes run halfway would leave chunks that the keyword index half knows.
  db_.exec("SAVEPOINT keyword_writes");
  try {
    for (const KeywordWrite& write : held_) keyword_write(write.remove, write.rowid, write.text);
    db_.exec("RELEASE keyword_writes");
  } catch (...) {
    holding_ = true;
    try {
      db_.exec("ROLLBACK TO keyword_writes; RELEASE keyword_writes");
    } catch (...) {  // the caller rolls the whole transaction back
    }
    throw;
  }
  held_.clear();
  held_bytes_ = 0;
}

void ContextTable::discard_keyword_writes() noexcept {
  held_.clear();
  held_bytes_ = 0;
  holding_ = false;
}

void ContextTable::delete_children(std::int64_t context_id) {
  forget_chunks("SELECT id, body, body_of FROM chunks WHERE context_id = ?1", context_id, "");
  db_.prepare("DELETE FROM chunks WHERE context_id = ?1").bind(1, context_id).run();
  db_.prepare("DELETE FROM imports WHERE context_id = ?1").bind(1, context_id).run();
}

namespace {

// Refuses records that cannot be stored and read back.
void check_records(const std::string& file_path, const Json& chunks, const Json& imports) {
  for (const Json& chunk : chunks) {
    if (!chunk.is_object()) {
      throw TypeError(std::string("a chunk record must be a dict, not ") + type_name(chunk));
    }
    if (json_depth(chunk) > kMaxRecordDepth) {
      throw ValueError("a chunk record of " + file_path + " is nested deeper than " +
                       std::to_string(kMaxRecordDepth) + " levels");
    }
  }
  for (const Json& record : imports) {
    if (json_depth(record) > kMaxRecordDepth) {
      throw ValueError("an import record of " + file_path + " is nested too deeply");
    }
  }
}

// The topic (file_topic.h) of a file in `language` whose chunk records are `chunks`: that of
// the chunk that starts at its first line, if any.
std::string opening_topic(const Json& chunks, const std::string& language) {
  for (const Json& chunk : chunks) {
    auto line = chunk.find("start_line");
    auto content = chunk.find("content");
    if (line == chunk.end() || *line != 1) continue;
    if (content == chunk.end() || !content->is_string()) return {};
    return file_topic(content->get_ref<const std::string&>(), language);
  }
  return {};
}

}  // namespace

PackedContext ContextTable::pack(const ContextWrite& context, const TextDictionary* dictionary,
                                 bool bodies) {
  PackedContext packed = hash_context(context);
  if (bodies) pack_bodies(context, packed, dictionary);
  return packed;
}

PackedContext ContextTable::hash_context(const ContextWrite& context) {
  check_records(context.file_path, context.chunks, context.imports);
  // The context hash covers what the file holds, not when it was indexed, so re-indexing an
  // unchanged file leaves snapshots seeing it unmodified.
  PackedContext packed;
  // The digest of: the path, the language, each chunk's stored text and content, and each
  // import record, each followed by a NUL.
  Sha256 hashed;
  hashed.update(context.file_path).update('\0').update(context.language).update('\0');
  packed.bodies.reserve(context.chunks.size());
  packed.movable.resize(context.chunks.size());
  for (std::size_t i = 0; i < context.chunks.size(); ++i) {
    std::string_view content;
    packed.bodies.push_back(
        stored_chunk_text(context.chunks[i], filled_hash(context, i), content, packed.movable[i]));
    hashed.update(packed.bodies.back()).update('\0').update(content).update('\0');
  }
  packed.imports.reserve(context.imports.size());
  for (const Json& import : context.imports) {
    packed.imports.push_back(dump_json(import));
    hashed.update(packed.imports.back()).update('\0');
  }
  packed.context_hash = hashed.hex();
  return packed;
}

void ContextTable::pack_bodies(const ContextWrite& context, PackedContext& packed,
                               const TextDictionary* dictionary) {
  packed.search_texts.reserve(context.chunks.size());
  FileWords file_words;
  const std::string path_words = path_terms(context.file_path);
  const std::string topic = opening_topic(context.chunks, context.language);
  for (const Json& chunk : context.chunks) {
    auto content = chunk.find("content");
    if (content != chunk.end() && content->is_string())
      file_words.add_text(content->get_ref<const std::string&>());
  }
  for (std::size_t i = 0; i < context.chunks.size(); ++i) {
    const Json& chunk = context.chunks[i];
    auto content = chunk.find("content");
    const PackedContext::Movable& movable = packed.movable[i];
    MovedValues moved;
    moved.content = content != chunk.end() && content->is_string();
    moved.keywords = movable.keywords_end > movable.keywords_begin;
    moved.hash_id = movable.hash_end > movable.hash_begin;
    moved.keywords_unindexed = true;
    packed.search_texts.push_back(chunk_search_text(chunk, path_words, &file_words, topic));
    packed.bodies[i] = pack_chunk_body(without_movable(packed.bodies[i], movable), moved,
                                       packed.search_texts.back(), dictionary);
    packed.search_texts.back().keywords.clear();  // what the keyword index is given
  }
  WordFilter words = file_words.filter();
  packed.word_count = static_cast<std::int64_t>(words.size());
  if (packed.word_count > 0) packed.words = words.bytes();
  packed.bodies_packed = true;
}

const std::string& ContextTable::filled_hash(const ContextWrite& context, std::size_t i) {
  static const std::string none;
  return i < context.hash_ids.size() ? context.hash_ids[i] : none;
}

void ContextTable::note_unchanged(const ContextRow& existing, const ContextWrite& context) {
  bool learns_key = context.chunk_key && context.chunk_key != existing.chunk_key;
  bool learns_vectors = context.vectors_complete && !existing.vectors_complete;
  if (!learns_key && !learns_vectors) return;
  db_.prepare(
         "UPDATE contexts SET chunk_key = COALESCE(?2, chunk_key), "
         "vectors_complete = MAX(vectors_complete, ?3) WHERE id = ?1")
      .bind(1, existing.id)
      .bind(2, context.chunk_key)
      .bind(3, static_cast<std::int64_t>(context.vectors_complete))
      .run();
}

namespace {

// Binds the words of `packed` (none without it) at `index` and their count at `index` + 1.
void bind_words(Statement& st, int index, const PackedContext* packed) {
  if (packed == nullptr || packed->words.empty()) {
    st.bind_null(index).bind(index + 1, std::int64_t{0});
  } else {
    st.bind_blob(index, packed->words.data(), packed->words.size());
    st.bind(index + 1, packed->word_count);
  }
}

}  // namespace

std::int64_t ContextTable::write_context_row(const std::string& agent_id,
                                             const std::optional<ContextRow>& existing,
                                             const ContextWrite& context,
                                             const std::string& context_hash,
                                             const PackedContext* words) {
  std::string record_text = dump_json(context.record);
  auto chunk_count = static_cast<std::int64_t>(context.chunks.size());
  const FileFacts& facts = context.facts;
  if (existing) {
    Statement st = db_.prepare(
        "UPDATE contexts SET language = ?2, record = "
        "?3, context_hash = ?4, chunk_count = ?5, "
        "file_size = ?6, file_mtime_ns = ?7, file_hash "
        "= ?8, indexed_at = ?9, chunk_key = ?10, "
        "vectors_complete = ?11, revision = (SELECT "
        "generation + 1 FROM agents WHERE agent_id = "
        "?12), words = CASE WHEN ?13 THEN ?14 ELSE words END, "
        "word_count = CASE WHEN ?13 THEN ?15 ELSE word_count END WHERE id = ?1");
    st.bind(1, existing->id).bind(2, context.language).bind(3, record_text);
    st.bind(4, context_hash).bind(5, chunk_count).bind(6, facts.size).bind(7, facts.mtime_ns);
    st.bind(8, facts.sha256).bind(9, context.indexed_at).bind(10, context.chunk_key);
    st.bind(11, static_cast<std::int64_t>(context.vectors_complete)).bind(12, agent_id);
    st.bind(13, static_cast<std::int64_t>(words != nullptr));
    bind_words(st, 14, words);
    st.run();
    return existing->id;
  }
  Statement st = db_.prepare(
      "INSERT INTO contexts(agent_id, seq, file_path, language, "
      "record, context_hash, "
      "chunk_count, file_size, file_mtime_ns, file_hash, "
      "indexed_at, chunk_key, "
      "vectors_complete, revision, words, word_count) VALUES(?1, "
      "(SELECT COALESCE(MAX(seq), -1) + 1 FROM contexts WHERE "
      "agent_id = ?1), ?2, ?3, ?4, "
      "?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, "
      "(SELECT generation + 1 FROM agents WHERE agent_id = ?1), ?13, ?14)");
  st.bind(1, agent_id).bind(2, context.file_path).bind(3, context.language).bind(4, record_text);
  st.bind(5, context_hash).bind(6, chunk_count).bind(7, facts.size).bind(8, facts.mtime_ns);
  st.bind(9, facts.sha256).bind(10, context.indexed_at).bind(11, context.chunk_key);
  st.bind(12, static_cast<std::int64_t>(context.vectors_complete));
  bind_words(st, 13, words);
  st.run();
  return db_.last_insert_rowid();
}

void ContextTable::read_words_of_original(std::int64_t context_id, std::int64_t shared_chunk) {
  db_.prepare(
         "UPDATE contexts SET words = NULL, word_count = (SELECT x.word_count FROM chunks c "
         "JOIN contexts x ON x.id = c.context_id WHERE c.id = ?2) WHERE id = ?1")
      .bind(1, context_id)
      .bind(2, shared_chunk)
      .run();
}

std::vector<std::int64_t> ContextTable::bodies_to_share(const std::string& agent_id,
                                                        std::int64_t context_id,
                                                        const ContextWrite& context) {
  if (!context.chunk_key || context.chunks.empty()) return {};
  // What the chunker made of one text, put in another file: the records differ by their
  // file's path alone (ChunkCache).
  Statement st = db_.prepare(
      "SELECT COALESCE(c.body_of, c.id), c.hash_id FROM chunks c WHERE c.context_id = "
      "(SELECT id FROM contexts WHERE chunk_key = ?1 AND agent_id = ?2 AND id != ?3 LIMIT 1) "
      "ORDER BY c.ord");
  st.bind(1, *context.chunk_key).bind(2, agent_id).bind(3, context_id);
  std::vector<std::int64_t> bodies;
  while (st.step()) {
    std::size_t i = bodies.size();
    if (i >= context.chunks.size()) return {};
    const std::string& filled = filled_hash(context, i);
    std::string hash_id = filled.empty() ? hash_id_of(context.chunks[i]) : filled;
    std::optional<std::string> stored = column_hash_id(st, 1);
    if (hash_id.empty() ? stored.has_value() : stored != hash_id) return {};
    bodies.push_back(st.column_int(0));
  }
  if (bodies.size() != context.chunks.size()) return {};
  return bodies;
}

std::unordered_set<std::string> ContextTable::insert_chunks(
    const std::string& agent_id, std::int64_t context_id, const ContextWrite& context,
    const PackedContext& packed, const std::vector<std::int64_t>& shared) {
  std::unordered_set<std::string> hashes;
  for (std::size_t i = 0; i < context.chunks.size(); ++i) {
    const std::string& filled = filled_hash(context, i);
    std::string hash_id = filled.empty() ? hash_id_of(context.chunks[i]) : filled;
    if (!hash_id.empty()) hashes.insert(hash_id);
    Statement st = db_.prepare(
        "INSERT INTO chunks(context_id, agent_id, ord, hash_id, body, body_of) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    st.bind(1, context_id).bind(2, agent_id).bind(3, static_cast<std::int64_t>(i));
    if (hash_id.empty()) {
      st.bind_null(4);
    } else {
      bind_hash_id(st, 4, hash_id);
    }
    if (!shared.empty()) {
      st.bind_blob(5, "", 0).bind(6, shared[i]);
      st.run();
      continue;
    }
    const std::string& body = packed.bodies[i];
    st.bind_blob(5, body.data(), body.size());
    st.bind_null(6);
    st.run();
    keyword_write(false, db_.last_insert_rowid(), packed.search_texts[i]);
  }
  return hashes;
}

void ContextTable::insert_imports(const std::string& agent_id, std::int64_t context_id,
                                  const ContextWrite& context, const PackedContext& packed) {
  for (std::size_t i = 0; i < context.imports.size(); ++i) {
    const Json& import = context.imports[i];
    std::string module;
    if (import.is_object()) {
      auto it = import.find("module");
      if (it != import.end() && it->is_string()) module = it->get<std::string>();
    }
    Statement st = db_.prepare(
        "INSERT INTO imports(context_id, ord, agent_id, module, stem, record) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    st.bind(1, context_id).bind(2, static_cast<std::int64_t>(i)).bind(3, agent_id);
    st.bind(4, module).bind(5, module_stem(module)).bind(6, packed.imports[i]);
    st.run();
  }
}

void ContextTable::write_global_entry(const std::string& agent_id, const ContextWrite& context,
                                      const std::string& context_hash) {
  Json entry = {{"language", context.language},
                {"chunk_count", context.chunks.size()},
                {"context_hash", context_hash},
                {"indexed_at", context.indexed_at}};
  db_.prepare("INSERT OR REPLACE INTO global_index(agent_id, file_path, entry) VALUES(?1, ?2, ?3)")
      .bind(1, agent_id)
      .bind(2, context.file_path)
      .bind(3, dump_json(entry))
      .run();
}

std::vector<std::string> ContextTable::put(const std::string& agent_id, const Json& context) {
  if (!context.is_object()) {
    throw TypeError(std::string("a file context must be a dict, not ") + type_name(context));
  }
  std::string file_path = string_or(context, "file_path", "");
  std::string language = string_or(context, "language", "unknown");
  const Json& chunks = array_member(context, "chunks");
  const Json& imports = array_member(context, "imports");
  auto indexed = context.find("indexed_at");
  double indexed_at =
      indexed != context.end() && indexed->is_number() ? indexed->get<double>() : now_seconds();

  Json record = Json::object();
  for (const auto& [key, value] : context.items()) {
    bool split_off = key == "chunks" || key == "imports" || key == "external_imports";
    record[key] = split_off ? Json(nullptr) : value;
  }
  for (const char* key : {"chunks", "imports", "external_imports"}) {
    if (!record.contains(key)) record[key] = nullptr;
  }
  record["file_path"] = file_path;
  return put(agent_id, ContextWrite{std::move(file_path),
                                    std::move(language),
                                    chunks,
                                    {},
                                    imports,
                                    facts_of(context),
                                    indexed_at,
                                    std::move(record),
                                    std::nullopt,
                                    false});
}

std::vector<std::string> ContextTable::put(const std::string& agent_id,
                                           const ContextWrite& context) {
  ensure_agent(agent_id);
  std::optional<ContextRow> existing = find(agent_id, context.file_path);
  bool same_file =
      existing && existing->language == context.language && existing->facts == context.facts;
  // A chunk key names one array of records, and the imports follow from the same file: the
  // stored context is this one, and nothing needs to be written or even compared.
  if (context.chunk_key && same_file && existing->chunk_key == context.chunk_key) {
    note_unchanged(*existing, context);
    std::vector<std::string> hashes;
    std::unordered_set<std::string> seen;
    for (std::size_t i = 0; i < context.chunks.size(); ++i) {
      const std::string& filled = filled_hash(context, i);
      std::string hash = filled.empty() ? hash_id_of(context.chunks[i]) : filled;
      if (!hash.empty() && seen.insert(hash).second) hashes.push_back(std::move(hash));
    }
    return hashes;
  }
  // Without texts packed ahead, an unchanged context is known by its hash before anything
  // is packed.
  std::optional<PackedContext> own;
  if (!context.packed) own = hash_context(context);
  const PackedContext* packed = context.packed ? context.packed : &*own;
  if (existing && existing->context_hash == packed->context_hash) {
    // Re-indexing an unchanged file writes nothing readers see, so their caches stay
    // valid. Records that are the chunker's own stay so whoever stored them this time.
    if (same_file) {
      note_unchanged(*existing, context);
      return chunk_hashes(existing->id);
    }
    // The same chunks and imports in a file touched since: only its row changes. Its chunks
    // keep their bodies and keyword index rows, and the copies that read them keep reading.
    write_context_row(agent_id, existing, context, packed->context_hash);
    write_global_entry(agent_id, context, packed->context_hash);
    bump_generation(agent_id);
    return chunk_hashes(existing->id);
  }

  std::vector<std::string> old_hashes;
  if (existing) {
    old_hashes = chunk_hashes(existing->id);
    delete_children(existing->id);
  }
  // Looked for once the replaced chunks are gone: they may have handed their bodies over.
  std::vector<std::int64_t> shared = bodies_to_share(agent_id, existing ? existing->id : -1,
                                                     context);
  if (shared.empty() && !packed->bodies_packed) {
    if (!own) own = *context.packed;
    pack_bodies(context, *own, db_.text_dictionaries().current().get());
    packed = &*own;
  }
  std::int64_t context_id = write_context_row(agent_id, existing, context, packed->context_hash,
                                              shared.empty() ? packed : nullptr);
  if (!shared.empty()) read_words_of_original(context_id, shared.front());
  std::unordered_set<std::string> new_hashes =
      insert_chunks(agent_id, context_id, context, *packed, shared);
  insert_imports(agent_id, context_id, context, *packed);
  write_global_entry(agent_id, context, packed->context_hash);

  std::vector<std::string> gone;
  for (const std::string& hash : old_hashes) {
    if (!new_hashes.count(hash)) gone.push_back(hash);
  }
  drop_unreferenced_vectors(db_, agent_id, gone);
  bump_generation(agent_id);
  return old_hashes;
}

std::optional<std::vector<std::string>> ContextTable::remove(const std::string& agent_id,
                                                             const std::string& file_path) {
  std::optional<ContextRow> existing = find(agent_id, file_path);
  if (!existing) return std::nullopt;
  std::vector<std::string> hashes = chunk_hashes(existing->id);
  delete_children(existing->id);
  db_.prepare("DELETE FROM contexts WHERE id = ?1").bind(1, existing->id).run();
  db_.prepare("DELETE FROM global_index WHERE agent_id = ?1 AND file_path = ?2")
      .bind(1, agent_id)
      .bind(2, file_path)
      .run();
  drop_unreferenced_vectors(db_, agent_id, hashes);
  bump_generation(agent_id);
  return hashes;
}

void ContextTable::clear(const std::string& agent_id) {
  forget_chunks("SELECT id, body, body_of FROM chunks WHERE agent_id = ?1", 0, agent_id);
  db_.prepare("DELETE FROM chunks WHERE agent_id = ?1").bind(1, agent_id).run();
  db_.prepare("DELETE FROM imports WHERE agent_id = ?1").bind(1, agent_id).run();
  db_.prepare("DELETE FROM contexts WHERE agent_id = ?1").bind(1, agent_id).run();
  db_.prepare("DELETE FROM global_index WHERE agent_id = ?1").bind(1, agent_id).run();
  bump_generation(agent_id);
}

void ContextTable::ensure_agent(const std::string& agent_id) {
  db_.prepare("INSERT OR IGNORE INTO agents(agent_id) VALUES(?1)").bind(1, agent_id).run();
}

void ContextTable::bump_generation(const std::string& agent_id) {
  ensure_agent(agent_id);
  db_.prepare("UPDATE agents SET generation = generation + 1 WHERE agent_id = ?1")
      .bind(1, agent_id)
      .run();
}

std::int64_t ContextTable::generation(const std::string& agent_id) {
  Statement st = db_.prepare("SELECT generation FROM agents WHERE agent_id = ?1");
  st.bind(1, agent_id);
  return st.step() ? st.column_int(0) : 0;
}

}  // namespace vantory::backend
