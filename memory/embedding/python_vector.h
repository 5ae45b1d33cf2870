// The system's one vector type and the free functions every component uses to create and
// measure vectors.
//
// A PythonVector is an immutable sequence of 32-bit floats. Its elements live in one shared,
// read-only block, so copying a vector costs a reference-count increment and the same vector
// may be handed to any number of threads: an embedding cache hit returns the stored vector
// itself. Norms and dot products accumulate in double precision and answer doubles.
//
// Thread safety: every operation is safe to call concurrently; vectors are never modified.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/json.h"

namespace vantory {

// True when a numeric array backend is in use. vantory has none, so vectors are always
// PythonVector values; loading the library writes the line
// "[Embedding] numpy not available, using pure Python vectors" once to standard error.
extern const bool HAS_NUMPY;

class PythonVector {
 public:
  // An empty vector.
  PythonVector() = default;

  // A vector holding each of `values` rounded to the nearest 32-bit float.
  explicit PythonVector(std::span<const double> values);
  explicit PythonVector(std::span<const float> values);
  explicit PythonVector(const std::vector<double>& values)
      : PythonVector(std::span<const double>(values)) {}
  explicit PythonVector(const std::vector<float>& values)
      : PythonVector(std::span<const float>(values)) {}
  PythonVector(std::initializer_list<double> values)
      : PythonVector(std::span<const double>(values.begin(), values.size())) {}

  // A vector from a JSON array of numbers (true and false count as 1 and 0). Throws
  // TypeError when `data` is not an array or holds anything but numbers.
  explicit PythonVector(const Json& data);

  // The elements; the span stays valid as long as any copy of this vector lives.
  std::span<const float> data() const { return {values_.get(), size_}; }

  // Number of elements.
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The element at `idx`; a negative `idx` counts from the end (-1 is the last element).
  // Throws IndexError outside the vector.
  float operator[](std::int64_t idx) const;

  // The elements widened to doubles, in order: the form written to JSON.
  std::vector<double> tolist() const;

  // The shape: one entry holding the length.
  std::array<std::size_t, 1> shape() const { return {size_}; }

  // A new vector with every element divided by `scalar`. Throws ZeroDivisionError when
  // `scalar` is zero.
  PythonVector operator/(double scalar) const;

  // A new vector of `size` zeros; a size of zero or less gives an empty vector.
  static PythonVector zeros(std::int64_t size);

  // Same as the JSON constructor.
  static PythonVector from_list(const Json& data) { return PythonVector(data); }

  // The sum of a[i] * b[i] over the positions both vectors have.
  static double dot(const PythonVector& a, const PythonVector& b);

  // The Euclidean length; 0.0 for an empty or all-zero vector.
  static double norm(const PythonVector& v);

  // Element-wise equality (NaN never equals anything).
  friend bool operator==(const PythonVector& a, const PythonVector& b);

 private:
  // A vector of `size` elements to be filled by the caller before it is shared.
  static PythonVector allocate(std::size_t size, float** elements);

  std::shared_ptr<const float[]> values_;
  std::size_t size_ = 0;
};

// A vector from a JSON array of numbers. Throws TypeError for anything else.
PythonVector create_vector(const Json& data);
// A vector holding `values`, each rounded to a 32-bit float.
PythonVector create_vector(std::span<const double> values);
PythonVector create_vector(std::span<const float> values);
PythonVector create_vector(const std::vector<double>& values);
PythonVector create_vector(const std::vector<float>& values);

// `size` zeros (none for a size of zero or less).
PythonVector zeros_vector(std::int64_t size);

// The Euclidean norm of `v`.
double vector_norm(const PythonVector& v);

// The dot product of `a` and `b` over the shorter length.
double vector_dot(const PythonVector& a, const PythonVector& b);

// The vectors themselves, in order: without a numeric backend stacking is the identity.
std::vector<PythonVector> stack_vectors(std::vector<PythonVector> vectors);

}  // namespace vantory
