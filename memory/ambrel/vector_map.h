// The vectors of one agent: an insertion-ordered map from entry id to stored vector, the form
// in which the store reads, caches and writes a vectors file.
//
// A StoredVector keeps the 32-bit vector that searches score on, its norm (computed once, so
// no search measures a stored vector again), and, only when they differ from that vector's
// floats, the numbers exactly as they were read or handed in. A vector read from a file
// whose text this store would not have written so ("0.1", "1", "true", other spacing) also
// keeps that text, cached copies included, so a file written by another program keeps the
// numbers of every entry the store did not change, character for character.
//
// Thread safety: none for a map being changed; a map that no one changes (the cached ones)
// may be read from any number of threads. StoredVector is immutable.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "memory/embedding/python_vector.h"

namespace vantory {

class StoredVector {
 public:
  // The numbers of `vector`: its floats widened to doubles.
  explicit StoredVector(PythonVector vector);

  // `numbers` as given; the vector holds each rounded to the nearest 32-bit float.
  explicit StoredVector(std::span<const double> numbers);

  // `numbers` as read from `text`, their array in a file; the text is kept when it is not
  // what append_json would write for them.
  StoredVector(std::span<const double> numbers, std::string_view text);

  // The 32-bit form: create_vector of the numbers.
  const PythonVector& vector() const { return vector_; }

  // vector_norm(vector()).
  double norm() const { return norm_; }

  // Number of components.
  std::size_t size() const { return vector_.size(); }

  // The numbers, in order: as read or handed in, else the floats widened.
  std::vector<double> tolist() const;

  // True when the numbers differ from the floats of vector() (beyond float precision).
  bool holds_exact_numbers() const { return exact_ != nullptr; }

  // The same vector without the exact numbers (the text read is kept): what a cached copy
  // keeps.
  StoredVector rounded() const;

  // Appends the numbers as a JSON array in the vectors file format: the text read when one
  // was kept.
  void append_json(std::string& out) const;

 private:
  StoredVector() = default;

  PythonVector vector_;
  double norm_ = 0.0;
  std::shared_ptr<const std::vector<double>> exact_;
  std::shared_ptr<const std::string> text_;
};

class VectorMap {
 public:
  using Entry = std::pair<std::string, StoredVector>;

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // The vector stored under `id`, or nullptr. Valid until the next change of the map.
  const StoredVector* find(const std::string& id) const;
  bool contains(const std::string& id) const { return index_.count(id) != 0; }

  // Stores `vector` under `id`: a new id goes to the end, an existing one keeps its position.
  void insert_or_assign(const std::string& id, StoredVector vector);
  void insert_or_assign(const std::string& id, std::span<const double> numbers) {
    insert_or_assign(id, StoredVector(numbers));
  }

  // Removes `id`; true when it was there. The others keep their order.
  bool erase(const std::string& id);

  // Drops the exact numbers of every vector (see StoredVector::rounded).
  void round_all();

  // The entries in order.
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace vantory
