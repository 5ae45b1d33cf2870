// CallIndex: the call records of an agent's files that name one of a few modules.
//
// dependency_graph lists, for each requested file, the calls from other files whose target is
// the file's module stem or starts with the stem and a dot ("util", "util.run"). Scanning every
// call record once per requested file costs up to ten passes over the agent's code; this index
// takes one pass for all of them and keeps only the calls that name a requested module.
//
// Thread safety: none; it points into the FileContexts it was built from, which must outlive it.
// Internal to libtarnel.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "coding/file_contexts.h"
#include "common/json.h"

namespace vantory {

class CallIndex {
 public:
  struct Call {
    std::size_t context;  // index into the FileContexts
    const Json* chunk;
    const Json* record;
  };

  // Reads every chunk's `calls`, keeping those that name one of `modules`. TypeError when a
  // chunk or a call record is not an object, `calls` is not an array, or a `target` is present
  // and not a string.
  CallIndex(const FileContexts& contexts, const std::vector<std::string>& modules);

  // The calls whose target (default "") equals `module` or begins with `module` + ".", in
  // context, chunk and call order. Empty for a module that was not indexed.
  const std::vector<Call>& naming(std::string_view module) const;

 private:
  // Module -> the calls naming it.
  std::unordered_map<std::string_view, std::vector<Call>> by_module_;
};

}  // namespace vantory
