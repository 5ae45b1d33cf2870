// The per-agent vectors file: one JSON object whose members map each entry id to the numbers
// of its vector, in the map's order, on one line in the JSON text format of every vantory
// file ({"e1": [0.6000000238418579, 0.800000011920929], "e2": []}); an empty map is {}.
//
// Thread safety: the functions share no state; callers serialise writers of one path.
#pragma once

#include <string>

#include "memory/ambrel/vector_map.h"

namespace vantory {

// Replaces the file at `path` with `vectors` atomically (a crash leaves the old or the new
// file, never a part). The text is streamed in pieces, so a large map never exists twice in
// memory. Throws OSError; the old file then stays.
void write_vectors_file(const std::string& path, const VectorMap& vectors);

// The vectors of the file at `path`, in file order (a repeated key keeps its first position
// and its last value). Without `keep_exact` only the 32-bit vectors are kept (with the text of
// an array this store would have written otherwise, which is written back as it was). Throws
// OSError
// (unreadable), ValueError (not JSON) or TypeError (not an object of number arrays).
VectorMap read_vectors_file(const std::string& path, bool keep_exact);

}  // namespace vantory
