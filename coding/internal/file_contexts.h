// FileContexts: one agent's stored file contexts, loaded once for one analysis.
//
// The analyses look files up by normalised path and walk every context several times; this
// takes the store's array once (shared, not copied), checks its shape, and normalises each
// stored path once, so a lookup costs a hash probe. What it works out about an array is kept
// beside it while the store hands out that same array: stores answer every call with one
// array until the agent's data changes, so delta_update over every file of a tree checks and
// normalises the paths once, not once per file.
//
// Thread safety: none; one instance serves one call. Instances in several threads may share
// arrays.
// Internal to libtarnel.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "coding/coding_context_store.h"
#include "common/json.h"

namespace vantory {

class FileContexts {
 public:
  // Asks the store once: _load_agent_data(agent_id, "file_contexts"). Throws TypeError when
  // the answer is not an array, an element is not an object, or a `file_path` is present and
  // not a string; whatever the store throws passes through.
  FileContexts(CodingContextStore& store, const std::string& agent_id);

  std::size_t size() const { return contexts_->size(); }
  const Json& operator[](std::size_t i) const { return (*contexts_)[i]; }

  // The `file_path` of context `i` exactly as stored; "" when it has none.
  std::string_view stored_path(std::size_t i) const;

  // The normalised `file_path` of context `i`.
  const std::string& normalized_path(std::size_t i);

  // The first context whose normalised `file_path` equals `normalized`, or nothing.
  std::optional<std::size_t> find(const std::string& normalized);

  // The `chunks` of context `i` (empty when absent). TypeError when it is not an array.
  const Json& chunks(std::size_t i) const;

  struct PathIndex;

 private:
  const PathIndex& paths();

  std::shared_ptr<const Json> snapshot_;  // keeps the store's value alive while in use
  const Json* contexts_;
  std::shared_ptr<const PathIndex> paths_;
};

}  // namespace vantory
