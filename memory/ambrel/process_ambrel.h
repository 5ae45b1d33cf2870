// The process-wide vector store that hosts share.
//
// Ownership is shared: whoever holds the store may go on using it after a reset; the next
// get_ambrel builds a new store with an empty cache. Nothing needs flushing: every change was
// written when it was made.
//
// Thread safety: both functions may be called from any thread; at most one store is built
// even when many threads ask at once. When both process-wide locks are taken, the store's is
// taken before the embedding client's.
#pragma once

#include <memory>
#include <string>

#include "memory/ambrel/local_ambrel.h"

namespace vantory {

// The process-wide store, built on first use as LocalAmbrel(root_path) with the other
// settings at their defaults; later calls answer it whatever `root_path` they pass. Throws
// what the constructor throws (the next call then tries again).
std::shared_ptr<LocalAmbrel> get_ambrel(const std::string& root_path = "./.vantory_data");

// Forgets the process-wide store; it is neither flushed nor closed.
void reset_ambrel();

}  // namespace vantory
