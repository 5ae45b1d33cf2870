#include "backend/retriever/keyword_rank.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/retriever/keyword_vocabulary.h"
#include "backend/storage/database.h"
#include "common/error.h"

namespace vantory::backend {

namespace {

constexpr double kK1 = 1.2;
constexpr double kB = 0.75;

// What a query's rows share: the mean row length and each phrase's inverse document
// frequency, found at its first row.
struct QueryStatistics {
  double average_length = 0;
  std::vector<double> idf;
  std::vector<double> frequency;  // each phrase's weighed count in the current row
};

int count_row(const Fts5ExtensionApi*, Fts5Context*, void* rows) {
  ++*static_cast<std::int64_t*>(rows);
  return SQLITE_OK;
}

void delete_statistics(void* statistics) { delete static_cast<QueryStatistics*>(statistics); }

int query_statistics(const Fts5ExtensionApi* api, Fts5Context* fts, QueryStatistics** out) {
  auto* kept = static_cast<QueryStatistics*>(api->xGetAuxdata(fts, 0));
  if (kept != nullptr) {
    *out = kept;
    return SQLITE_OK;
  }
  auto made = std::make_unique<QueryStatistics>();
  sqlite3_int64 rows = 0;
  sqlite3_int64 tokens = 0;
  int rc = api->xRowCount(fts, &rows);
  if (rc == SQLITE_OK) rc = api->xColumnTotalSize(fts, -1, &tokens);
  if (rc != SQLITE_OK) return rc;
  made->average_length = static_cast<double>(tokens) / static_cast<double>(rows);
  int phrases = api->xPhraseCount(fts);
  made->idf.assign(static_cast<std::size_t>(phrases), 0.0);
  made->frequency.assign(static_cast<std::size_t>(phrases), 0.0);
  for (int i = 0; i < phrases; ++i) {
    std::int64_t hits = 0;
    rc = api->xQueryPhrase(fts, i, &hits, count_row);
    if (rc != SQLITE_OK) return rc;
    // A phrase in more than half the rows would weigh less than nothing: it weighs almost
    // nothing instead.
    double idf = std::log((static_cast<double>(rows) - static_cast<double>(hits) + 0.5) /
                          (static_cast<double>(hits) + 0.5));
    made->idf[static_cast<std::size_t>(i)] = idf <= 0.0 ? 1e-6 : idf;
  }
  // From here SQLite owns the statistics, and frees them even when it fails to keep them.
  QueryStatistics* statistics = made.release();
  rc = api->xSetAuxdata(fts, statistics, delete_statistics);
  if (rc != SQLITE_OK) return rc;
  *out = statistics;
  return SQLITE_OK;
}

void rank_row(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* context, int count,
              sqlite3_value** weights) {
  auto* vocabulary = static_cast<KeywordVocabulary*>(api->xUserData(fts));
  QueryStatistics* statistics = nullptr;
  int rc = query_statistics(api, fts, &statistics);
  int instances = 0;
  if (rc == SQLITE_OK) rc = api->xInstCount(fts, &instances);
  if (rc != SQLITE_OK) {
    sqlite3_result_error_code(context, rc);
    return;
  }
  std::vector<double>& frequency = statistics->frequency;
  std::fill(frequency.begin(), frequency.end(), 0.0);
  for (int i = 0; i < instances; ++i) {
    int phrase = 0;
    int column = 0;
    int offset = 0;
    rc = api->xInst(fts, i, &phrase, &column, &offset);
    if (rc != SQLITE_OK) {
      sqlite3_result_error_code(context, rc);
      return;
    }
    frequency[static_cast<std::size_t>(phrase)] +=
        count > column ? sqlite3_value_double(weights[column]) : 1.0;
  }
  sqlite3_int64 rowid = api->xRowid(fts);
  std::uint32_t length = vocabulary->row_length(rowid);
  if (length == KeywordVocabulary::kUnknownLength) {
    int tokens = 0;
    rc = api->xColumnSize(fts, -1, &tokens);
    if (rc != SQLITE_OK) {
      sqlite3_result_error_code(context, rc);
      return;
    }
    length = static_cast<std::uint32_t>(tokens);
    vocabulary->keep_row_length(rowid, length);
  }
  double norm = kK1 * (1 - kB + kB * static_cast<double>(length) / statistics->average_length);
  double score = 0.0;
  for (std::size_t i = 0; i < frequency.size(); ++i) {
    score += statistics->idf[i] * ((frequency[i] * (kK1 + 1.0)) / (frequency[i] + norm));
  }
  // Lower is better, as bm25() answers.
  sqlite3_result_double(context, -1.0 * score);
}

}  // namespace

void register_keyword_rank(Database& db, KeywordVocabulary& vocabulary) {
  fts5_api* api = nullptr;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db.handle(), "SELECT fts5(?1)", -1, &st, nullptr) == SQLITE_OK) {
    sqlite3_bind_pointer(st, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    sqlite3_step(st);
  }
  sqlite3_finalize(st);
  if (api == nullptr ||
      api->xCreateFunction(api, "vantory_bm25", &vocabulary, rank_row, nullptr) != SQLITE_OK) {
    throw RuntimeError("the code-memory database has no full-text search");
  }
}

}  // namespace vantory::backend
