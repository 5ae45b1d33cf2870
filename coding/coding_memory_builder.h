// CodingMemoryBuilder: turns a file's chunk records into a stored file context and vectors.
#pragma once

#include <string>

#include "common/json.h"

namespace vantory {

class CodingMemoryBuilder {
 public:
  virtual ~CodingMemoryBuilder() = default;
  // Stores the context of `file_path` (replacing any earlier one) from `chunks` (a JSON array
  // of chunk records) and the vectors of its units. Answers a JSON object that the index
  // operations return to the host unchanged.
  virtual Json process_file_chunks(const std::string& agent_id, const std::string& file_path,
                                   const Json& chunks, const std::string& language) = 0;
};

}  // namespace vantory
