// delta_update: re-indexes one file from disk and reports which of its chunks are new, gone or
// unchanged, by content hash.
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "coding/internal/delta_steps.h"
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

}  // namespace

DeltaCut cut_for_delta(ChunkingComponent& chunking, const std::string& path,
                       std::uint64_t max_bytes) {
  DeltaCut cut;
  if (!path_exists(path)) {
    cut.answer = error_answer("File not found: " + path);
    return cut;
  }
  // Reads and chunks the file. Nothing has been changed yet, so any failure here is answered
  // rather than raised.
  try {
    std::string content = read_source_text(path, max_bytes);
    cut.bytes = content.size();
    cut.language = chunking.detect_language(path);
    std::unique_ptr<Chunker> chunker = chunking.get_chunker(cut.language);
    if (!chunker) throw RuntimeError("no chunker for language " + cut.language);
    cut.records = units_to_chunk_records(chunker->chunk_file(content, path));
  } catch (const std::exception& e) {
    cut.answer = error_answer(std::string("Chunking failed: ") + e.what());
    return cut;
  } catch (...) {
    cut.answer = error_answer("Chunking failed: unknown error");
    return cut;
  }
  // Whitespace-insensitive: re-indenting or re-wrapping a unit keeps its hash, so its vector
  // is kept too.
  for (Json& chunk : cut.records) {
    const Json& content = records::get_or(chunk, "content", records::kNull);
    if (!hash_of(chunk) && records::truthy(content)) {
      if (!content.is_string()) {
        throw TypeError(std::string("'content' must be a string, not ") + type_name(content));
      }
      std::string hash = sha256_hex(collapse_whitespace(content.get_ref<const std::string&>()));
      chunk["hash_id"] = std::move(hash);  // may move the chunk's members: `content` is spent
    }
    if (const Json* hash = hash_of(chunk)) cut.hashes.insert(*hash);
  }
  return cut;
}

std::vector<Json> stored_hash_ids(CodingContextStore& store, const std::string& agent_id,
                                  const std::string& path) {
  // The stored chunks of this file alone when the store can answer them; otherwise (or when
  // it finds none under the normalised path) every context of the agent is looked through.
  std::optional<Json> stored;
  if (auto* lookup = dynamic_cast<StoredChunks*>(&store)) {
    stored = lookup->stored_chunks(agent_id, path);
  }
  std::optional<FileContexts> contexts;
  const Json* old_chunks = nullptr;
  if (stored) {
    records::expect_array(*stored, "stored_chunks", false);
    old_chunks = &*stored;
  } else {
    contexts.emplace(store, agent_id);
    if (std::optional<std::size_t> old = contexts->find(path)) {
      old_chunks = &contexts->chunks(*old);
    }
  }
  std::vector<Json> ids;
  if (!old_chunks) return ids;
  std::unordered_set<Json> seen;
  for (const Json& chunk : *old_chunks) {
    const Json* hash = hash_of(chunk);
    if (hash && seen.insert(*hash).second) ids.push_back(*hash);
  }
  return ids;
}

Json delta_answer(const std::string& path, const std::vector<Json>& stored,
                  const std::unordered_set<Json>& fresh, std::size_t total, Json& removed) {
  std::size_t unchanged = 0;
  removed = Json::array();
  for (const Json& hash : stored) {
    if (fresh.contains(hash)) {
      ++unchanged;
    } else {
      removed.push_back(hash);
    }
  }
  return Json{{"status", "delta_applied"},
              {"file_path", path},
              {"chunks_added", fresh.size() - unchanged},
              {"chunks_removed", removed.size()},
              {"chunks_unchanged", unchanged},
              {"total_chunks", total}};
}

Json Tarnel::delta_update(const std::string& agent_id, const std::string& file_path) {
  std::string path = normalize_path(file_path);
  if (!path_exists(path)) return error_answer("File not found: " + path);
  std::vector<Json> stored = stored_hash_ids(*store_, agent_id, path);
  std::shared_ptr<ChunkingComponent> chunking = provider().bind_chunking();
  DeltaCut cut = cut_for_delta(*chunking, path, max_file_bytes_);
  if (cut.answer) return std::move(*cut.answer);
  Json removed;
  Json answer = delta_answer(path, stored, cut.hashes, cut.records.size(), removed);
  if (!removed.empty()) ambrel_->delete_vectors(agent_id, removed);
  builder_->process_file_chunks(agent_id, path, cut.records, cut.language);
  return answer;
}

}  // namespace vantory
