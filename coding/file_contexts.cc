#include "coding/file_contexts.h"

#include "coding/record_views.h"
#include "coding/records.h"
#include "common/paths.h"

namespace vantory {

FileContexts::FileContexts(CodingContextStore& store, const std::string& agent_id)
    : snapshot_(store._load_agent_data(agent_id, "file_contexts")),
      contexts_(&records::loaded(snapshot_)) {
  for (const Json& context : records::as_list(*contexts_, "_load_agent_data")) {
    records::text_member(records::as_record(context, "file context"), "file_path", "");
  }
}

std::string_view FileContexts::stored_path(std::size_t i) const {
  return records::text_member((*contexts_)[i], "file_path", "");
}

const std::string& FileContexts::normalized_path(std::size_t i) {
  normalize_all();
  return normalized_[i];
}

std::optional<std::size_t> FileContexts::find(const std::string& normalized) {
  if (normalized_.size() == contexts_->size()) {
    auto it = first_by_path_.find(normalized);
    if (it == first_by_path_.end()) return std::nullopt;
    return it->second;
  }
  // A few lookups (delta_update makes one) are cheaper as a scan than building the index:
  // stored paths are normalised as a rule, and those are compared as they stand.
  for (std::size_t i = 0; i < contexts_->size(); ++i) {
    std::string_view stored = stored_path(i);
    if (is_normalized_path(stored) ? stored == normalized : normalize_path(stored) == normalized) {
      return i;
    }
  }
  return std::nullopt;
}

const Json& FileContexts::chunks(std::size_t i) const {
  return records::get_array((*contexts_)[i], "chunks");
}

void FileContexts::normalize_all() {
  if (normalized_.size() == contexts_->size()) return;
  normalized_.reserve(contexts_->size());
  first_by_path_.reserve(contexts_->size());
  for (std::size_t i = 0; i < contexts_->size(); ++i) {
    normalized_.push_back(normalize_path(stored_path(i)));
    first_by_path_.emplace(normalized_.back(), i);
  }
}

}  // namespace vantory
