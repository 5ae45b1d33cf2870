#include "memory/ambrel/vector_map.h"

#include <cmath>

#include "common/json_text.h"

namespace vantory {

namespace {

// True when every number survives the trip through a 32-bit float: then the floats alone
// give back the same numbers, and the same text.
bool floats_hold(std::span<const double> numbers, std::span<const float> floats) {
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    double widened = floats[i];
    if (widened != numbers[i] && !(std::isnan(widened) && std::isnan(numbers[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

StoredVector::StoredVector(PythonVector vector)
    : vector_(std::move(vector)), norm_(vector_norm(vector_)) {}

StoredVector::StoredVector(std::span<const double> numbers)
    : vector_(create_vector(numbers)), norm_(vector_norm(vector_)) {
  if (!floats_hold(numbers, vector_.data())) {
    exact_ = std::make_shared<const std::vector<double>>(numbers.begin(), numbers.end());
  }
}

StoredVector::StoredVector(std::span<const double> numbers, std::string_view text)
    : StoredVector(numbers) {
  // Only text that the floats would not give back is kept: numbers beyond float precision
  // (which a cached copy drops) or another program's way of writing them.
  if (!exact_) {
    thread_local std::string written;
    written.clear();
    append_json(written);
    if (written == text) return;
  }
  text_ = std::make_shared<const std::string>(text);
}

std::vector<double> StoredVector::tolist() const { return exact_ ? *exact_ : vector_.tolist(); }

StoredVector StoredVector::rounded() const {
  StoredVector copy;
  copy.vector_ = vector_;
  copy.norm_ = norm_;
  copy.text_ = text_;
  return copy;
}

void StoredVector::append_json(std::string& out) const {
  if (text_) {
    out.append(*text_);
    return;
  }
  if (!exact_) {
    std::span<const float> floats = vector_.data();
    append_json_float_array(out, floats.data(), floats.size());
    return;
  }
  out.push_back('[');
  for (std::size_t i = 0; i < exact_->size(); ++i) {
    if (i) out.append(", ");
    append_json_double(out, (*exact_)[i]);
  }
  out.push_back(']');
}

const StoredVector* VectorMap::find(const std::string& id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

void VectorMap::insert_or_assign(const std::string& id, StoredVector vector) {
  auto [it, inserted] = index_.try_emplace(id, entries_.size());
  if (inserted) {
    entries_.emplace_back(id, std::move(vector));
  } else {
    entries_[it->second].second = std::move(vector);
  }
}

bool VectorMap::erase(const std::string& id) {
  auto it = index_.find(id);
  if (it == index_.end()) return false;
  std::size_t at = it->second;
  index_.erase(it);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
  for (std::size_t i = at; i < entries_.size(); ++i) index_[entries_[i].first] = i;
  return true;
}

void VectorMap::round_all() {
  for (Entry& entry : entries_) {
    if (entry.second.holds_exact_numbers()) entry.second = entry.second.rounded();
  }
}

}  // namespace vantory
