#include "backend/builder/memory_builder.h"

#include <chrono>
#include <unordered_set>

#include "backend/chunking/chunking_engine.h"
#include "backend/store/file_facts.h"
#include "backend/vectors/vector_rows.h"
#include "common/error.h"
#include "common/message_text.h"
#include "common/paths.h"
#include "common/rounding.h"
#include "common/unicode.h"

namespace vantory::backend {

namespace {

// The hash id to fill in for a chunk that has none (missing, null or empty) but has content;
// "" when the chunk keeps its own or has nothing to hash.
std::string hash_to_fill(const Json& chunk) {
  auto hash = chunk.find("hash_id");
  bool missing = hash == chunk.end() || hash->is_null() ||
                 (hash->is_string() && hash->get_ref<const std::string&>().empty());
  if (!missing) return {};
  auto content = chunk.find("content");
  if (content == chunk.end() || !content->is_string() ||
      content->get_ref<const std::string&>().empty()) {
    return {};
  }
  return content_hash_id(content->get_ref<const std::string&>());
}

std::string own_hash(const Json& chunk) {
  auto it = chunk.find("hash_id");
  return it != chunk.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The modules the file imports: from the file itself when it is text on disk, otherwise
// from the supplied chunks. A failure of the extractor leaves the file without imports
// rather than unindexed.
std::vector<std::string> modules_of(const std::string& language, const FileFacts& facts,
                                    const std::string& bytes, const Json& chunks) {
  std::string text;
  if (facts.size) {
    if (looks_binary(bytes)) return {};
    text = translate_newlines(decode_utf8_lossy(bytes));
  } else {
    for (const Json& chunk : chunks) {
      auto content = chunk.find("content");
      if (content == chunk.end() || !content->is_string()) continue;
      text += content->get_ref<const std::string&>();
      text += '\n';
    }
  }
  try {
    return extract_imports(language, text);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

MemoryBuilder::MemoryBuilder(CodingContextStore& store, CodingAmbrel& ambrel,
                             std::shared_ptr<ChunkCache> chunk_cache)
    : store_(backend_store(store, "the memory builder")),
      vectors_(backend_vectors(ambrel, "the memory builder")),
      chunk_cache_(std::move(chunk_cache)) {}

MemoryBuilder::~MemoryBuilder() {
  try {
    link_schedule_.flush(store_.database());
  } catch (const std::exception&) {
    // The links stay as they were until the agent's next learning.
  }
}

Json MemoryBuilder::process_file_chunks(const std::string& agent_id, const std::string& file_path,
                                        const Json& chunks, const std::string& language) {
  auto started = std::chrono::steady_clock::now();
  if (!chunks.is_array()) {
    throw TypeError(std::string("chunks must be a list, not ") + type_name(chunks));
  }
  std::string path = normalize_path(file_path);
  // The records are stored as given; only the hash ids they lack are worked out here.
  std::vector<std::string> filled(chunks.size());
  std::vector<std::string> hashes(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const Json& chunk = chunks[i];
    if (!chunk.is_object()) {
      throw TypeError(std::string("a chunk record must be a dict, not ") + type_name(chunk));
    }
    filled[i] = hash_to_fill(chunk);
    hashes[i] = filled[i].empty() ? own_hash(chunk) : filled[i];
  }
  std::optional<std::string> chunk_key;
  if (chunk_cache_) chunk_key = chunk_cache_->take_key(file_path, language, chunks);

  Database& db = store_.database();
  ContextTable table(db);
  std::string bytes;
  FileFacts facts = read_file_facts(path, &bytes);
  // Imports are a function of the file's bytes and language: an unchanged file keeps the
  // records worked out when it was indexed, without another parse.
  Json imports = Json::array();
  std::optional<ContextRow> stored = table.find(agent_id, path);
  if (facts.sha256 && stored && stored->facts.sha256 == facts.sha256 &&
      stored->language == language) {
    imports = table.import_records(stored->id);
  } else {
    for (std::string& module : modules_of(language, facts, bytes, chunks)) {
      imports.push_back({{"module", std::move(module)}});
    }
  }
  bytes.clear();

  // Which hashes need a vector, and which chunk's text makes it.
  Embedder& embedder = vectors_.embedder();
  bool same_context = chunk_key && stored && stored->chunk_key == chunk_key &&
                      stored->language == language && stored->facts == facts;
  // A stored context whose vectors were all there still has them: vectors that stored
  // chunks refer to are never deleted. Any other answer is checked again under the write
  // lock below, since another writer may drop a vector between this look and that lock.
  bool trusted = same_context && stored->vectors_complete &&
                 only_embedder(db, agent_id, embedder.name());
  std::unordered_set<std::string> held;
  if (trusted) {
    held.insert(hashes.begin(), hashes.end());
  } else {
    held = hashes_with_vectors(db, agent_id, embedder.name(), hashes);
  }
  std::unordered_set<std::string> seen;
  std::vector<std::string> to_embed;
  std::vector<std::string> texts;
  std::int64_t new_chunks = 0, reused_chunks = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const std::string& hash = hashes[i];
    if (hash.empty()) continue;
    bool reused = held.count(hash) > 0;
    if (!reused && seen.insert(hash).second) {
      to_embed.push_back(hash);
      texts.push_back(embedding_text(chunks[i]));
    }
    ++(reused ? reused_chunks : new_chunks);
  }
  std::vector<std::vector<float>> made = embedder.embed(texts);
  bool all_made = made.size() >= to_embed.size();
  for (std::size_t i = 0; i < to_embed.size() && i < made.size(); ++i) {
    all_made = all_made && !made[i].empty();
  }

  double indexed_at = now_seconds();
  Json record = {
      {"file_path", path},
      {"language", language},
      {"chunks", nullptr},
      {"imports", nullptr},
      {"external_imports", nullptr},
      {"file_size", facts.size ? Json(*facts.size) : Json(nullptr)},
      {"file_mtime", facts.mtime_ns ? Json(ns_to_seconds(*facts.mtime_ns)) : Json(nullptr)},
      {"file_hash", facts.sha256 ? Json(*facts.sha256) : Json(nullptr)},
      {"indexed_at", indexed_at}};
  std::size_t import_count = imports.size();

  Transaction tx(db);
  // A trusted context is stored already with its flag; an unchanged one keeps it.
  bool vectors_complete =
      !trusted && all_made &&
      hashes_with_vectors(db, agent_id, embedder.name(),
                          std::vector<std::string>(held.begin(), held.end()))
              .size() == held.size();
  std::vector<std::string> old_hashes =
      table.put(agent_id, ContextWrite{path, language, chunks, std::move(filled), imports, facts,
                                       indexed_at, std::move(record), std::move(chunk_key),
                                       vectors_complete});
  std::int64_t embedded = 0;
  for (std::size_t i = 0; i < to_embed.size() && i < made.size(); ++i) {
    if (made[i].empty()) continue;  // the service failed: tried again next time
    put_vector(db, agent_id, to_embed[i], embedder.name(), made[i]);
    ++embedded;
  }
  std::unordered_set<std::string> kept(hashes.begin(), hashes.end());
  std::int64_t removed = 0;
  for (const std::string& hash : old_hashes) {
    if (!kept.count(hash)) ++removed;
  }
  double elapsed_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  store_.record_indexing(agent_id, elapsed_ms, embedded, reused_chunks);
  tx.commit();
  store_.note_indexed(agent_id, path);
  if (!same_context) {
    link_schedule_.note_stored(db, agent_id, static_cast<std::int64_t>(chunks.size()));
  }

  return {{"status", "indexed"},         {"file_path", path},
          {"language", language},        {"total_chunks", chunks.size()},
          {"new_chunks", new_chunks},    {"reused_chunks", reused_chunks},
          {"removed_chunks", removed},   {"imports", import_count},
          {"embedder", embedder.name()}, {"time_ms", round_places(elapsed_ms, 2)}};
}

}  // namespace vantory::backend
