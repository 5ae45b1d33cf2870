// The three reports of the context store, built from the stored contexts, the files on disk
// and the counters that retrievals, searches and indexing runs keep. Tokens are estimated at
// four bytes per token throughout.
//
// Token savings: {"status": "ok", "agent_id", "files_indexed", "indexed_file_tokens" (the
//   indexed files as they are on disk now), "tokens_served" (what retrievals and searches
//   actually handed out), "tokens_if_files_read" (what reading the whole files instead would
//   have cost), "tokens_saved", "savings_percent", "retrievals": {"count", "tokens_served",
//   "tokens_if_files_read"}, "searches": {"count", "results", "tokens_served",
//   "tokens_if_files_read"}, "estimate"}.
// Cache statistics: {"status": "ok", "agent_id", "total_files", "fresh_files", "stale_files",
//   "retrievals", "retrieval_misses", "hit_rate", "total_chunks", "vectors",
//   "chunks_without_vectors", "embedder", "files": [{"file_path", "language", "chunk_count",
//   "freshness", ["stale_reason",] "access_count", "indexed_at", "age_seconds",
//   ["chunks_without_vectors" (when the embedder in use has not embedded some of them)]}],
//   "recommendations": [text, ...]}.
// Usage: {"status": "ok", "agent_id", "files_indexed", "chunks_indexed", "vectors",
//   "languages": {language: files}, "embedder", "access": {"total_accesses",
//   "files_accessed", "never_accessed", "retrieval_misses", "most_accessed": [{"file_path",
//   "access_count"}]}, "tokens": {"indexed", "served", "saved"}, "indexing": {"runs",
//   "total_ms", "avg_ms", "chunks_embedded", "chunks_reused", "last_indexed_at"},
//   "searches": {"count", "results_served", "avg_results"}, "snapshots", "storage":
//   {"database_bytes"}}.
//
// Thread safety: as the Database passed in.
#pragma once

#include <string>

#include "common/json.h"

namespace vantory::backend {

class Database;
class ContextTable;

Json token_savings_report(Database& db, ContextTable& table, const std::string& agent_id);
Json detailed_cache_stats(Database& db, ContextTable& table, const std::string& agent_id);
Json usage_report(Database& db, ContextTable& table, const std::string& agent_id);

}  // namespace vantory::backend
