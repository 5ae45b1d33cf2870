// Snapshots of an agent's code memory, made and compared by the directory view.
#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "coding/tarnel.h"
#include "common/error_answer.h"

namespace vantory {

Json Tarnel::create_snapshot(const std::string& agent_id, const std::string& message) {
  Json sha = filesystem_->commit_snapshot(agent_id, message);
  if (!records::truthy(sha)) {
    return error_answer("Snapshot failed. Is .vantory initialized? (Requires vantory DAG backend)");
  }
  return Json{{"status", "ok"}, {"sha", std::move(sha)}, {"message", message}};
}

Json Tarnel::compare_snapshots(const std::string& agent_id, const std::string& sha_a,
                               const std::string& sha_b) {
  Json diff = filesystem_->get_diff(agent_id, sha_a, sha_b);
  // An empty diff is a comparison of two equal snapshots; only null means it failed.
  if (diff.is_null()) {
    return error_answer("Could not compare snapshots " + sha_a + " vs " + sha_b +
                        ". Check SHAs or .vantory availability.");
  }
  return Json{{"status", "ok"}, {"sha_a", sha_a}, {"sha_b", sha_b}, {"diff", std::move(diff)}};
}

}  // namespace vantory
