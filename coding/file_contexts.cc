#include "coding/internal/file_contexts.h"

#include <unordered_map>
#include <vector>

#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "common/mutex.h"
#include "common/paths.h"

namespace vantory {

// The normalised paths of one array of contexts, with the first context of each.
struct FileContexts::PathIndex {
  std::vector<std::string> normalized;
  std::unordered_map<std::string, std::size_t> first_by_path;
};

namespace {

// The array looked at last, and its paths: an array that was indexed passed the shape check.
struct LastLookedAt {
  Mutex mutex;
  std::weak_ptr<const Json> array GUARDED_BY(mutex);
  std::shared_ptr<const FileContexts::PathIndex> paths GUARDED_BY(mutex);
};

// Never destroyed: the array's control block was made by the backend library, which its
// provider closes before this library's statics would be destroyed at exit.
LastLookedAt& last_looked_at() {
  static LastLookedAt* last = new LastLookedAt;
  return *last;
}

std::shared_ptr<const FileContexts::PathIndex> known_paths(
    const std::shared_ptr<const Json>& array) {
  LastLookedAt& last = last_looked_at();
  MutexLock lock(last.mutex);
  std::shared_ptr<const Json> looked_at = last.array.lock();
  return looked_at && looked_at.get() == array.get() ? last.paths : nullptr;
}

}  // namespace

FileContexts::FileContexts(CodingContextStore& store, const std::string& agent_id)
    : snapshot_(store._load_agent_data(agent_id, "file_contexts")),
      contexts_(&records::loaded(snapshot_)),
      paths_(known_paths(snapshot_)) {
  if (paths_) return;
  for (const Json& context : records::as_list(*contexts_, "_load_agent_data")) {
    records::text_member(records::as_record(context, "file context"), "file_path", "");
  }
}

std::string_view FileContexts::stored_path(std::size_t i) const {
  return records::text_member((*contexts_)[i], "file_path", "");
}

const std::string& FileContexts::normalized_path(std::size_t i) {
  return paths().normalized[i];
}

std::optional<std::size_t> FileContexts::find(const std::string& normalized) {
  const PathIndex& index = paths();
  auto it = index.first_by_path.find(normalized);
  if (it == index.first_by_path.end()) return std::nullopt;
  return it->second;
}

const Json& FileContexts::chunks(std::size_t i) const {
  return records::get_array((*contexts_)[i], "chunks");
}

const FileContexts::PathIndex& FileContexts::paths() {
  if (paths_) return *paths_;
  auto index = std::make_shared<PathIndex>();
  index->normalized.reserve(contexts_->size());
  index->first_by_path.reserve(contexts_->size());
  for (std::size_t i = 0; i < contexts_->size(); ++i) {
    std::string_view stored = stored_path(i);
    index->normalized.push_back(is_normalized_path(stored) ? std::string(stored)
                                                           : normalize_path(stored));
    index->first_by_path.emplace(index->normalized.back(), i);
  }
  paths_ = std::move(index);
  if (snapshot_) {
    LastLookedAt& last = last_looked_at();
    MutexLock lock(last.mutex);
    last.array = snapshot_;
    last.paths = paths_;
  }
  return *paths_;
}

}  // namespace vantory
