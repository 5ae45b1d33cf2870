#include "memory/ambrel/internal/memory_entry.h"

#include <algorithm>

#include "common/error.h"
#include "common/message_text.h"
#include "common/truth_value.h"

namespace vantory {

bool is_empty_value(const Json& value) { return !truthy(value); }

const Json* find_member(const Json& entry, std::string_view key) {
  for (const auto& [name, value] : entry.get_ref<const Json::object_t&>()) {
    if (name == key) return &value;
  }
  return nullptr;
}

const Json::array_t* memory_list(const Json& memories) {
  if (is_empty_value(memories)) return nullptr;
  if (!memories.is_array()) {
    throw TypeError(std::string("memories must be an array of memory entries, not ") +
                    type_name(memories));
  }
  return &memories.get_ref<const Json::array_t&>();
}

void require_object(const Json& entry, std::size_t position) {
  if (!entry.is_object()) {
    throw TypeError("memory entry " + std::to_string(position) + " must be an object, not " +
                    type_name(entry));
  }
}

void throw_member_type(std::size_t position, std::string_view member, std::string_view expected,
                       const Json& value) {
  throw TypeError("memory entry " + std::to_string(position) + ": '" + std::string(member) +
                  "' must be " + std::string(expected) + ", not " + type_name(value));
}

const std::string* entry_id(const Json& entry, std::size_t position) {
  const Json* id = find_member(entry, "id");
  if (id == nullptr || is_empty_value(*id)) return nullptr;
  if (!id->is_string()) throw_member_type(position, "id", "a string", *id);
  return &id->get_ref<const std::string&>();
}

std::string_view entry_text(const Json& entry, std::size_t position) {
  for (const char* name : {"lossless_restatement", "content"}) {
    const Json* text = find_member(entry, name);
    if (text == nullptr || is_empty_value(*text)) continue;
    if (!text->is_string()) throw_member_type(position, name, "a string", *text);
    return text->get_ref<const std::string&>();
  }
  return {};
}

std::size_t kept_count(std::size_t n, std::int64_t top_k) {
  if (top_k >= 0) {
    return static_cast<std::uint64_t>(top_k) < n ? static_cast<std::size_t>(top_k) : n;
  }
  std::uint64_t dropped = static_cast<std::uint64_t>(-(top_k + 1)) + 1;
  return dropped < n ? n - static_cast<std::size_t>(dropped) : 0;
}

void keep_top(std::vector<RankedEntry>& ranked, std::int64_t top_k) {
  auto before = [](const RankedEntry& a, const RankedEntry& b) {
    return a.score > b.score || (a.score == b.score && a.position < b.position);
  };
  std::size_t keep = kept_count(ranked.size(), top_k);
  if (keep < ranked.size()) {
    std::nth_element(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep),
                     ranked.end(), before);
    ranked.resize(keep);
  }
  std::sort(ranked.begin(), ranked.end(), before);
}

Json with_score(const Json& entry, const char* name, double score) {
  Json record = entry;
  record[name] = score;
  return record;
}

Json ranked_records(const Json::array_t& memories, const std::vector<RankedEntry>& ranked,
                    const char* name) {
  Json records = Json::array();
  for (const RankedEntry& r : ranked) {
    records.push_back(with_score(memories[r.position], name, r.score));
  }
  return records;
}

}  // namespace vantory
