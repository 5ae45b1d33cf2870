#include "backend/store/reports.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "backend/storage/database.h"
#include "backend/storage/hash_keys.h"
#include "backend/store/context_table.h"
#include "backend/vectors/embedder.h"
#include "backend/vectors/vector_rows.h"
#include "common/rounding.h"

namespace vantory::backend {

namespace {

// Paths named in one recommendation before it says "and N more".
constexpr std::size_t kPathsPerRecommendation = 10;
constexpr std::size_t kMostAccessed = 10;

struct AgentCounters {
  std::int64_t retrievals = 0;
  std::int64_t retrieval_misses = 0;
  std::int64_t searches = 0;
  std::int64_t search_results = 0;
  std::int64_t search_tokens_served = 0;
  std::int64_t search_tokens_baseline = 0;
  std::int64_t index_runs = 0;
  double index_ms = 0;
  std::int64_t chunks_embedded = 0;
  std::int64_t chunks_reused = 0;
  std::optional<double> last_indexed_at;
};

AgentCounters read_counters(Database& db, const std::string& agent_id) {
  Statement st = db.prepare(
      "SELECT retrievals, retrieval_misses, searches, search_results, search_tokens_served, "
      "search_tokens_baseline, index_runs, index_ms, chunks_embedded, chunks_reused, "
      "last_indexed_at FROM agents WHERE agent_id = ?1");
  st.bind(1, agent_id);
  AgentCounters c;
  if (!st.step()) return c;
  c.retrievals = st.column_int(0);
  c.retrieval_misses = st.column_int(1);
  c.searches = st.column_int(2);
  c.search_results = st.column_int(3);
  c.search_tokens_served = st.column_int(4);
  c.search_tokens_baseline = st.column_int(5);
  c.index_runs = st.column_int(6);
  c.index_ms = st.column_double(7);
  c.chunks_embedded = st.column_int(8);
  c.chunks_reused = st.column_int(9);
  if (!st.is_null(10)) c.last_indexed_at = st.column_double(10);
  return c;
}

std::int64_t tokens_of(std::int64_t bytes) { return bytes / 4; }

Json percent(std::int64_t part, std::int64_t whole) {
  if (whole <= 0) return 0.0;
  return round_places(100.0 * static_cast<double>(part) / static_cast<double>(whole), 1);
}

std::int64_t file_bytes(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

std::int64_t chunks_without_vectors(Database& db, const std::string& agent_id,
                                    const std::string& embedder) {
  Statement st = db.prepare(
      "SELECT COUNT(DISTINCT c.hash_id) FROM chunks c WHERE c.agent_id = ?1 AND c.hash_id IS "
      "NOT NULL AND c.body_of IS NULL AND NOT EXISTS (SELECT 1 FROM vectors v WHERE v.agent_id = ?1 AND "
      "v.hash_id = c.hash_id AND v.embedder = ?2)");
  st.bind(1, agent_id).bind(2, embedder);
  return st.step() ? st.column_int(0) : 0;
}

// Per context of the agent that has any: how many distinct chunk hashes lack a vector from
// `embedder`.
std::unordered_map<std::int64_t, std::int64_t> missing_vectors_by_context(
    Database& db, const std::string& agent_id, const std::string& embedder) {
  // The chunks that hold their bodies are found by the index by hash id, without reading
  // their rows; a copy's chunk lacks what the chunk it reads lacks.
  Statement st = db.prepare(
      "SELECT c.id, c.context_id, c.hash_id FROM chunks c WHERE c.agent_id = ?1 AND "
      "c.hash_id IS NOT NULL AND c.body_of IS NULL AND NOT EXISTS (SELECT 1 FROM vectors v "
      "WHERE v.agent_id = ?1 AND v.hash_id = c.hash_id AND v.embedder = ?2)");
  st.bind(1, agent_id).bind(2, embedder);
  std::set<std::pair<std::int64_t, std::string>> lacking;  // (context, hash id)
  while (st.step()) {
    std::string hash = *column_hash_id(st, 2);
    lacking.emplace(st.column_int(1), hash);
    Statement copies = db.prepare("SELECT context_id FROM chunks WHERE body_of = ?1");
    copies.bind(1, st.column_int(0));
    while (copies.step()) lacking.emplace(copies.column_int(0), hash);
  }
  std::unordered_map<std::int64_t, std::int64_t> missing;
  for (const auto& [context, hash] : lacking) ++missing[context];
  return missing;
}

std::string path_list(const std::vector<std::string>& paths) {
  std::string text;
  for (std::size_t i = 0; i < paths.size() && i < kPathsPerRecommendation; ++i) {
    if (i > 0) text += ", ";
    text += paths[i];
  }
  if (paths.size() > kPathsPerRecommendation) {
    text += " and " + std::to_string(paths.size() - kPathsPerRecommendation) + " more";
  }
  return text;
}

std::string files_word(std::size_t n) { return n == 1 ? " file" : " files"; }

}  // namespace

Json token_savings_report(Database& db, ContextTable& table, const std::string& agent_id) {
  std::vector<ContextRow> rows = table.rows(agent_id);
  AgentCounters counters = read_counters(db, agent_id);
  std::int64_t indexed_tokens = 0;
  std::int64_t retrieval_served = 0;
  std::int64_t retrieval_baseline = 0;
  for (const ContextRow& row : rows) {
    FileFacts now = stat_file(row.file_path);
    indexed_tokens += tokens_of(now.size.value_or(row.facts.size.value_or(0)));
    retrieval_served += row.tokens_served;
    retrieval_baseline += row.tokens_baseline;
  }
  std::int64_t served = retrieval_served + counters.search_tokens_served;
  std::int64_t baseline = retrieval_baseline + counters.search_tokens_baseline;
  std::int64_t saved = std::max<std::int64_t>(0, baseline - served);
  return {{"status", "ok"},
          {"agent_id", agent_id},
          {"files_indexed", rows.size()},
          {"indexed_file_tokens", indexed_tokens},
          {"tokens_served", served},
          {"tokens_if_files_read", baseline},
          {"tokens_saved", saved},
          {"savings_percent", percent(saved, baseline)},
          {"retrievals",
           {{"count", counters.retrievals},
            {"tokens_served", retrieval_served},
            {"tokens_if_files_read", retrieval_baseline}}},
          {"searches",
           {{"count", counters.searches},
            {"results", counters.search_results},
            {"tokens_served", counters.search_tokens_served},
            {"tokens_if_files_read", counters.search_tokens_baseline}}},
          {"estimate", "4 bytes per token"}};
}

Json detailed_cache_stats(Database& db, ContextTable& table, const std::string& agent_id) {
  std::vector<ContextRow> rows = table.rows(agent_id);
  AgentCounters counters = read_counters(db, agent_id);
  double now = now_seconds();
  Json files = Json::array();
  std::vector<std::string> modified, deleted, created;
  std::int64_t total_chunks = 0;
  std::string embedder = configured_embedder_name();
  std::unordered_map<std::int64_t, std::int64_t> missing_by_context =
      missing_vectors_by_context(db, agent_id, embedder);
  for (const ContextRow& row : rows) {
    Freshness freshness = check_freshness(row.facts, row.file_path);
    total_chunks += row.chunk_count;
    Json entry = {{"file_path", row.file_path},
                  {"language", row.language},
                  {"chunk_count", row.chunk_count},
                  {"freshness", freshness_name(freshness)}};
    if (freshness != Freshness::kFresh) entry["stale_reason"] = staleness_reason(freshness);
    entry["access_count"] = row.access_count;
    entry["indexed_at"] = row.indexed_at;
    entry["age_seconds"] = round_places(std::max(0.0, now - row.indexed_at), 1);
    if (auto missing = missing_by_context.find(row.id); missing != missing_by_context.end()) {
      entry["chunks_without_vectors"] = missing->second;
    }
    files.push_back(std::move(entry));
    if (freshness == Freshness::kModified) modified.push_back(row.file_path);
    if (freshness == Freshness::kDeleted) deleted.push_back(row.file_path);
    if (freshness == Freshness::kCreated) created.push_back(row.file_path);
  }
  std::int64_t missing_vectors = chunks_without_vectors(db, agent_id, embedder);

  Json recommendations = Json::array();
  if (rows.empty()) {
    recommendations.push_back("Nothing is indexed yet: index files with index_file.");
  }
  if (!modified.empty()) {
    recommendations.push_back("Re-index " + std::to_string(modified.size()) + " changed" +
                              files_word(modified.size()) +
                              " with delta_update: " + path_list(modified));
  }
  if (!deleted.empty()) {
    recommendations.push_back("Invalidate " + std::to_string(deleted.size()) +
                              files_word(deleted.size()) + " that no longer " +
                              (deleted.size() == 1 ? "exists" : "exist") +
                              " (invalidate_cache with scope 'stale'): " + path_list(deleted));
  }
  if (!created.empty()) {
    recommendations.push_back(
        "Re-index " + std::to_string(created.size()) + files_word(created.size()) +
        " indexed from supplied chunks that now exist on disk: " + path_list(created));
  }
  if (missing_vectors > 0) {
    recommendations.push_back(std::to_string(missing_vectors) +
                              " chunks have no vector from the embedder in use (" + embedder +
                              "); index their folder again (index_directory, vantory index) "
                              "to embed them.");
  }
  if (!rows.empty() && recommendations.empty()) {
    recommendations.push_back("All " + std::to_string(rows.size()) + " cached" +
                              files_word(rows.size()) + " are fresh; nothing to do.");
  }

  std::int64_t lookups = counters.retrievals + counters.retrieval_misses;
  std::size_t stale = modified.size() + deleted.size() + created.size();
  return {{"status", "ok"},
          {"agent_id", agent_id},
          {"total_files", rows.size()},
          {"fresh_files", rows.size() - stale},
          {"stale_files", stale},
          {"retrievals", counters.retrievals},
          {"retrieval_misses", counters.retrieval_misses},
          {"hit_rate", lookups > 0 ? Json(round_places(static_cast<double>(counters.retrievals) /
                                                           static_cast<double>(lookups),
                                                       3))
                                   : Json(nullptr)},
          {"total_chunks", total_chunks},
          {"vectors", count_vectors(db, agent_id)},
          {"chunks_without_vectors", missing_vectors},
          {"embedder", describe_configured_embedder()},
          {"files", std::move(files)},
          {"recommendations", std::move(recommendations)}};
}

Json usage_report(Database& db, ContextTable& table, const std::string& agent_id) {
  std::vector<ContextRow> rows = table.rows(agent_id);
  AgentCounters counters = read_counters(db, agent_id);
  std::map<std::string, std::int64_t> languages;
  std::int64_t chunks = 0, accesses = 0, accessed = 0, indexed_tokens = 0;
  std::int64_t served = counters.search_tokens_served;
  std::int64_t baseline = counters.search_tokens_baseline;
  for (const ContextRow& row : rows) {
    ++languages[row.language];
    chunks += row.chunk_count;
    accesses += row.access_count;
    if (row.access_count > 0) ++accessed;
    indexed_tokens += tokens_of(row.facts.size.value_or(0));
    served += row.tokens_served;
    baseline += row.tokens_baseline;
  }
  std::vector<const ContextRow*> by_access;
  for (const ContextRow& row : rows) {
    if (row.access_count > 0) by_access.push_back(&row);
  }
  std::stable_sort(
      by_access.begin(), by_access.end(),
      [](const ContextRow* a, const ContextRow* b) { return a->access_count > b->access_count; });
  Json most_accessed = Json::array();
  for (std::size_t i = 0; i < by_access.size() && i < kMostAccessed; ++i) {
    most_accessed.push_back(
        {{"file_path", by_access[i]->file_path}, {"access_count", by_access[i]->access_count}});
  }
  Json language_counts = Json::object();
  for (const auto& [language, count] : languages) language_counts[language] = count;

  Statement snapshots = db.prepare("SELECT COUNT(*) FROM snapshots WHERE agent_id = ?1");
  snapshots.bind(1, agent_id);
  std::int64_t snapshot_count = snapshots.step() ? snapshots.column_int(0) : 0;

  Json avg_ms =
      counters.index_runs > 0
          ? Json(round_places(counters.index_ms / static_cast<double>(counters.index_runs), 2))
          : Json(0.0);
  Json avg_results = counters.searches > 0
                         ? Json(round_places(static_cast<double>(counters.search_results) /
                                                 static_cast<double>(counters.searches),
                                             2))
                         : Json(0.0);
  return {
      {"status", "ok"},
      {"agent_id", agent_id},
      {"files_indexed", rows.size()},
      {"chunks_indexed", chunks},
      {"vectors", count_vectors(db, agent_id)},
      {"languages", std::move(language_counts)},
      {"embedder", describe_configured_embedder()},
      {"access",
       {{"total_accesses", accesses},
        {"files_accessed", accessed},
        {"never_accessed", static_cast<std::int64_t>(rows.size()) - accessed},
        {"retrieval_misses", counters.retrieval_misses},
        {"most_accessed", std::move(most_accessed)}}},
      {"tokens",
       {{"indexed", indexed_tokens},
        {"served", served},
        {"saved", std::max<std::int64_t>(0, baseline - served)}}},
      {"indexing",
       {{"runs", counters.index_runs},
        {"total_ms", round_places(counters.index_ms, 2)},
        {"avg_ms", std::move(avg_ms)},
        {"chunks_embedded", counters.chunks_embedded},
        {"chunks_reused", counters.chunks_reused},
        {"last_indexed_at",
         counters.last_indexed_at ? Json(*counters.last_indexed_at) : Json(nullptr)}}},
      {"searches",
       {{"count", counters.searches},
        {"results_served", counters.search_results},
        {"avg_results", std::move(avg_results)}}},
      {"snapshots", snapshot_count},
      {"storage", {{"database_bytes", file_bytes(db.path()) + file_bytes(db.path() + "-wal")}}}};
}

}  // namespace vantory::backend
