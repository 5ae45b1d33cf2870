// CallIndex: the call records of an agent's files that name one of a few modules or functions.
//
// dependency_graph lists, for each requested file, the calls from other files whose target is
// the file's module stem or starts with the stem and a dot ("util", "util.run"), and reports a
// function unused only when no other file calls it ("run", "util.run", "app.run" for run).
// Scanning every call record once per requested file costs up to ten passes over the agent's
// code; this index takes one pass for all of them and keeps only the calls that matter.
//
// Call records are often supplied by agents: a chunk or a call record that is not an object
// holds no calls and is passed over, and a `calls` of null is no calls.
//
// Thread safety: none; it points into the FileContexts it was built from, which must outlive it.
// Internal to libtarnel.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "coding/internal/file_contexts.h"
#include "common/json.h"

namespace vantory {

class CallIndex {
 public:
  struct Call {
    std::size_t context;  // index into the FileContexts
    const Json* chunk;
    const Json* record;
  };

  // Reads every chunk's `calls`, keeping those that name one of `modules` and noting which
  // files call one of `functions` (last parts of unit names). TypeError when a chunk's `calls`
  // is neither an array nor null.
  CallIndex(FileContexts& contexts, const std::vector<std::string>& modules,
            const std::vector<std::string>& functions);

  // The calls whose target (default "") equals `module` or begins with `module` + ".", in
  // context, chunk and call order. Empty for a module that was not indexed.
  const std::vector<Call>& naming(std::string_view module) const;

  // True when a file whose normalised path is not `normalized` calls `function` (one of the
  // names the index was built for): by a target equal to it or ending in "." + it.
  bool called_outside(std::string_view function, const std::string& normalized) const;

  // TypeError when a file whose stored path is not `stored_path` holds a call target that is
  // present and not a string: such a target cannot be compared with a module name.
  void expect_text_targets_outside(std::string_view stored_path) const;

 private:
  // The first context calling a function, and the first one after it with another path.
  struct Callers {
    std::size_t first;
    std::optional<std::size_t> other;
  };

  FileContexts& contexts_;
  // Module -> the calls naming it.
  std::unordered_map<std::string_view, std::vector<Call>> by_module_;
  // Function -> the files calling it.
  std::unordered_map<std::string_view, std::optional<Callers>> by_function_;
  // The first target of each context that is not text, with its context.
  std::vector<std::pair<std::size_t, const Json*>> untexted_targets_;
};

}  // namespace vantory
