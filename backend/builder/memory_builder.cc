#include "backend/builder/memory_builder.h"

#include <chrono>
#include <unordered_map>
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

// A batch holds back its keyword-index writes (ContextTable::hold_keyword_writes) up to about
// this much text; past it they are run between two files, so a batch of large files does not
// hold a copy of all their texts.
constexpr std::size_t kMaxHeldKeywordBytes = std::size_t{4} << 20;

// A batch asks to be committed once the files it keeps to write again hold this much
// content (their records, packed texts and vectors take a few times as much).
constexpr std::uint64_t kKeptBytes = std::uint64_t{8} << 20;

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

struct MemoryBuilder::Prepared : PreparedFile {
  std::chrono::steady_clock::time_point started;
  std::string agent_id;
  std::string path;
  std::string language;
  // The records, when the file was prepared ahead (or kept for its batch).
  std::shared_ptr<const Json> own_chunks;
  const Json* chunks = nullptr;
  // While a worker's records that are the chunker's wait to be stored, they are offered to
  // the chunk cache (ChunkCache::hold): a copy of their text cut meanwhile is answered from
  // them. Withdrawn when the last owner of this handle goes.
  std::shared_ptr<void> held_records;
  std::vector<std::string> filled;  // per chunk: the hash id to fill in, or ""
  std::vector<std::string> hashes;  // per chunk: its hash id, or ""
  std::optional<std::string> chunk_key;
  FileFacts facts;
  std::string bytes;             // the file's bytes, until its imports are known
  std::optional<Json> imports;   // known ahead, or once the stored context was looked at
  std::optional<PackedContext> packed;  // the stored texts, when worked out ahead
  // The vectors made ahead: per distinct hash id of the chunks.
  std::unordered_map<std::string, std::vector<float>> vectors;
  // True when the stored context is this one and all its vectors are stored.
  bool trusted = false;
  // True when the stored context has these chunks: storing it again adds no units.
  bool same_context = false;
  // True when the stored file this one copies had a vector for each of its chunks: they are
  // not made ahead (the few that may be missing are made when the file is stored).
  bool copies_held_vectors = false;
  // True when a store held the text this file's records were cut from.
  bool copies_stored = false;
  // True when `held` was looked up in the transaction that writes the file: no other writer
  // can have dropped one of those vectors since.
  bool held_under_lock = false;
  // True when write stores each of `made` unless the agent holds it, and learns `held` and
  // the counts of new and reused chunks from that, instead of looking each hash up first.
  bool insert_unless_held = false;
  std::unordered_set<std::string> held;  // hashes whose vector the agent holds
  std::vector<std::string> to_embed;     // hashes to make a vector for, with `made`
  std::vector<std::vector<float>> made;
  std::int64_t new_chunks = 0;
  std::int64_t reused_chunks = 0;
};

namespace {

// The hash ids of the chunks, and those to fill in. TypeError for a chunk that
// is no object.
void hash_ids_of(const Json& chunks, std::vector<std::string>& filled,
                 std::vector<std::string>& hashes) {
  filled.resize(chunks.size());
  hashes.resize(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const Json& chunk = chunks[i];
    if (!chunk.is_object()) {
      throw TypeError(std::string("a chunk record must be a dict, not ") + type_name(chunk));
    }
    filled[i] = hash_to_fill(chunk);
    hashes[i] = filled[i].empty() ? own_hash(chunk) : filled[i];
  }
}

Json import_records(const std::string& language, const FileFacts& facts,
                    const std::string& bytes, const Json& chunks) {
  Json imports = Json::array();
  for (std::string& module : modules_of(language, facts, bytes, chunks)) {
    imports.push_back({{"module", std::move(module)}});
  }
  return imports;
}

// The import records of the file. Imports are a function of the file's bytes
// and language: an unchanged file keeps the records worked out when it was
// indexed, without another parse.
Json imports_of(ContextTable& table, const std::optional<ContextRow>& stored,
                const std::string& language, const FileFacts& facts, const std::string& bytes,
                const Json& chunks) {
  if (facts.sha256 && stored && stored->facts.sha256 == facts.sha256 &&
      stored->language == language) {
    return table.import_records(stored->id);
  }
  return import_records(language, facts, bytes, chunks);
}

}  // namespace

// True when a vector was made ahead (in a worker) for every hash of the file.
bool MemoryBuilder::made_ahead(const Prepared& p) {
  for (const std::string& hash : p.hashes) {
    if (hash.empty()) continue;
    auto it = p.vectors.find(hash);
    if (it == p.vectors.end() || it->second.empty()) return false;
  }
  return true;
}

void MemoryBuilder::stage(Prepared& p, const std::string& agent_id, const std::string& file_path,
                          const Json& chunks, const std::string& language) {
  p.started = std::chrono::steady_clock::now();
  if (!chunks.is_array()) {
    throw TypeError(std::string("chunks must be a list, not ") + type_name(chunks));
  }
  p.agent_id = agent_id;
  p.path = normalize_path(file_path);
  p.language = language;
  p.chunks = &chunks;
  // The records are stored as given; only the hash ids they lack are worked out here.
  hash_ids_of(chunks, p.filled, p.hashes);
  std::optional<ChunkCache::Taken> taken;
  if (core_->chunk_cache()) taken = core_->chunk_cache()->take(file_path, language, chunks);
  p.facts = read_file_facts(p.path, &p.bytes);
  if (taken) {
    p.chunk_key = std::move(taken->key);
    // A copy of a stored file (the same bytes) imports what that file imports: no parse.
    if (taken->imports && taken->file_hash && p.facts.sha256 == taken->file_hash) {
      p.imports = *taken->imports;
    }
    p.copies_held_vectors = taken->vectors_of == agent_id;
    p.copies_stored = taken->stored;
  }
}

std::unique_ptr<PreparedFile> MemoryBuilder::prepare_file(const std::string& agent_id,
                                                          const std::string& file_path,
                                                          Json chunks,
                                                          const std::string& language) {
  auto p = std::make_unique<Prepared>();
  p->own_chunks = std::make_shared<const Json>(std::move(chunks));
  stage(*p, agent_id, file_path, *p->own_chunks, language);
  const Json& records = *p->own_chunks;
  // In a worker thread the chunker has just cut this text, and remembers its imports.
  if (!p->imports) p->imports = import_records(language, p->facts, p->bytes, records);
  p->bytes.clear();
  p->bytes.shrink_to_fit();
  if (const std::shared_ptr<ChunkCache>& cache = core_->chunk_cache(); cache && p->chunk_key) {
    // A copy of the text met before this file is stored takes its imports too, when it has
    // the same bytes: it is not parsed for them.
    cache->hold(*p->chunk_key, p->own_chunks, std::make_shared<const Json>(*p->imports),
                p->facts.sha256);
    p->held_records = std::shared_ptr<void>(
        nullptr, [cache, key = *p->chunk_key, records = p->own_chunks.get()](void*) {
          cache->release(key, records);
        });
  }
  std::shared_ptr<const TextDictionary> dictionary =
      core_->database().text_dictionaries().current();
  // A copy of a stored file is stored reading that file's bodies: none are packed ahead.
  p->packed = ContextTable::pack(ContextWrite{p->path, p->language, records, p->filled,
                                              *p->imports, p->facts, 0, Json(), std::nullopt},
                                 dictionary.get(), !p->copies_stored);
  Embedder& embedder = core_->embedder();
  if (embedder.runs_locally() && !p->copies_held_vectors) {
    std::vector<std::string> hashes, texts;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::string& hash = p->hashes[i];
      if (hash.empty() || !p->vectors.emplace(hash, std::vector<float>()).second) continue;
      hashes.push_back(hash);
      texts.push_back(embedding_text(records[i]));
    }
    std::vector<std::vector<float>> made = embedder.embed(texts);
    for (std::size_t i = 0; i < hashes.size() && i < made.size(); ++i) {
      p->vectors[hashes[i]] = std::move(made[i]);
    }
  }
  return p;
}

void MemoryBuilder::settle(Prepared& p) {
  const std::string& agent_id = p.agent_id;
  const Json& chunks = *p.chunks;
  Database& db = core_->database();
  ContextTable& table = core_->contexts();
  std::optional<ContextRow> stored = table.find(agent_id, p.path);
  if (!p.imports) p.imports = imports_of(table, stored, p.language, p.facts, p.bytes, chunks);
  p.bytes.clear();

  // Which hashes need a vector, and which chunk's text makes it.
  Embedder& embedder = core_->embedder();
  bool same_context = p.chunk_key && stored && stored->chunk_key == p.chunk_key &&
                      stored->language == p.language && stored->facts == p.facts;
  p.same_context = same_context;
  // A stored context whose vectors were all there still has them: vectors that
  // stored chunks refer to are never deleted. Any other answer is checked again
  // under the write lock (write), since another writer may drop a vector
  // between this look and that lock, unless this look was under it (a batch).
  p.trusted =
      same_context && stored->vectors_complete && only_embedder(db, agent_id, embedder.name());
  if (p.trusted) {
    p.held.insert(p.hashes.begin(), p.hashes.end());
  } else if (batch_ && p.copies_held_vectors && p.chunk_key &&
             table.key_has_all_vectors(agent_id, *p.chunk_key) &&
             only_embedder(db, agent_id, embedder.name())) {
    // A copy of a text stored with all its vectors: the same chunk key means the same records
    // and so the same hash ids, and a vector stays while a stored chunk refers to it. Looked
    // at in the batch's transaction, this holds until the copy is written.
    p.held.insert(p.hashes.begin(), p.hashes.end());
  } else if (batch_ && made_ahead(p) && only_embedder(db, agent_id, embedder.name())) {
    // Every vector is made, and whatever the agent holds for a hash is this embedder's: in
    // the batch's transaction, storing each unless it is held answers what a look would.
    p.insert_unless_held = true;
    std::unordered_set<std::string> seen;
    for (const std::string& hash : p.hashes) {
      if (hash.empty() || !seen.insert(hash).second) continue;
      p.to_embed.push_back(hash);
      p.made.push_back(std::move(p.vectors[hash]));
    }
    p.vectors.clear();
    return;
  } else {
    p.held = hashes_with_vectors(db, agent_id, embedder.name(), p.hashes);
  }
  std::unordered_set<std::string> seen;
  std::vector<std::string> texts;
  std::vector<std::size_t> missing;  // indexes in to_embed of the vectors to make now
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const std::string& hash = p.hashes[i];
    if (hash.empty()) continue;
    bool reused = p.held.count(hash) > 0;
    if (!reused && seen.insert(hash).second) {
      p.to_embed.push_back(hash);
      auto ahead = p.vectors.find(hash);
      if (ahead != p.vectors.end()) {
        p.made.push_back(std::move(ahead->second));
      } else {
        missing.push_back(p.made.size());
        p.made.emplace_back();
        texts.push_back(embedding_text(chunks[i]));
      }
    }
    ++(reused ? p.reused_chunks : p.new_chunks);
  }
  p.vectors.clear();
  if (texts.empty()) return;
  std::vector<std::vector<float>> made = embedder.embed(texts);
  // A service that answered fewer vectors leaves the rest unmade, as when it fails.
  for (std::size_t k = 0; k < missing.size() && k < made.size(); ++k) {
    p.made[missing[k]] = std::move(made[k]);
  }
}

std::int64_t MemoryBuilder::write(const std::string& agent_id, Prepared& p) {
  Database& db = core_->database();
  const std::string& embedder = core_->embedder().name();
  bool all_made = p.made.size() >= p.to_embed.size();
  for (std::size_t i = 0; i < p.to_embed.size() && i < p.made.size(); ++i) {
    all_made = all_made && !p.made[i].empty();
  }
  double indexed_at = now_seconds();
  Json record = {
      {"file_path", p.path},
      {"language", p.language},
      {"chunks", nullptr},
      {"imports", nullptr},
      {"external_imports", nullptr},
      {"file_size", p.facts.size ? Json(*p.facts.size) : Json(nullptr)},
      {"file_mtime", p.facts.mtime_ns ? Json(ns_to_seconds(*p.facts.mtime_ns)) : Json(nullptr)},
      {"file_hash", p.facts.sha256 ? Json(*p.facts.sha256) : Json(nullptr)},
      {"indexed_at", indexed_at}};
  // A trusted context is stored already with its flag; an unchanged one keeps it.
  bool vectors_complete =
      !p.trusted && all_made &&
      (p.held_under_lock ||
       hashes_with_vectors(db, agent_id, embedder,
                           std::vector<std::string>(p.held.begin(), p.held.end()))
               .size() == p.held.size());
  std::vector<std::string> old_hashes = core_->contexts().put(
      agent_id,
      ContextWrite{p.path, p.language, *p.chunks, p.filled, *p.imports, p.facts, indexed_at,
                   std::move(record), p.chunk_key, vectors_complete,
                   p.packed ? &*p.packed : nullptr});
  std::int64_t embedded = 0;
  if (p.insert_unless_held) {
    p.held.clear();
    for (std::size_t i = 0; i < p.to_embed.size() && i < p.made.size(); ++i) {
      if (insert_vector_unless_held(db, agent_id, p.to_embed[i], embedder, p.made[i])) {
        ++embedded;
      } else {
        p.held.insert(p.to_embed[i]);
      }
    }
    p.new_chunks = p.reused_chunks = 0;
    for (const std::string& hash : p.hashes) {
      if (!hash.empty()) ++(p.held.count(hash) ? p.reused_chunks : p.new_chunks);
    }
  } else {
    for (std::size_t i = 0; i < p.to_embed.size() && i < p.made.size(); ++i) {
      if (p.made[i].empty()) continue;  // the service failed: tried again next time
      put_vector(db, agent_id, p.to_embed[i], embedder, p.made[i]);
      ++embedded;
    }
  }
  std::unordered_set<std::string> kept(p.hashes.begin(), p.hashes.end());
  std::int64_t removed = 0;
  for (const std::string& hash : old_hashes) {
    if (!kept.count(hash)) ++removed;
  }
  double elapsed_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - p.started)
          .count();
  core_->record_indexing(agent_id, elapsed_ms, embedded, p.reused_chunks);
  return removed;
}

Json MemoryBuilder::process_file_chunks(const std::string& agent_id, const std::string& file_path,
                                        const Json& chunks, const std::string& language) {
  Prepared p;
  stage(p, agent_id, file_path, chunks, language);
  return store(p);
}

Json MemoryBuilder::store_prepared(PreparedFile& file) {
  auto* prepared = dynamic_cast<Prepared*>(&file);
  if (!prepared) throw TypeError("a file prepared by another builder");
  return store(*prepared);
}

Json MemoryBuilder::store(Prepared& p) {
  if (batch_ && batch_failure_) std::rethrow_exception(batch_failure_);
  settle(p);
  p.held_under_lock = batch_ != nullptr;
  const std::string& agent_id = p.agent_id;
  auto chunk_count = static_cast<std::int64_t>(p.chunks->size());
  std::int64_t removed = 0;
  if (batch_) {
    removed = write_in_batch(agent_id, p);
  } else {
    Transaction tx(core_->database());
    removed = write(agent_id, p);
    tx.commit();
    core_->note_indexed(agent_id, p.path);
    train_dictionary();
  }
  double elapsed_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - p.started)
          .count();
  Json answer = {{"status", "indexed"},
                 {"file_path", p.path},
                 {"language", p.language},
                 {"total_chunks", chunk_count},
                 {"new_chunks", p.new_chunks},
                 {"reused_chunks", p.reused_chunks},
                 {"removed_chunks", removed},
                 {"imports", p.imports->size()},
                 {"embedder", core_->embedder().name()},
                 {"time_ms", round_places(elapsed_ms, 2)}};
  if (batch_) {
    // Kept for the batch: with its own copy of the records when the caller holds them, and
    // without its packed texts, worked out again from the records should it be written again.
    std::shared_ptr<const Json> records = p.chunks == p.own_chunks.get()
                                              ? std::move(p.own_chunks)
                                              : std::make_shared<const Json>(*p.chunks);
    auto kept = std::make_unique<Prepared>(std::move(p));
    kept->own_chunks = std::move(records);
    kept->chunks = kept->own_chunks.get();
    kept->packed.reset();
    for (const Json& chunk : *kept->own_chunks) {
      auto content = chunk.find("content");
      if (content != chunk.end() && content->is_string()) kept_bytes_ += content->size();
    }
    kept_.push_back(std::move(kept));
  }
  return answer;
}

std::int64_t MemoryBuilder::write_in_batch(const std::string& agent_id, Prepared& p) {
  try {
    apply_keyword_writes_past_limit();
    return write(agent_id, p);
  } catch (...) {
    write_batch_again();
    throw;
  }
}

void MemoryBuilder::apply_keyword_writes_past_limit() {
  ContextTable& contexts = core_->contexts();
  if (contexts.held_keyword_bytes() <= kMaxHeldKeywordBytes) return;
  contexts.apply_keyword_writes();
  contexts.hold_keyword_writes();
}

void MemoryBuilder::write_batch_again() noexcept {
  ContextTable& contexts = core_->contexts();
  try {
    contexts.discard_keyword_writes();
    batch_->restart();
    contexts.hold_keyword_writes();
    for (const std::unique_ptr<Prepared>& file : kept_) {
      file->held_under_lock = false;  // looked up before the rollback: looked up again
      apply_keyword_writes_past_limit();
      write(file->agent_id, *file);
    }
  } catch (...) {
    contexts.discard_keyword_writes();
    batch_failure_ = std::current_exception();
  }
}

MemoryBuilder::MemoryBuilder(std::shared_ptr<BackendCore> core) : core_(std::move(core)) {}

MemoryBuilder::~MemoryBuilder() {
  if (batch_) abort_batch();
}

void MemoryBuilder::begin_batch() {
  if (batch_) commit_batch();
  // Batches commit often: their commits should not wait for the log's copies and syncs.
  core_->database().copy_log_in_background();
  batch_ = std::make_unique<Transaction>(core_->database());
  kept_.clear();
  kept_bytes_ = 0;
  batch_failure_ = nullptr;
  core_->contexts().hold_keyword_writes();
}

bool MemoryBuilder::batch_full() const { return kept_bytes_ >= kKeptBytes; }

void MemoryBuilder::commit_batch() {
  if (!batch_) return;
  std::unique_ptr<Transaction> batch = std::move(batch_);
  std::vector<std::unique_ptr<Prepared>> files = std::move(kept_);
  kept_.clear();
  kept_bytes_ = 0;
  if (std::exception_ptr failure = std::exchange(batch_failure_, nullptr)) {
    core_->contexts().discard_keyword_writes();
    std::rethrow_exception(failure);  // the batch rolls back as it goes
  }
  try {
    core_->contexts().apply_keyword_writes();
  } catch (...) {
    core_->contexts().discard_keyword_writes();
    throw;  // the batch rolls back as it goes
  }
  batch->commit();
  for (const std::unique_ptr<Prepared>& file : files) {
    core_->note_indexed(file->agent_id, file->path);
  }
  train_dictionary();
}

void MemoryBuilder::train_dictionary() noexcept {
  try {
    core_->database().text_dictionaries().train_when_due();
  } catch (const std::exception&) {
    // The bodies stored next are compressed as before; a dictionary is trained at a later
    // commit.
  }
}

void MemoryBuilder::abort_batch() noexcept {
  core_->contexts().discard_keyword_writes();
  batch_.reset();  // rolls back
  kept_.clear();
  kept_bytes_ = 0;
  batch_failure_ = nullptr;
}

}  // namespace vantory::backend
