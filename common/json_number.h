// A fast exact reader for the numbers of JSON text: the inner loop of the files that hold
// arrays of numbers (the embedding cache, the vectors files).
//
// Thread-safe: pure functions.
#pragma once

namespace vantory {

// Reads the JSON number at the start of [first, last) and stores the nearest double in
// `value` (the integer -0 gives +0.0, as an integer zero does). Answers the end of the
// number, or nullptr when [first, last) does not start with a JSON number or the number is
// one this reader leaves to a general method: more than 19 significant digits, or a decimal
// exponent far from the range of embedding values. Results are correctly rounded, the same
// as std::from_chars gives.
const char* read_json_double(const char* first, const char* last, double& value);

}  // namespace vantory
