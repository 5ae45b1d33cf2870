// The chunking component that Tarnel binds from this backend: the backend's chunkers behind a
// ChunkCache. A chunker cuts a text it has cut before (same revision, language and text, at
// this path or another) by handing back the records stored for it, naming this path, and
// tells the cache what it answered, so that the memory builder can mark the records it stores
// as the chunker's own and take the imports of a file with the same bytes.
//
// Thread safety: as the component it wraps; the cache is shared and thread-safe.
#pragma once

#include <memory>

#include "backend/store/chunk_cache.h"
#include "coding/chunking.h"

namespace vantory::backend {

// `chunking` with its chunkers answered from `cache` where they can be.
std::shared_ptr<ChunkingComponent> make_cached_chunking(std::shared_ptr<ChunkingComponent> chunking,
                                                        std::shared_ptr<ChunkCache> cache);

}  // namespace vantory::backend
