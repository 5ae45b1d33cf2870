// Ranking memory entries by a weighted mix of their semantic and keyword scores.
#include <algorithm>
#include <limits>
#include <unordered_map>

#include "common/rounding.h"
#include "memory/ambrel/internal/memory_entry.h"
#include "memory/ambrel/local_ambrel.h"

namespace vantory {

namespace {

// min(3 * top_k, n), without overflow.
std::int64_t candidate_count(std::int64_t top_k, std::size_t n) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t entries = n > static_cast<std::size_t>(kMax) ? kMax : static_cast<std::int64_t>(n);
  if (top_k > entries / 3) return entries;
  return top_k < kMin / 3 ? kMin : 3 * top_k;
}

// The divisor that scales a ranked list so its best score becomes 1: that score, or 1.0
// when the list is empty or its best score is 0.
double best_score(const std::vector<RankedEntry>& ranked) {
  if (ranked.empty()) return 1.0;
  double best = ranked.front().score;
  for (const RankedEntry& r : ranked) best = std::max(best, r.score);
  return best == 0 ? 1.0 : best;
}

// One entry id's part of the merge.
struct Merged {
  std::size_t position;       // in memories: the entry whose record brought the id in
  const char* source_member;  // "semantic_score" or "keyword_score": the member it carried
  double semantic;
  double keyword;
};

}  // namespace

Json LocalAmbrel::hybrid_search(const std::string& agent_id, const std::string& query,
                                const Json& memories, std::int64_t top_k, double semantic_weight,
                                double keyword_weight, double threshold) {
  const Json::array_t* list = memory_list(memories);
  if (list == nullptr) return Json::array();
  std::int64_t candidates = candidate_count(top_k, list->size());
  std::vector<RankedEntry> semantic = rank_semantic(agent_id, query, *list, candidates, 0.0);
  std::vector<RankedEntry> keyword = rank_keyword(query, *list, candidates);

  std::vector<Merged> merged;
  std::unordered_map<std::string_view, std::size_t> merged_at;
  double max_semantic = best_score(semantic);
  for (const RankedEntry& r : semantic) {
    const std::string* id = entry_id((*list)[r.position], r.position);
    if (id == nullptr) continue;
    Merged part{r.position, "semantic_score", r.score / max_semantic, 0.0};
    auto [it, inserted] = merged_at.try_emplace(*id, merged.size());
    if (inserted) {
      merged.push_back(part);
    } else {
      merged[it->second] = part;
    }
  }
  double max_keyword = best_score(keyword);
  for (const RankedEntry& r : keyword) {
    const std::string* id = entry_id((*list)[r.position], r.position);
    if (id == nullptr) continue;
    double normalized_score = r.score / max_keyword;
    auto [it, inserted] = merged_at.try_emplace(*id, merged.size());
    if (inserted) {
      merged.push_back({r.position, "keyword_score", 0.0, normalized_score});
    } else {
      merged[it->second].keyword = normalized_score;
    }
  }

  std::vector<RankedEntry> ranked;
  for (std::size_t m = 0; m < merged.size(); ++m) {
    double hybrid = semantic_weight * merged[m].semantic + keyword_weight * merged[m].keyword;
    if (hybrid >= threshold) ranked.push_back({round_places(hybrid, 3), m});
  }
  keep_top(ranked, top_k);

  Json records = Json::array();
  for (const RankedEntry& r : ranked) {
    const Merged& part = merged[r.position];
    // The record that brought the id in carried its own score member; setting it first keeps
    // that member where the record had it.
    Json record = with_score((*list)[part.position], part.source_member, 0.0);
    record["hybrid_score"] = r.score;
    record["semantic_score"] = part.semantic;
    record["keyword_score"] = part.keyword;
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace vantory
