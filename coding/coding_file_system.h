// CodingFileSystem: a virtual directory view over the indexed files, and snapshots.
#pragma once

#include <string>

#include "common/json.h"

namespace vantory {

class CodingFileSystem {
 public:
  virtual ~CodingFileSystem() = default;
  // The entries below `path` ("" for the root): a JSON array.
  virtual Json list_dir(const std::string& agent_id, const std::string& path) = 0;
  // Freezes the agent's current contexts; answers the snapshot identifier (a string), or an
  // empty string or null when no snapshot could be made.
  virtual Json commit_snapshot(const std::string& agent_id, const std::string& message) = 0;
  // The difference between two snapshots (any JSON value); null when the comparison failed.
  virtual Json get_diff(const std::string& agent_id, const std::string& sha_a,
                        const std::string& sha_b) = 0;
};

}  // namespace vantory
