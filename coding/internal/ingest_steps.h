// The chunking half of ingesting a file, shared by index_file and index_files.
// Internal to libtarnel.
#pragma once

#include <cstdint>
#include <string>

#include "coding/chunking.h"
#include "common/json.h"

namespace vantory {

// A file cut by the chunking component: its language and its chunk records (an
// array), or the error object that ends auto-chunking (an object; language then
// may be empty).
struct CutFile {
  std::string language;
  Json chunks;
  std::uint64_t bytes = 0;  // the file's size when it was checked, else 0
};

// Reads and cuts the file at `file_path` as index_file does without supplied
// chunks: a path that is not a regular file of at most `max_bytes` bytes, a
// missing file, and every failure to read or cut it answer the documented error
// object. A failure to detect the language throws. Thread-safe when the
// chunking component is.
CutFile cut_file(ChunkingComponent& chunking, const std::string& file_path,
                 std::uint64_t max_bytes);

}  // namespace vantory
