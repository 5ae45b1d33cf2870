#include "backend/retriever/result_spread.h"

#include <algorithm>
#include <deque>
#include <unordered_set>

namespace vantory::backend {

std::vector<std::size_t> spread_over_files(std::vector<SpreadUnit>& units, std::size_t count) {
  std::vector<std::size_t> order;
  order.reserve(std::min(count, units.size()));
  std::unordered_set<std::int64_t> shown;
  // The units passed over because their file was shown by then, in the order of their scores:
  // weighed by the same factor, they keep that order among themselves.
  std::deque<std::size_t> further;
  std::size_t next = 0;
  while (order.size() < count) {
    // The best unit of a file not yet shown.
    while (next < units.size() && units[next].file >= 0 && shown.count(units[next].file)) {
      further.push_back(next++);
    }
    bool has_new = next < units.size();
    if (!has_new && further.empty()) break;
    double weighed = further.empty() ? 0 : units[further.front()].score * kFurtherUnitOfFileFactor;
    if (has_new && (further.empty() || units[next].score >= weighed)) {
      if (units[next].file >= 0) shown.insert(units[next].file);
      order.push_back(next++);
    } else {
      units[further.front()].score = weighed;
      order.push_back(further.front());
      further.pop_front();
    }
  }
  return order;
}

}  // namespace vantory::backend
