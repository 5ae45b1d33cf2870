// delta_update: re-indexes one file from disk and reports which of its chunks are new, gone or
// unchanged, by content hash.
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "coding/internal/file_contexts.h"
#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "coding/internal/source_text.h"
#include "coding/stored_chunks.h"
#include "coding/tarnel.h"
#include "common/error.h"
#include "common/error_answer.h"
#include "common/files.h"
#include "common/message_text.h"
#include "common/paths.h"
#include "common/sha256.h"
#include "common/unicode.h"

namespace vantory {

namespace {

// The chunk's hash_id when it has a non-empty one. Ids that are not text (agents supply chunk
// records) are ids all the same: compared as they are, and deleted with the rest when their
// chunk is gone. A record that is not an object has none.
const Json* hash_of(const Json& chunk) {
  const Json* hash = records::find(chunk, "hash_id");
  return hash && records::truthy(*hash) ? hash : nullptr;
}

struct FreshChunks {
  std::string language;
  Json records;
};

// Reads and chunks the file. Nothing has been changed yet, so any failure here is answered
// rather than raised.
FreshChunks chunk_file_on_disk(ChunkingComponent& chunking, const std::string& path,
                               std::uint64_t max_bytes) {
  std::string content = read_source_text(path, max_bytes);
  FreshChunks fresh;
  fresh.language = chunking.detect_language(path);
  std::unique_ptr<Chunker> chunker = chunking.get_chunker(fresh.language);
  if (!chunker) throw RuntimeError("no chunker for language " + fresh.language);
  fresh.records = units_to_chunk_records(chunker->chunk_file(content, path));
  return fresh;
}

}  // namespace

Json Tarnel::delta_update(const std::string& agent_id, const std::string& file_path) {
  std::string path = normalize_path(file_path);
  if (!path_exists(path)) return error_answer("File not found: " + path);

  std::unordered_set<Json> old_hashes;
  std::vector<const Json*> old_order;
  // The stored chunks of this file alone when the store can answer them; otherwise (or when
  // it finds none under the normalised path) every context of the agent is looked through.
  std::optional<Json> stored;
  if (auto* lookup = dynamic_cast<StoredChunks*>(store_.get())) {
    stored = lookup->stored_chunks(agent_id, path);
  }
  std::optional<FileContexts> contexts;
  const Json* old_chunks = nullptr;
  if (stored) {
    records::expect_array(*stored, "stored_chunks", false);
    old_chunks = &*stored;
  } else {
    contexts.emplace(*store_, agent_id);
    if (std::optional<std::size_t> old = contexts->find(path)) {
      old_chunks = &contexts->chunks(*old);
    }
  }
  if (old_chunks) {
    for (const Json& chunk : *old_chunks) {
      const Json* hash = hash_of(chunk);
      if (hash && old_hashes.insert(*hash).second) old_order.push_back(hash);
    }
  }

  std::shared_ptr<ChunkingComponent> chunking = provider().bind_chunking();
  FreshChunks fresh;
  try {
    fresh = chunk_file_on_disk(*chunking, path, max_file_bytes_);
  } catch (const std::exception& e) {
    return error_answer(std::string("Chunking failed: ") + e.what());
  } catch (...) {
    return error_answer("Chunking failed: unknown error");
  }

  // Whitespace-insensitive: re-indenting or re-wrapping a unit keeps its hash, so its vector
  // is kept too.
  std::unordered_set<Json> new_hashes;
  for (Json& chunk : fresh.records) {
    const Json& content = records::get_or(chunk, "content", records::kNull);
    if (!hash_of(chunk) && records::truthy(content)) {
      if (!content.is_string()) {
        throw TypeError(std::string("'content' must be a string, not ") + type_name(content));
      }
      std::string hash = sha256_hex(collapse_whitespace(content.get_ref<const std::string&>()));
      chunk["hash_id"] = std::move(hash);  // may move the chunk's members: `content` is spent
    }
    if (const Json* hash = hash_of(chunk)) new_hashes.insert(*hash);
  }

  std::size_t unchanged = 0;
  Json removed = Json::array();
  for (const Json* hash : old_order) {
    if (new_hashes.contains(*hash)) {
      ++unchanged;
    } else {
      removed.push_back(*hash);
    }
  }
  std::size_t added = new_hashes.size() - unchanged;

  if (!removed.empty()) ambrel_->delete_vectors(agent_id, removed);
  std::size_t total = fresh.records.size();
  builder_->process_file_chunks(agent_id, path, fresh.records, fresh.language);

  return Json{{"status", "delta_applied"},
              {"file_path", path},
              {"chunks_added", added},
              {"chunks_removed", removed.size()},
              {"chunks_unchanged", unchanged},
              {"total_chunks", total}};
}

}  // namespace vantory
