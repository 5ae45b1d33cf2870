// The JSON text format of every file and request body vantory writes.
//
// Writing is byte-compatible with Python's json.dumps defaults: separators ", " and ": ",
// no other white space, no trailing newline; every character outside printable ASCII is a
// \uXXXX escape (lower-case hex, surrogate pairs above U+FFFF) except \n \r \t \b \f and the
// escaped quote and backslash; doubles are laid out like Python's repr(float). Reading accepts
// NaN, Infinity and -Infinity and converts every number correctly rounded.
//
// All functions are thread-safe (they share no state).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

namespace vantory {

// The text of `value`. Strings must be UTF-8; invalid bytes are written as \ufffd.
std::string dump_json(const Json& value);

// Appends the text of `value` to `out`.
void append_json(std::string& out, const Json& value);

// Appends `text` as a quoted, escaped JSON string.
void append_json_string(std::string& out, std::string_view text);

// Appends `value` as Python's repr(float) writes it: "1.0", "0.6000000238418579", "1e-05",
// "1e+16", "-0.0", "NaN", "Infinity", "-Infinity".
void append_json_double(std::string& out, double value);

// Appends `values` as a JSON array of numbers, each float widened to double first.
void append_json_float_array(std::string& out, const float* values, std::size_t count);

// repr(float) as a string.
std::string format_double(double value);

// Parses one JSON value. Accepts NaN, Infinity and -Infinity; integers that fit 64 bits stay
// integers, larger ones become doubles. Nesting deeper than kMaxJsonDepth is refused.
// Throws ValueError naming what was expected and where ("Expecting value: line 1 column 1
// (char 0)").
Json parse_json(std::string_view text);

inline constexpr int kMaxJsonDepth = 1000;

// Reads text that holds one JSON object whose members are all arrays of numbers, the form of
// the embedding cache and the vectors files. For each member, in file order, calls
// `on_member(key, values)` with the numbers as parsed doubles (true and false count as 1 and
// 0). A key that occurs twice is reported twice; like a JSON object read into a map, the later
// value wins and keeps the first position. Stops with ValueError when the text is not JSON;
// with TypeError when the top level is not an object or a member is not an array of numbers.
// No Json tree is built.
void parse_number_array_object(
    std::string_view text,
    const std::function<void(std::string&& key, std::vector<double>& values)>& on_member);

// parse_number_array_object over the file at `path`, read in pieces of `piece_size` bytes
// (a megabyte unless a test asks for less) so that a large file never sits in memory whole.
// Positions in messages count from the start of the file. Also throws OSError when the file
// cannot be read.
inline constexpr std::size_t kNumberArrayFilePiece = std::size_t{1} << 20;
void parse_number_array_file(
    const std::string& path,
    const std::function<void(std::string&& key, std::vector<double>& values)>& on_member,
    std::size_t piece_size = kNumberArrayFilePiece);

// parse_number_array_file that also hands on each member's array as it stands in the file,
// from "[" to "]" ("[0.1, 1, true]"), valid during the call: what lets a file be written back
// with the numbers exactly as they were read.
using NumberArrayTextHandler = std::function<void(std::string&& key, std::vector<double>& values,
                                                  std::string_view array_text)>;
void parse_number_array_file_with_text(const std::string& path,
                                       const NumberArrayTextHandler& on_member,
                                       std::size_t piece_size = kNumberArrayFilePiece);

}  // namespace vantory
