// The steps of delta_update, shared by delta_update and delta_update_files.
// Internal to libtarnel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "coding/chunking.h"
#include "coding/coding_context_store.h"
#include "common/json.h"

namespace vantory {

// What delta_update makes of the file at `path` (normalised) before it writes anything: its
// language and records, each with content carrying its hash id, and the distinct hash ids;
// or, in `answer`, the error object it answers without writing ("File not found: ...",
// "Chunking failed: ..."). Throws TypeError for a record whose content is not text. Thread-safe
// when the chunking component is.
struct DeltaCut {
  std::string language;
  std::uint64_t bytes = 0;  // the size of the text read
  Json records;
  std::unordered_set<Json> hashes;
  std::optional<Json> answer;
};
DeltaCut cut_for_delta(ChunkingComponent& chunking, const std::string& path,
                       std::uint64_t max_bytes);

// The hash ids of the chunks stored for `path` (normalised), each once, in stored order.
std::vector<Json> stored_hash_ids(CodingContextStore& store, const std::string& agent_id,
                                  const std::string& path);

// delta_update's answer for `path` once its records (`total` of them, with the distinct hash
// ids `fresh`) replace chunks with the hash ids `stored`; the ids that are gone go to
// `removed` (an array).
Json delta_answer(const std::string& path, const std::vector<Json>& stored,
                  const std::unordered_set<Json>& fresh, std::size_t total, Json& removed);

}  // namespace vantory
