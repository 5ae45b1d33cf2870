// CodingAmbrel: the vectors of an agent's code units, keyed by chunk hash.
#pragma once

#include <string>

#include "common/json.h"

namespace vantory {

class CodingAmbrel {
 public:
  virtual ~CodingAmbrel() = default;
  // Removes the agent's vectors whose identifiers are in `hash_ids` (a non-empty JSON array of
  // strings). Identifiers that are not stored are ignored.
  virtual void delete_vectors(const std::string& agent_id, const Json& hash_ids) = 0;
};

}  // namespace vantory
