#include "backend/retriever/term_links.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "backend/retriever/result_priors.h"
#include "backend/storage/database.h"
#include "backend/store/chunk_body.h"
#include "backend/text/identifiers.h"
#include "backend/text/search_text.h"
#include "backend/text/stemming.h"

namespace vantory::backend {

namespace {

constexpr const char* kCreateTables = R"sql(
CREATE TABLE IF NOT EXISTS term_link_sets(
  agent_id TEXT PRIMARY KEY,
  version INTEGER NOT NULL,
  units INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS term_links(
  agent_id TEXT NOT NULL,
  word TEXT NOT NULL,
  version INTEGER NOT NULL,
  links TEXT NOT NULL,
  PRIMARY KEY(agent_id, word)
) WITHOUT ROWID;
)sql";

// A documentation word teaches something once it was seen in this many documented units; a link
// needs this many units that hold both words, a code word this many times its share of all
// documented units among the units of the documentation word, and a documentation word keeps its
// strongest kLinksPerWord links.
constexpr std::uint32_t kMinWordUnits = 3;
constexpr std::uint32_t kMinPairUnits = 3;
constexpr double kMinLift = 4.0;
constexpr std::size_t kLinksPerWord = 8;
// The words of one unit that are counted: a doc line and a body can be long, and the first words of
// each say most.
constexpr std::size_t kMaxDocWords = 24;
constexpr std::size_t kMaxCodeWords = 64;

bool tables_exist(Database& db) {
  Statement st = db.prepare(
      "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND "
      "name IN ('term_links', 'term_link_sets')");
  return st.step() && st.column_int(0) == 2;
}

bool is_meaningful(std::string_view word) {
  if (word.size() < 3) return false;
  return !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `summary` is the unit's signature rather than its documentation: it names the unit and
// holds the punctuation of a declaration.
bool is_signature(std::string_view summary, std::string_view name) {
  std::vector<std::string_view> name_words = words_of(name);
  if (name_words.empty()) return true;
  std::string_view short_name = name_words.back();
  bool names_unit = false;
  for (std::string_view word : words_of(summary)) {
    if (word == short_name) names_unit = true;
  }
  return names_unit && summary.find_first_of("(){}:=") != std::string_view::npos;
}

class Interner {
 public:
  std::uint32_t id(const std::string& word) {
    auto [it, added] = ids_.emplace(word, static_cast<std::uint32_t>(words_.size()));
    if (added) words_.push_back(word);
    return it->second;
  }
  const std::string& word(std::uint32_t id) const { return words_[id]; }

 private:
  std::unordered_map<std::string, std::uint32_t> ids_;
  std::vector<std::string> words_;
};

std::string format_strength(double strength) {
  char buffer[32];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, strength, std::chars_format::general, 4);
  return ec == std::errc() ? std::string(buffer, end) : "0";
}

}  // namespace

std::int64_t rebuild_term_links(Database& db, const std::string& agent_id) {
  Interner doc_words;
  Interner code_words;
  std::unordered_map<std::uint32_t, std::uint32_t> doc_count;
  std::unordered_map<std::uint32_t, std::uint32_t> code_count;
  std::unordered_map<std::uint64_t, std::uint32_t> pair_count;
  std::int64_t units = 0;
  std::uint32_t documented = 0;
  {
    // File by file, so that the chunks are read in the order they were written; through the
    // agent's index of chunks they came in hash order, a seek each (six times slower).
    Statement st = db.prepare(
        "SELECT c.body, x.file_path FROM contexts x JOIN chunks c ON c.context_id = x.id "
        "WHERE x.agent_id = ?1");
    st.bind(1, agent_id);
    std::vector<std::uint32_t> docs;
    std::vector<std::uint32_t> codes;
    while (st.step()) {
      ++units;
      if (is_secondary_path(st.column_text_view(1))) continue;
      ChunkBody body = unpack_chunk_body(st.column_blob(0), db.text_dictionaries());
      const std::string& fts_name = body.text.name;
      const std::string& summary = body.text.summary;
      std::string_view name = std::string_view(fts_name).substr(0, fts_name.find(' '));
      if (summary.empty() || is_signature(summary, name)) continue;
      docs.clear();
      for (const std::string& word : query_words(summary)) {
        if (docs.size() >= kMaxDocWords) break;
        if (!is_meaningful(word) || is_stop_word(word)) continue;
        std::uint32_t id = doc_words.id(stem_word(word));
        if (std::find(docs.begin(), docs.end(), id) == docs.end()) docs.push_back(id);
      }
      if (docs.empty()) continue;
      codes.clear();
      auto add_code = [&](const std::string& word) {
        if (codes.size() >= kMaxCodeWords || !is_meaningful(word)) return;
        std::uint32_t id = code_words.id(word);
        if (std::find(codes.begin(), codes.end(), id) == codes.end()) codes.push_back(id);
      };
      for (std::string_view word : words_of(fts_name)) add_code(lower_word(word));
      ++documented;
      for (std::uint32_t d : docs) ++doc_count[d];
      for (std::uint32_t c : codes) ++code_count[c];
      for (std::uint32_t d : docs) {
        for (std::uint32_t c : codes) ++pair_count[(std::uint64_t{d} << 32) | c];
      }
    }
  }

  std::unordered_map<std::uint32_t, std::vector<std::pair<double, std::uint32_t>>> links;
  for (const auto& [key, together] : pair_count) {
    auto d = static_cast<std::uint32_t>(key >> 32);
    auto c = static_cast<std::uint32_t>(key & 0xffffffffu);
    std::uint32_t with_doc = doc_count[d];
    if (together < kMinPairUnits || with_doc < kMinWordUnits) continue;
    const std::string& code = code_words.word(c);
    if (stem_word(code) == doc_words.word(d)) continue;  // the query holds it already
    double p = static_cast<double>(together) / with_doc;
    double lift = p / (static_cast<double>(code_count[c]) / documented);
    if (lift < kMinLift) continue;
    links[d].emplace_back(p * std::log(lift), c);
  }

  Transaction tx(db);
  db.exec(kCreateTables);
  db.prepare("DELETE FROM term_links WHERE agent_id = ?1").bind(1, agent_id).run();
  for (auto& [d, targets] : links) {
    std::sort(targets.begin(), targets.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    if (targets.size() > kLinksPerWord) targets.resize(kLinksPerWord);
    std::string text;
    for (const auto& [strength, c] : targets) {
      if (!text.empty()) text += ' ';
      text += code_words.word(c);
      text += ' ';
      text += format_strength(strength);
    }
    db.prepare(
          "INSERT INTO term_links(agent_id, word, version, links) "
          "VALUES(?1, ?2, ?3, ?4)")
        .bind(1, agent_id)
        .bind(2, doc_words.word(d))
        .bind(3, kTermLinksVersion)
        .bind(4, text)
        .run();
  }
  db.prepare(
        "INSERT OR REPLACE INTO term_link_sets(agent_id, version, units) "
        "VALUES(?1, ?2, ?3)")
      .bind(1, agent_id)
      .bind(2, kTermLinksVersion)
      .bind(3, units)
      .run();
  tx.commit();
  return units;
}

std::int64_t term_links_size(Database& db, const std::string& agent_id) {
  if (!tables_exist(db)) return 0;
  Statement st = db.prepare("SELECT version, units FROM term_link_sets WHERE agent_id = ?1");
  st.bind(1, agent_id);
  if (!st.step() || st.column_int(0) != kTermLinksVersion) return 0;
  return st.column_int(1);
}

std::vector<TermLink> linked_words(Database& db, const std::string& agent_id,
                                   const std::string& stem) {
  std::vector<TermLink> out;
  if (!tables_exist(db)) return out;
  Statement st = db.prepare(
      "SELECT links FROM term_links WHERE agent_id = ?1 "
      "AND word = ?2 AND version = ?3");
  st.bind(1, agent_id).bind(2, stem).bind(3, kTermLinksVersion);
  if (!st.step()) return out;
  std::vector<std::string_view> parts;
  std::string_view text = st.column_text_view(0);
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    double strength = 0;
    std::from_chars(parts[i + 1].data(), parts[i + 1].data() + parts[i + 1].size(), strength);
    out.push_back({std::string(parts[i]), strength});
  }
  return out;
}

}  // namespace vantory::backend
