#include "backend/retriever/hybrid_retriever.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "backend/retriever/name_match.h"
#include "backend/retriever/namesakes.h"
#include "backend/retriever/question_coverage.h"
#include "backend/retriever/result_priors.h"
#include "backend/retriever/result_spread.h"
#include "backend/storage/hash_keys.h"
#include "backend/store/chunk_body.h"
#include "backend/text/search_text.h"
#include "backend/text/stemming.h"
#include "common/error.h"
#include "common/json_text.h"
#include "common/message_text.h"
#include "common/paths.h"
#include "common/rounding.h"

namespace vantory::backend {

namespace {

// Each kind of search contributes this many candidates per wanted result (at least
// kMinCandidates), so that fusion can promote a hit that only one kind ranks highly.
constexpr std::int64_t kCandidatesPerResult = 3;
constexpr std::int64_t kMinCandidates = 30;

// BM25 column weights, in the order of the index: name, summary, keywords, content,
// identifier sub-words, path words. Keywords are given to the index only by stores made
// before they were left out of it (chunk_body.h), and count for nothing.
constexpr const char* kKeywordSearch =
    "SELECT c.id, vantory_bm25(chunk_fts, 10.0, 2.0, 0.0, 1.0, 0.5, 5.0) AS rank FROM chunk_fts "
    "JOIN chunks c ON c.id = chunk_fts.rowid WHERE chunk_fts MATCH ?1 AND c.agent_id = ?2 "
    "ORDER BY rank LIMIT ?3";
// The same when the agent's chunks are the only ones: no chunk is looked up to check whose it
// is. A query of common words matches thousands of chunks, and those lookups, a seek each into
// the chunk rows, were most of a warm search's time.
constexpr const char* kKeywordSearchSole =
    "SELECT rowid, vantory_bm25(chunk_fts, 10.0, 2.0, 0.0, 1.0, 0.5, 5.0) AS rank FROM chunk_fts "
    "WHERE chunk_fts MATCH ?1 ORDER BY rank LIMIT ?2";
constexpr const char* kKeywordSearchFiltered =
    "SELECT c.id, vantory_bm25(chunk_fts, 10.0, 2.0, 0.0, 1.0, 0.5, 5.0) AS rank FROM chunk_fts "
    "JOIN chunks c ON c.id = chunk_fts.rowid WHERE chunk_fts MATCH ?1 AND c.agent_id = ?2 "
    "AND c.context_id IN (SELECT value FROM json_each(?4)) ORDER BY rank LIMIT ?3";

// The chunks of copies (chunks.body_of) in the files of the filter, found through the keyword
// index rows of their originals, which may lie outside the filter.
constexpr const char* kKeywordSearchCopiesFiltered =
    "SELECT k.id, vantory_bm25(chunk_fts, 10.0, 2.0, 0.0, 1.0, 0.5, 5.0) AS rank FROM chunk_fts "
    "JOIN chunks k ON k.body_of = chunk_fts.rowid WHERE chunk_fts MATCH ?1 AND k.agent_id = ?2 "
    "AND k.context_id IN (SELECT value FROM json_each(?4)) ORDER BY rank LIMIT ?3";

// Whether every stored chunk is `agent_id`'s (true for a store with no chunks).
bool sole_agent(Database& db, const std::string& agent_id) {
  // Apart, MIN and MAX each read one end of the agents' index (the index by hash id, which
  // holds the chunks that are no copies: a copy is its original's agent's); together they
  // scan it.
  for (const char* sql : {"SELECT MIN(agent_id) FROM chunks WHERE body_of IS NULL",
                          "SELECT MAX(agent_id) FROM chunks WHERE body_of IS NULL"}) {
    Statement st = db.prepare(sql);
    if (st.step() && !st.is_null(0) && st.column_text_view(0) != agent_id) return false;
  }
  return true;
}

// The context ids the filter selects: files named exactly, and the files below named
// directories.
std::unordered_set<std::int64_t> filtered_contexts(ContextTable& table, const std::string& agent_id,
                                                   const Json& filter) {
  std::vector<std::string> wanted;
  for (const Json& path : filter) {
    if (path.is_string()) wanted.push_back(normalize_path(path.get<std::string>()));
  }
  std::unordered_set<std::int64_t> ids;
  for (const ContextRow& row : table.rows(agent_id)) {
    for (const std::string& want : wanted) {
      bool below = want == "." ? row.file_path.front() != '/'
                               : row.file_path.size() > want.size() &&
                                     row.file_path.compare(0, want.size(), want) == 0 &&
                                     (want.back() == '/' || row.file_path[want.size()] == '/');
      if (row.file_path == want || below) {
        ids.insert(row.id);
        break;
      }
    }
  }
  return ids;
}

// The terms worth asking the keyword index for. A term that most chunks hold adds almost
// nothing to BM25 but makes the index score every one of those chunks, so terms in more than
// kCommonTermShare of the chunks, and in more than kCommonTermDocs of them (small code bases
// cost nothing to score), are dropped, unless that would leave fewer than kMinTerms: then
// the rarest are kept.
constexpr double kCommonTermShare = 0.05;
constexpr std::int64_t kCommonTermDocs = 2000;
constexpr std::size_t kMinTerms = 2;

std::vector<std::string> useful_terms(Database& db, KeywordVocabulary& vocabulary,
                                      const std::vector<std::string>& terms) {
  auto total = static_cast<double>(vocabulary.total_chunks(db));
  std::vector<std::pair<std::int64_t, std::string>> by_rarity;
  std::vector<std::string> kept;
  for (const std::string& term : terms) {
    std::int64_t docs = vocabulary.chunks_holding(db, term);
    // An ASCII term is its own token, so no count means no chunk holds it. The index folds
    // diacritics of other terms, which it alone can look up.
    bool ascii = std::all_of(term.begin(), term.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (docs == 0 && ascii) continue;
    by_rarity.emplace_back(docs, term);
    if (docs <= kCommonTermDocs || static_cast<double>(docs) <= kCommonTermShare * total) {
      kept.push_back(term);
    }
  }
  if (kept.size() >= kMinTerms || kept.size() == by_rarity.size()) return kept;
  std::stable_sort(by_rarity.begin(), by_rarity.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  kept.clear();
  for (std::size_t i = 0; i < by_rarity.size() && i < kMinTerms; ++i) {
    kept.push_back(by_rarity[i].second);
  }
  return kept;
}

// Tests, fixtures, generated and data files, and blocks without a name, keep
// this share of their score: they come after the definitions they exercise
// unless they match far better.
constexpr double kSecondaryPathFactor = 0.5;
constexpr double kAnonymousUnitFactor = 0.7;
// A declaration keeps this share: after the definition of the same function, which matches
// as well, and before blocks.
constexpr double kDeclarationFactor = 0.9;

// The keyword index is asked for this many hits per place in the pool, and the pool takes the
// best of them by the score they will have once the priors of their files are applied (below):
// ranked by BM25 alone, the tests of a module, whose paths hold the module's words, could take
// every place from the code they test, which ranks above them in the end. Three hits a place
// were too few: the 90 best hits of "open a URL" on CPython's Lib are all tests of urllib.
constexpr std::int64_t kKeywordHitsPerPlace = 10;

// `hits` (chunk id, relevance, best first) cut to the `pool` best by relevance times the prior
// of the chunk's file (kSecondaryPathFactor for tests, fixtures, generated and data files). The
// relevances are kept as they are: the priors are applied once, in the final ranking.
void cut_by_file_prior(Database& db, std::vector<std::pair<std::int64_t, double>>& hits,
                       std::size_t pool) {
  std::unordered_map<std::int64_t, bool> secondary;  // by context id
  std::vector<std::pair<double, std::size_t>> order;  // (prior times relevance, index in hits)
  for (std::size_t i = 0; i < hits.size(); ++i) {
    // No hit after this one scores above its relevance: once `pool` scores are at least that,
    // the cut is known.
    std::size_t above = 0;
    for (const auto& scored : order) above += scored.first >= hits[i].second ? 1 : 0;
    if (above >= pool) break;
    double factor = 1.0;
    Statement chunk = db.prepare("SELECT context_id FROM chunks WHERE id = ?1");
    chunk.bind(1, hits[i].first);
    if (chunk.step()) {
      auto [known, added] = secondary.emplace(chunk.column_int(0), false);
      if (added) {
        Statement context = db.prepare("SELECT file_path FROM contexts WHERE id = ?1");
        context.bind(1, known->first);
        known->second = context.step() && is_secondary_path(context.column_text_view(0));
      }
      if (known->second) factor = kSecondaryPathFactor;
    }
    order.emplace_back(hits[i].second * factor, i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  if (order.size() > pool) order.resize(pool);
  std::vector<std::pair<std::int64_t, double>> kept;
  kept.reserve(order.size());
  for (const auto& [score, i] : order) kept.push_back(hits[i]);
  hits = std::move(kept);
}

// BM25's length norm (k1 1.2, b 0.75) of a file of `words` distinct words, among files of
// `average` words.
double file_length_norm(std::int64_t words, double average) {
  if (average <= 0) return 1.0;
  return 2.2 / (1.0 + 1.2 * (0.25 + 0.75 * static_cast<double>(words) / average));
}

// The mean count of distinct words of an agent's files that have any.
double average_file_words(Database& db, const std::string& agent_id) {
  Statement st = db.prepare(
      "SELECT AVG(word_count) FROM contexts WHERE agent_id = ?1 AND word_count > 0");
  st.bind(1, agent_id);
  return st.step() && !st.is_null(0) ? st.column_double(0) : 0.0;
}

struct Candidate {
  double keyword = 0;
  double vector = 0;
  double score = 0;
  std::int64_t file = -1;  // its context's id; -1 until found
  std::string name;        // a named unit's name, outside tests and data; empty otherwise
};

bool by_score(const std::pair<std::int64_t, Candidate>& a,
              const std::pair<std::int64_t, Candidate>& b) {
  return a.second.score != b.second.score ? a.second.score > b.second.score : a.first < b.first;
}

// Each of the best kNamesakeSeeds units (`ranked`, sorted) lends kNamesakeFactor of its score
// to the units that bear its name in other files (namesakes.h), which keep their own score
// where it is higher (a declaration keeps kDeclarationFactor of what it is lent); `ranked`
// is sorted again. Units of files outside `allowed` (when given) are not added.
void lend_to_namesakes(Database& db, const std::string& agent_id,
                       const std::unordered_set<std::int64_t>* allowed,
                       std::vector<std::pair<std::int64_t, Candidate>>& ranked) {
  std::unordered_map<std::int64_t, std::size_t> at;  // chunk id -> index in ranked
  for (std::size_t i = 0; i < ranked.size(); ++i) at.emplace(ranked[i].first, i);
  bool lent = false;
  for (std::size_t i = 0, seeds = std::min(kNamesakeSeeds, ranked.size()); i < seeds; ++i) {
    if (ranked[i].second.name.empty()) continue;
    double score = ranked[i].second.score * kNamesakeFactor;
    for (const Namesake& namesake :
         find_namesakes(db, agent_id, ranked[i].second.name, ranked[i].second.file)) {
      if (allowed && !allowed->count(namesake.file)) continue;
      double share = score * (namesake.declaration ? kDeclarationFactor : 1.0);
      auto [place, added] = at.emplace(namesake.chunk, ranked.size());
      if (added) {
        Candidate candidate;
        candidate.file = namesake.file;
        candidate.score = share;
        ranked.emplace_back(namesake.chunk, std::move(candidate));
      } else if (ranked[place->second].second.score < share) {
        ranked[place->second].second.score = share;
      } else {
        continue;
      }
      lent = true;
    }
  }
  if (lent) std::sort(ranked.begin(), ranked.end(), by_score);
}

}  // namespace

Json HybridRetriever::search(const std::string& agent_id, const std::string& query,
                             std::int64_t top_k, const Json& file_paths_filter) {
  if (!file_paths_filter.is_null() && !file_paths_filter.is_array()) {
    throw TypeError(std::string("file_paths_filter must be a list or None, not ") +
                    type_name(file_paths_filter));
  }
  Embedder& embedder = core_->embedder();
  Json answer = {{"results", Json::array()},
                 {"query", query},
                 {"total_results", 0},
                 {"search_type", "hybrid"},
                 {"embedder", embedder.name()}};
  if (top_k <= 0) return answer;
  Database& db = core_->database();
  ContextTable& table = core_->contexts();
  VectorIndex& index = core_->vector_index();
  // The search reads one state of the store: the kept keyword counts and row lengths are
  // checked against the state its queries read, and its statements share one read lock
  // instead of taking one each.
  std::optional<ReadTransaction> snapshot(std::in_place, db);

  std::optional<std::unordered_set<std::int64_t>> allowed;
  Json allowed_ids = Json::array();
  if (file_paths_filter.is_array()) {
    allowed = filtered_contexts(table, agent_id, file_paths_filter);
    if (allowed->empty()) return answer;
    for (std::int64_t id : *allowed) allowed_ids.push_back(id);
  }
  std::int64_t pool = std::max(kMinCandidates, top_k * kCandidatesPerResult);

  std::unordered_map<std::int64_t, Candidate> candidates;
  bool sole = !allowed && sole_agent(db, agent_id);
  // A stem is asked for as the word it is ("returns" finds return, "converts" convert), not as
  // a prefix: as prefixes, stems matched every longer word (convert* finds converters and
  // conversions), which ranked such names above the words the question used.
  std::vector<std::string> with_stems = query_terms(query);
  for (std::string& stem : query_stems(query)) {
    if (std::find(with_stems.begin(), with_stems.end(), stem) == with_stems.end())
      with_stems.push_back(std::move(stem));
  }
  KeywordVocabulary& vocabulary = core_->keyword_vocabulary();
  vocabulary.refresh(db);
  std::vector<std::string> words = useful_terms(db, vocabulary, with_stems);
  bool tests_wanted = asks_for_tests(query_words(query), [&](const std::string& term) {
    return vocabulary.chunks_holding(db, term) > 0;
  });
  if (!words.empty()) {
    Statement st = db.prepare(allowed ? kKeywordSearchFiltered
                              : sole    ? kKeywordSearchSole
                                        : kKeywordSearch);
    st.bind(1, match_any(words));
    // Without a wish for tests, the hits are cut by the priors of their files.
    std::int64_t asked = tests_wanted ? pool : pool * kKeywordHitsPerPlace;
    if (sole) {
      st.bind(2, asked);
    } else {
      st.bind(2, agent_id).bind(3, asked);
    }
    if (allowed) st.bind(4, dump_json(allowed_ids));
    std::vector<std::pair<std::int64_t, double>> hits;
    while (st.step()) {
      // bm25() is lower for better matches
      hits.emplace_back(st.column_int(0), -st.column_double(1));
    }
    if (!tests_wanted) cut_by_file_prior(db, hits, static_cast<std::size_t>(pool));
    double best = 0;
    for (const auto& hit : hits) best = std::max(best, hit.second);
    // The chunks of copies of a file are found as their original's, whose keyword index rows
    // they share: each matches as well.
    if (allowed) {
      Statement copies = db.prepare(kKeywordSearchCopiesFiltered);
      copies.bind(1, match_any(words)).bind(2, agent_id).bind(3, pool);
      copies.bind(4, dump_json(allowed_ids));
      while (copies.step()) {
        double relevance = -copies.column_double(1);
        best = std::max(best, relevance);
        hits.emplace_back(copies.column_int(0), relevance);
      }
    } else {
      for (std::size_t i = 0, found = hits.size(); i < found; ++i) {
        Statement copies = db.prepare("SELECT id FROM chunks WHERE body_of = ?1");
        copies.bind(1, hits[i].first);
        while (copies.step()) hits.emplace_back(copies.column_int(0), hits[i].second);
      }
    }
    for (const auto& [id, relevance] : hits) {
      candidates[id].keyword = best > 0 ? relevance / best : 0;
    }
  }

  std::vector<std::vector<float>> query_vector = embedder.embed({query});
  if (!query_vector.empty() && !query_vector[0].empty()) {
    const std::vector<float>& q = query_vector[0];
    index.refresh(db, agent_id, table.generation(agent_id), embedder.name());
    // Keyword hits are scored by their vectors too, so fusion never compares a real
    // similarity with a missing one.
    for (auto& [id, candidate] : candidates) {
      candidate.vector = std::max(0.0f, index.similarity(db, q, id));
    }
    for (const auto& [id, similarity] :
         index.nearest(db, q, static_cast<std::size_t>(pool), allowed ? &*allowed : nullptr)) {
      if (similarity <= 0) break;
      candidates[id].vector = similarity;
    }
  }

  std::unordered_set<std::string> asked = asked_words(query);
  QuestionWords question(query, db, vocabulary);
  std::vector<std::pair<std::int64_t, Candidate>> ranked(candidates.begin(), candidates.end());
  std::optional<double> file_words_average;
  std::unordered_map<std::int64_t, double> file_scores;  // by context id
  for (auto& [id, candidate] : ranked) {
    candidate.score =
        kKeywordWeight * candidate.keyword + (1 - kKeywordWeight) * candidate.vector;
    Statement place = db.prepare(
        "SELECT x.file_path, COALESCE(o.body, c.body), x.id, "
        "COALESCE(x.words, (SELECT words FROM contexts WHERE id = o.context_id)), x.word_count "
        "FROM chunks c JOIN contexts x ON x.id = c.context_id "
        "LEFT JOIN chunks o ON o.id = c.body_of WHERE c.id = ?1");
    place.bind(1, id);
    if (!place.step()) continue;
    ChunkBody body = unpack_chunk_body(place.column_blob(1), db.text_dictionaries());
    candidate.score += kCoverageWeight * question.coverage(body.text);
    candidate.file = place.column_int(2);
    auto [file_score, unscored] = file_scores.emplace(candidate.file, 0.0);
    if (unscored) {
      if (!file_words_average) file_words_average = average_file_words(db, agent_id);
      std::int64_t count = place.column_int(4);
      WordFilter words = WordFilter::from_bytes(place.column_blob(3));
      file_score->second =
          question.file_coverage(words, path_terms(place.column_text_view(0))) *
          file_length_norm(count, *file_words_average);
    }
    candidate.score += kFileWeight * file_score->second;
    bool secondary = is_secondary_path(place.column_text_view(0));
    Json record = parse_json(body.record);
    auto type = record.find("type");
    auto name = record.find("name");
    if (type != record.end() && type->is_string() &&
        is_anonymous_unit(type->get_ref<const std::string&>())) {
      candidate.score *= kAnonymousUnitFactor;
    } else if (name != record.end() && name->is_string()) {
      candidate.score += kNameWeight * name_coverage(name->get_ref<const std::string&>(), asked);
      if (!secondary) candidate.name = name->get<std::string>();
      if (type != record.end() && type->is_string() &&
          is_declaration_unit(type->get_ref<const std::string&>())) {
        candidate.score *= kDeclarationFactor;
      }
    }
    if (!tests_wanted && secondary) {
      candidate.score *= kSecondaryPathFactor;
    }
  }
  std::sort(ranked.begin(), ranked.end(), by_score);
  lend_to_namesakes(db, agent_id, allowed ? &*allowed : nullptr, ranked);
  std::vector<SpreadUnit> spread;
  spread.reserve(ranked.size());
  for (const auto& [id, candidate] : ranked) spread.push_back({candidate.file, candidate.score});
  std::vector<std::pair<std::int64_t, Candidate>> shown;
  for (std::size_t i : spread_over_files(spread, static_cast<std::size_t>(top_k))) {
    shown.push_back(ranked[i]);
    shown.back().second.score = spread[i].score;
  }
  ranked = std::move(shown);

  Json& results = answer["results"];
  std::int64_t tokens_served = 0;
  std::int64_t tokens_baseline = 0;
  std::unordered_set<std::string> files_counted;
  for (const auto& [id, candidate] : ranked) {
    Statement st = db.prepare(
        "SELECT COALESCE(o.body, c.body), x.file_path, x.file_size, c.hash_id, "
        "c.body_of IS NOT NULL FROM chunks c JOIN contexts x ON x.id = c.context_id "
        "LEFT JOIN chunks o ON o.id = c.body_of WHERE c.id = ?1");
    st.bind(1, id);
    if (!st.step()) continue;
    ChunkBody body = unpack_chunk_body(st.column_blob(0), db.text_dictionaries());
    Json chunk = chunk_record(body, column_hash_id(st, 3));
    std::string file_path = st.column_text(1);
    if (st.column_int(4) != 0) put_in_file(chunk, file_path);
    if (!chunk.contains("file_path")) chunk["file_path"] = file_path;
    tokens_served += static_cast<std::int64_t>(body.text.content.size() / 4);
    if (files_counted.insert(file_path).second && !st.is_null(2)) {
      tokens_baseline += st.column_int(2) / 4;
    }
    results.push_back({{"chunk", std::move(chunk)},
                       {"score", round_places(candidate.score, 4)},
                       {"keyword_score", round_places(candidate.keyword, 4)},
                       {"vector_score", round_places(candidate.vector, 4)},
                       {"file_path", file_path}});
  }
  answer["total_results"] = results.size();
  snapshot.reset();
  core_->record_search(agent_id, static_cast<std::int64_t>(results.size()), tokens_served,
                       tokens_baseline);
  return answer;
}

}  // namespace vantory::backend
