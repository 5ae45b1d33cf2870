#include "coding/internal/pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "common/error.h"

namespace vantory {

namespace {

struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

std::string error_text(int code) {
  PCRE2_UCHAR buffer[256];
  int length = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (length < 0) return "error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

struct Pattern::Code {
  pcre2_code* code = nullptr;
  ~Code() { pcre2_code_free(code); }
};

Pattern::Pattern(std::string_view pattern) : code_(std::make_unique<Code>()) {
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  // MATCH_INVALID_UTF: chunk text comes from outside components and need not be valid UTF-8;
  // a bad byte must not turn a search into a failure.
  code_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                              PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF, &error,
                              &error_offset, nullptr);
  if (!code_->code) {
    throw ValueError("bad regular expression '" + std::string(pattern) + "' at position " +
                     std::to_string(error_offset) + ": " + error_text(error));
  }
}

Pattern::~Pattern() = default;

std::optional<Pattern::Match> Pattern::match(std::string_view subject, std::size_t offset,
                                             bool anchored) const {
  if (offset > subject.size()) return std::nullopt;
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> data(
      pcre2_match_data_create_from_pattern(code_->code, nullptr));
  if (!data) throw RuntimeError("out of memory for a regular expression match");
  int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                       offset, anchored ? PCRE2_ANCHORED : 0, data.get(), nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return std::nullopt;
  if (rc < 0) throw RuntimeError("regular expression search failed: " + error_text(rc));
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
  std::uint32_t pairs = pcre2_get_ovector_count(data.get());
  Match found;
  found.start = ovector[0];
  found.end = ovector[1];
  for (std::uint32_t i = 1; i < pairs; ++i) {
    if (ovector[2 * i] == PCRE2_UNSET) {
      found.groups.emplace_back();
    } else {
      found.groups.push_back(subject.substr(ovector[2 * i], ovector[2 * i + 1] - ovector[2 * i]));
    }
  }
  return found;
}

std::optional<Pattern::Match> Pattern::search(std::string_view subject, std::size_t offset) const {
  return match(subject, offset, false);
}

bool Pattern::matches_at(std::string_view subject, std::size_t offset) const {
  return match(subject, offset, true).has_value();
}

std::vector<Pattern::Match> Pattern::find_all(std::string_view subject) const {
  std::vector<Match> matches;
  std::size_t offset = 0;
  while (auto found = match(subject, offset, false)) {
    offset = found->end;
    if (found->end == found->start) {
      // Step past one whole character, or the same empty match would be found again.
      ++offset;
      while (offset < subject.size() && is_continuation_byte(subject[offset])) ++offset;
    }
    matches.push_back(std::move(*found));
  }
  return matches;
}

std::string Pattern::escape(std::string_view literal) {
  std::string out;
  out.reserve(literal.size() * 2);
  for (char c : literal) {
    unsigned char u = static_cast<unsigned char>(c);
    bool plain = u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                 (c >= '0' && c <= '9') || c == '_';
    if (c == '\0') {
      out += "\\x00";
      continue;
    }
    // A backslash before an ASCII character that is not alphanumeric makes it literal.
    if (!plain) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace vantory
