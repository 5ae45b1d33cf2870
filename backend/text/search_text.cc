#include "backend/text/search_text.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "backend/text/identifiers.h"
#include "backend/text/recent_words.h"
#include "backend/text/run_together.h"
#include "backend/text/stemming.h"
#include "common/unicode.h"

namespace vantory::backend {

namespace {

constexpr std::array<std::string_view, 37> kStopWords = {
    "a",    "an",   "and",   "are",   "as",   "at",  "be",   "by", "can",  "do",
    "does", "for",  "from",  "how",   "i",    "in",  "into", "is", "it",   "me",
    "of",   "on",   "or",    "show",  "that", "the", "this", "to", "used", "uses",
    "what", "when", "where", "which", "who",  "why", "with"};

// A long query asks for about kMaxJoins joins of its words (query_terms), those of its first
// kMaxJoins words: each costs a look into the index.
constexpr std::size_t kMaxJoins = 24;

std::string valid_utf8(std::string_view text) {
  return is_valid_utf8(text) ? std::string(text) : decode_utf8_lossy(text);
}

std::string utf8_member(const Json& record, const char* key) {
  auto it = record.find(key);
  if (it == record.end() || !it->is_string()) return {};
  return valid_utf8(it->get_ref<const std::string&>());
}

// `text` followed by the sub-words of its compound words and the pieces that `file_words`
// cuts its run-together words into, each distinct one once.
std::string with_subwords(const std::string& text, const FileWords* file_words) {
  std::string out = text;
  std::unordered_set<std::string> seen;
  auto add = [&](std::string part) {
    if (seen.insert(part).second) {
      out += ' ';
      out += part;
    }
  };
  for (std::string_view word : words_of(text)) {
    std::vector<std::string> parts = split_identifier(word);
    for (std::string& part : parts) {
      if (file_words != nullptr) {
        for (std::string& piece : file_words->split(part)) add(std::move(piece));
      }
      if (parts.size() >= 2) add(std::move(part));
    }
  }
  return out;
}

}  // namespace

bool is_stop_word(std::string_view word) {
  return std::find(kStopWords.begin(), kStopWords.end(), word) != kStopWords.end();
}

ChunkSearchText chunk_search_text(const Json& chunk, std::string path_words,
                                  const FileWords* file_words, std::string_view topic) {
  ChunkSearchText text;
  text.name = with_subwords(utf8_member(chunk, "name"), file_words);
  text.summary = utf8_member(chunk, "summary");
  auto keywords = chunk.find("keywords");
  if (keywords != chunk.end() && keywords->is_array()) {
    for (const Json& keyword : *keywords) {
      if (!keyword.is_string()) continue;
      if (!text.keywords.empty()) text.keywords += ' ';
      text.keywords += valid_utf8(keyword.get_ref<const std::string&>());
    }
  }
  text.content = utf8_member(chunk, "content");
  RecentWords recent;  // a word met again adds nothing new
  std::unordered_set<std::string> seen_parts;
  std::vector<std::string_view> parts;
  std::string lowered;
  visit_words(text.content, [&](std::string_view word) {
    if (recent.met(word)) return;
    parts.clear();
    visit_subwords(word, [&](std::string_view part) { parts.push_back(part); });
    if (parts.size() < 2) return;
    for (std::string_view part : parts) {
      assign_lower_word(lowered, part);
      if (seen_parts.insert(lowered).second) {
        if (!text.subwords.empty()) text.subwords += ' ';
        text.subwords += lowered;
      }
    }
  });
  if (!topic.empty()) {
    if (!text.subwords.empty()) text.subwords += ' ';
    text.subwords += topic;
  }
  text.path = std::move(path_words);
  return text;
}

std::string path_terms(std::string_view path) {
  std::size_t slash = path.rfind('/');
  std::string_view dirs =
      slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::size_t dot = base.rfind('.');
  if (dot != std::string_view::npos && dot > 0) base = base.substr(0, dot);
  std::string out;
  auto add = [&](std::string_view part) {
    for (std::string_view word : words_of(part)) {
      std::vector<std::string> parts = split_identifier(word);
      std::string whole = lower_word(word);
      if (!out.empty()) out += ' ';
      out += whole;
      if (parts.size() < 2) continue;
      for (const std::string& sub : parts) {
        out += ' ';
        out += sub;
      }
    }
  };
  add(valid_utf8(dirs));
  add(valid_utf8(base));
  return out;
}

std::vector<std::string> query_terms(std::string_view query) {
  std::vector<std::string> terms;
  std::vector<std::string> stop_terms;
  auto add = [&](std::string term) {
    std::vector<std::string>& into = is_stop_word(term) ? stop_terms : terms;
    if (std::find(into.begin(), into.end(), term) == into.end()) into.push_back(std::move(term));
  };
  std::string text = valid_utf8(query);
  std::string previous;
  std::vector<std::string> meaningful;  // the words that are no stop words, in order
  for (std::string_view word : words_of(text)) {
    std::string whole = lower_word(word);
    std::vector<std::string> parts = split_identifier(word);
    // Two words in a row may name one identifier: "create connection" finds
    // create_connection and createConnection.
    if (!previous.empty() && !is_stop_word(previous) && !is_stop_word(whole)) {
      add(previous + "_" + whole);
      add(previous + whole);
    }
    previous = whole;
    if (!is_stop_word(whole)) meaningful.push_back(whole);
    add(std::move(whole));
    if (parts.size() < 2) continue;
    for (std::string& part : parts) add(std::move(part));
  }
  // Identifiers run words together across the small words a sentence puts between them, and
  // run-together ones in either order: "lines of the file" may be lines_file, "open the URL"
  // urlopen. Only the joins that the code base holds reach the index (the retriever looks each
  // up).
  std::size_t joins_end = terms.size() + kMaxJoins;
  std::size_t pairs = std::min(meaningful.size(), kMaxJoins);
  for (std::size_t i = 0; i + 1 < pairs && terms.size() < joins_end; ++i) {
    const std::string& a = meaningful[i];
    const std::string& b = meaningful[i + 1];
    add(a + "_" + b);
    add(a + b);
    add(b + a);
  }
  return terms.empty() ? stop_terms : terms;
}

std::vector<std::string> query_words(std::string_view query) {
  std::vector<std::string> words;
  std::string text = valid_utf8(query);
  for (std::string_view word : words_of(text)) words.push_back(lower_word(word));
  return words;
}

std::vector<std::string> query_stems(std::string_view query) {
  std::vector<std::string> stems;
  std::string text = valid_utf8(query);
  for (std::string_view word : words_of(text)) {
    std::string whole = lower_word(word);
    if (is_stop_word(whole)) continue;
    std::string stem = stem_word(whole);
    if (stem.size() < 4 || stem == whole) continue;
    if (std::find(stems.begin(), stems.end(), stem) == stems.end()) stems.push_back(stem);
  }
  return stems;
}

std::string match_any(const std::vector<std::string>& terms,
                      const std::vector<std::string>& prefixes) {
  std::string expr;
  auto add = [&](const std::string& term, bool prefix) {
    if (!expr.empty()) expr += " OR ";
    // Terms hold only word characters, so quoting cannot be broken out of; a quote inside
    // would be doubled all the same.
    expr += '"';
    for (char c : term) {
      if (c == '"') expr += '"';
      expr += c;
    }
    expr += prefix ? "\" *" : "\"";
  };
  for (const std::string& term : terms) add(term, false);
  for (const std::string& prefix : prefixes) add(prefix, true);
  return expr;
}

}  // namespace vantory::backend
