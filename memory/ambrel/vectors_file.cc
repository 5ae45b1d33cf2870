#include "memory/ambrel/internal/vectors_file.h"

#include <span>
#include <vector>

#include "common/json_object_writer.h"
#include "common/json_text.h"

namespace vantory {

void write_vectors_file(const std::string& path, const VectorMap& vectors) {
  JsonObjectWriter writer(path);
  for (const auto& [id, vector] : vectors) vector.append_json(writer.member(id));
  writer.commit();
}

VectorMap read_vectors_file(const std::string& path, bool keep_exact) {
  VectorMap vectors;
  parse_number_array_file_with_text(
      path, [&](std::string&& id, std::vector<double>& numbers, std::string_view text) {
        StoredVector vector(std::span<const double>(numbers), text);
        vectors.insert_or_assign(id, keep_exact ? std::move(vector) : vector.rounded());
      });
  return vectors;
}

}  // namespace vantory
