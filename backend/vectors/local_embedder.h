// LocalEmbedder: a deterministic embedder that needs no service. Each word of the text and,
// for compound identifiers, each of its sub-words (camelCase and snake_case split, lower
// case) is hashed into one of `kLocalDimension` signed buckets with a weight of
// 1 + ln(occurrences); the vector is scaled to unit length. Texts that share vocabulary get
// similar vectors, which is what code search needs from it.
//
// Thread-safe: no state beyond its name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "backend/vectors/embedder.h"

namespace vantory::backend {

inline constexpr std::size_t kLocalDimension = 256;

class LocalEmbedder : public Embedder {
 public:
  LocalEmbedder();
  const std::string& name() const override { return name_; }
  Json describe() const override;
  std::vector<std::vector<float>> embed(const std::vector<std::string>& texts) override;
  bool runs_locally() const override { return true; }

  // The unit-length vector of one text; all zeros for a text without words.
  static std::vector<float> embed_text(std::string_view text);

 private:
  std::string name_;
};

}  // namespace vantory::backend
