// A deterministic text embedder that needs no model: texts that share words and word pieces
// come out similar. It stands in for an embedding service on machines without network.
//
// Thread-safe (no state).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantory::embeddings {

// The embedding of `text`: `dimension` numbers (not scaled to unit length). Each word of the
// lower-cased text (a run of letters and digits) and each character trigram of it is hashed
// into one of the dimensions with a sign; words weigh twice as much as trigrams. The same text
// always gives the same numbers. `dimension` must be positive.
std::vector<double> hashed_text_embedding(const std::string& text, std::size_t dimension);

}  // namespace vantory::embeddings
