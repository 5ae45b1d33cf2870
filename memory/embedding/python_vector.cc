#include "memory/embedding/python_vector.h"

#include <cmath>
#include <string>

#include "common/error.h"
#include "common/message_text.h"
#include "memory/embedding/internal/embedding_log.h"

namespace vantory {

namespace {

// Decided when the library is loaded, never changed afterwards.
bool announce_vector_backend() {
  log_embedding_line("numpy not available, using pure Python vectors");
  return false;
}

}  // namespace

const bool HAS_NUMPY = announce_vector_backend();

PythonVector PythonVector::allocate(std::size_t size, float** elements) {
  PythonVector v;
  if (size == 0) {
    *elements = nullptr;
    return v;
  }
  auto block = std::make_shared_for_overwrite<float[]>(size);
  *elements = block.get();
  v.values_ = std::move(block);
  v.size_ = size;
  return v;
}

PythonVector::PythonVector(std::span<const double> values) {
  float* out;
  *this = allocate(values.size(), &out);
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = static_cast<float>(values[i]);
}

PythonVector::PythonVector(std::span<const float> values) {
  float* out;
  *this = allocate(values.size(), &out);
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i];
}

PythonVector::PythonVector(const Json& data) {
  if (!data.is_array()) {
    throw TypeError(std::string("expected an array of numbers, got ") + type_name(data));
  }
  const auto& items = data.get_ref<const Json::array_t&>();
  float* out;
  PythonVector v = allocate(items.size(), &out);
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Json& item = items[i];
    switch (item.type()) {
      case Json::value_t::number_float: out[i] = static_cast<float>(item.get<double>()); break;
      case Json::value_t::number_integer:
        out[i] = static_cast<float>(item.get<std::int64_t>());
        break;
      case Json::value_t::number_unsigned:
        out[i] = static_cast<float>(item.get<std::uint64_t>());
        break;
      case Json::value_t::boolean: out[i] = item.get<bool>() ? 1.0f : 0.0f; break;
      default:
        throw TypeError("expected an array of numbers, element " + std::to_string(i) + " is " +
                        type_name(item));
    }
  }
  *this = std::move(v);
}

float PythonVector::operator[](std::int64_t idx) const {
  std::int64_t n = static_cast<std::int64_t>(size_);
  std::int64_t at = idx < 0 ? idx + n : idx;
  if (at < 0 || at >= n) {
    throw IndexError("vector index " + std::to_string(idx) + " out of range for a vector of " +
                     std::to_string(n) + " elements");
  }
  return values_[static_cast<std::size_t>(at)];
}

std::vector<double> PythonVector::tolist() const {
  return std::vector<double>(values_.get(), values_.get() + size_);
}

PythonVector PythonVector::operator/(double scalar) const {
  if (scalar == 0) throw ZeroDivisionError("float division by zero");
  float* out;
  PythonVector v = allocate(size_, &out);
  for (std::size_t i = 0; i < size_; ++i) {
    out[i] = static_cast<float>(static_cast<double>(values_[i]) / scalar);
  }
  return v;
}

PythonVector PythonVector::zeros(std::int64_t size) {
  std::size_t n = size > 0 ? static_cast<std::size_t>(size) : 0;
  float* out;
  PythonVector v = allocate(n, &out);
  for (std::size_t i = 0; i < n; ++i) out[i] = 0.0f;
  return v;
}

double PythonVector::dot(const PythonVector& a, const PythonVector& b) {
  std::size_t n = a.size_ < b.size_ ? a.size_ : b.size_;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += static_cast<double>(a.values_[i]) * static_cast<double>(b.values_[i]);
  }
  return sum;
}

double PythonVector::norm(const PythonVector& v) {
  double sum = 0.0;
  for (std::size_t i = 0; i < v.size_; ++i) {
    double x = v.values_[i];
    sum += x * x;
  }
  return std::sqrt(sum);
}

bool operator==(const PythonVector& a, const PythonVector& b) {
  if (a.size_ != b.size_) return false;
  for (std::size_t i = 0; i < a.size_; ++i) {
    if (!(a.values_[i] == b.values_[i])) return false;
  }
  return true;
}

PythonVector create_vector(const Json& data) { return PythonVector::from_list(data); }
PythonVector create_vector(std::span<const double> values) { return PythonVector(values); }
PythonVector create_vector(std::span<const float> values) { return PythonVector(values); }
PythonVector create_vector(const std::vector<double>& values) { return PythonVector(values); }
PythonVector create_vector(const std::vector<float>& values) { return PythonVector(values); }

PythonVector zeros_vector(std::int64_t size) { return PythonVector::zeros(size); }

double vector_norm(const PythonVector& v) { return PythonVector::norm(v); }

double vector_dot(const PythonVector& a, const PythonVector& b) {
  return PythonVector::dot(a, b);
}

std::vector<PythonVector> stack_vectors(std::vector<PythonVector> vectors) { return vectors; }

}  // namespace vantory
