// Turning a source file on disk into chunk records through the chunking component.
// Internal to libtarnel; shared by ingestion and delta update.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "coding/chunking.h"
#include "common/json.h"

namespace vantory {

// The whole file at `path` as text: UTF-8 with every undecodable byte sequence replaced by
// U+FFFD, and "\r\n" and "\r" translated to "\n". Throws OSError (missing, unreadable, not a
// regular file, over `max_bytes`: read_regular_file).
std::string read_source_text(const std::string& path, std::uint64_t max_bytes);

// The chunk records of `units`, in order: each unit's to_dict(); a record whose "summary" is
// missing or false gets "Code unit: " followed by the text of its "name" ("unnamed" when it has
// none). Throws what to_dict throws, and TypeError when a record is not an object.
Json units_to_chunk_records(const std::vector<std::unique_ptr<CodeUnit>>& units);

}  // namespace vantory
