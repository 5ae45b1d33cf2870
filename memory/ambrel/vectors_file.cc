#include "memory/ambrel/vectors_file.h"

#include <span>
#include <vector>

#include "common/files.h"
#include "common/json_text.h"

namespace vantory {

namespace {

constexpr std::size_t kWritePiece = std::size_t{1} << 20;

}  // namespace

void write_vectors_file(const std::string& path, const VectorMap& vectors) {
  AtomicFileWriter writer(path);
  std::string piece;
  piece.reserve(kWritePiece + 32 * 1024);
  piece.push_back('{');
  bool first = true;
  for (const auto& [id, vector] : vectors) {
    if (!first) piece.append(", ");
    first = false;
    append_json_string(piece, id);
    piece.append(": ");
    vector.append_json(piece);
    if (piece.size() >= kWritePiece) {
      writer.append(piece);
      piece.clear();
    }
  }
  piece.push_back('}');
  writer.append(piece);
  writer.commit();
}

VectorMap read_vectors_file(const std::string& path, bool keep_exact) {
  VectorMap vectors;
  parse_number_array_file(path, [&](std::string&& id, std::vector<double>& numbers) {
    StoredVector vector{std::span<const double>(numbers)};
    vectors.insert_or_assign(id, keep_exact ? std::move(vector) : vector.rounded());
  });
  return vectors;
}

}  // namespace vantory
