// Unicode text helpers with the semantics of Python's str methods, on UTF-8 strings.
//
// Thread-safe: no shared mutable state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantory {

// Python's str.isspace() for one code point: the ASCII white space characters, U+001C to
// U+001F, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_space(char32_t c);

// Python's str.isalnum() for one code point: a letter, a decimal digit, a digit or another
// numeric character (é, ß, ٣ and ² all count).
bool is_alnum(char32_t c);

// Full Unicode lower-case mapping (Python's str.lower()): İ becomes "i̇", a word-final Σ
// becomes ς. Invalid UTF-8 bytes pass through unchanged.
std::string to_lower(std::string_view text);

// to_lower(text) written over the content of `out`, whose storage is reused: for loops that
// lower-case many texts.
void assign_lower(std::string& out, std::string_view text);

// Python's str.split() without arguments: the words between runs of white space.
std::vector<std::string_view> split_whitespace(std::string_view text);

// Python's str.strip() without arguments.
std::string_view strip_whitespace(std::string_view text);

// Every run of white space becomes one blank; the ends are trimmed.
std::string collapse_whitespace(std::string_view text);

// Number of code points (an invalid byte counts as one).
std::size_t code_point_count(std::string_view text);

// Decodes one code point starting at `pos`, advancing `pos`. An invalid or truncated sequence
// yields U+FFFD and advances past its maximal invalid subpart.
char32_t next_code_point(std::string_view text, std::size_t& pos);

// Appends the UTF-8 form of `c`.
void append_utf8(std::string& out, char32_t c);

// Bytes read as UTF-8 with every undecodable sequence replaced by U+FFFD, the way Python's
// bytes.decode("utf-8", errors="replace") does.
std::string decode_utf8_lossy(std::string_view bytes);

// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Why `bytes` cannot be read as UTF-8, in the words of Python's strict decoder ("'utf-8' codec
// can't decode byte 0xff in position 0: invalid start byte"); empty for well-formed UTF-8.
std::string utf8_decode_error(std::string_view bytes);

// "\r\n" and lone "\r" become "\n" (universal newlines).
std::string translate_newlines(std::string_view text);

}  // namespace vantory
