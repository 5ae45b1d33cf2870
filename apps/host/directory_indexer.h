// Indexing a whole folder into an agent's code memory, file by file, doing only the work
// that changed files need.
#pragma once

#include <string>

#include "apps/host/source_tree.h"
#include "apps/host/tool.h"
#include "coding/tarnel.h"
#include "common/json.h"

namespace vantory::host {

// Indexes the source files below `directory` (collect_source_files with `filter`) for
// `agent_id`: a file the
// agent has not indexed is indexed (index_file), one whose indexed context is stale is
// re-indexed by its changed chunks (delta_update), a fresh one is left alone. A file that
// fails is counted with its reason and the others go on. A `directory` that is a file is
// indexed the same way on its own. Calls `progress` (when set) once
// before the first file and after every file.
// Answers {"status": "ok", "directory", "files", "indexed", "updated", "unchanged",
// "skipped", "skipped_folders", "skipped_reasons", "failed", "failures": [{"file_path",
// "reason"}], "time_ms"}, or an error object when `directory` does not exist or cannot be
// read.
// Failures of the agent's cache report (cache_stats) reach the caller.
Json index_directory(Tarnel& tarnel, const std::string& agent_id, const std::string& directory,
                     const SourceFilter& filter = {}, const ProgressFn& progress = {});

// What index_directory would look at, without reading the code memory or writing anything:
// {"status": "ok", "directory", "dry_run": true, "files", "total_bytes", "paths" (the files,
// in the order they would be indexed), "skipped", "skipped_folders", "skipped_reasons"}, or an
// error object when `directory` does not exist or cannot be read.
Json preview_directory(const std::string& directory, const SourceFilter& filter = {});

}  // namespace vantory::host
