// The failure of an embedding that the client answered with a zero or unusable vector: the
// service failed (the client said why on standard error), so nothing is stored for it.
#pragma once

#include "common/error.h"

namespace vantory {

class NoEmbedding : public RuntimeError {
 public:
  NoEmbedding() : RuntimeError("the embedding service gave no embedding") {}
};

}  // namespace vantory
