// Indexing a whole folder into an agent's code memory, doing only the work that changed files
// need.
#pragma once

#include <string>

#include "apps/host/source_tree.h"
#include "apps/host/tool.h"
#include "coding/tarnel.h"
#include "common/json.h"

namespace vantory::host {

// Indexes the source files below `directory` (collect_source_files with `filter`) for
// `agent_id`: the files the agent has not indexed are indexed as index_file would
// (Tarnel::index_files: cut on every core, stored in batches), those whose indexed context is
// stale are re-indexed by their changed chunks (delta_update), fresh ones are left alone unless
// some of their chunks lack a vector from the embedder in use (the embedding model changed, or
// the service failed for them): they are indexed again, which embeds just those. A file that
// fails is counted with its reason and the others go on. A `directory` that is a file is
// indexed the same way on its own. Calls `progress` (when set) once before the first file and
// after every file, a stored file once it is durable.
// Answers {"status": "ok", "directory", "files", "indexed", "updated", "unchanged",
// "reembedded", "skipped", "skipped_folders", "skipped_reasons", "failed", "failures":
// [{"file_path", "reason"}], "time_ms"}, or an error object when `directory` does not exist or
// cannot be read. Failures of the agent's cache report (cache_stats) reach the caller.
Json index_directory(Tarnel& tarnel, const std::string& agent_id, const std::string& directory,
                     const SourceFilter& filter = {}, const ProgressFn& progress = {});

// The reason an answer of index_file or delta_update reports a failure (its message), or ""
// when it reports none.
std::string indexing_failure(const Json& answer);

// What index_directory would look at, without reading the code memory or writing anything:
// {"status": "ok", "directory", "dry_run": true, "files", "total_bytes", "paths" (the files,
// in the order they would be indexed), "skipped", "skipped_folders", "skipped_reasons"}, or an
// error object when `directory` does not exist or cannot be read.
Json preview_directory(const std::string& directory, const SourceFilter& filter = {});

}  // namespace vantory::host
