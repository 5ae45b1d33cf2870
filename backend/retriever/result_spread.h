// The order of a search's results over files: a file's further units give way to the units of
// files not yet shown that score nearly as well, so that the first results name more places.
// An agent looking for the function a question describes is shown the one file's units one
// after another only when no other file comes close.
//
// Thread-safe: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantory::backend {

// A unit's score weighs this much once a unit of its file comes before it.
inline constexpr double kFurtherUnitOfFileFactor = 0.9;

struct SpreadUnit {
  std::int64_t file = -1;  // the unit's file; a negative one is no file shown before
  double score = 0;
};

// The first `count` of `units`, which are sorted by score (highest first), in the order of
// their scores with each further unit of a file weighed kFurtherUnitOfFileFactor: the indices
// into `units`, best first. Each chosen unit's score becomes the weighed one, so the scores
// of the order never rise. Units of the same file keep their order, and so do units of new
// files. Linear in the size of `units`.
std::vector<std::size_t> spread_over_files(std::vector<SpreadUnit>& units, std::size_t count);

}  // namespace vantory::backend
