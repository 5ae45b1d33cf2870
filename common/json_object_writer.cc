#include "common/json_object_writer.h"

#include <utility>

#include "common/json_text.h"

namespace vantory {

namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

}  // namespace

JsonObjectWriter::JsonObjectWriter(std::string path) : file_(std::move(path)) {
  piece_.reserve(kPiece + 32 * 1024);
  piece_.push_back('{');
}

void JsonObjectWriter::flush_if_full() {
  if (piece_.size() < kPiece) return;
  file_.append(piece_);
  piece_.clear();
}

std::string& JsonObjectWriter::member(std::string_view key) {
  flush_if_full();
  if (!first_) piece_.append(", ");
  first_ = false;
  append_json_string(piece_, key);
  piece_.append(": ");
  return piece_;
}

void JsonObjectWriter::commit() {
  piece_.push_back('}');
  file_.append(piece_);
  piece_.clear();
  file_.commit();
}

}  // namespace vantory
