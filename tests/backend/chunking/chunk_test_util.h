// Helpers shared by the chunking tests: run a chunker and look at its records.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "backend/chunking/chunking_engine.h"
#include "common/json.h"

namespace vantory::backend::testing {

// The text of the sample file `name` in tests/backend/chunking/samples.
inline std::string sample(const std::string& name) {
  std::ifstream in(std::string(VANTORY_CHUNKING_SAMPLES) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) ADD_FAILURE() << "cannot read the sample " << name;
  return text.str();
}

// The records that the chunker for `language` makes of `text`.
inline std::vector<Json> chunk(const std::string& language, const std::string& text,
                               const std::string& path = "src/file") {
  std::vector<Json> records;
  for (const auto& unit : ChunkingEngine::get_chunker(language)->chunk_file(text, path)) {
    records.push_back(unit->to_dict());
  }
  return records;
}

// The first record named `name`, or null.
// The first record named `name`, skipping those of type `skipped` (a method's declaration in
// its class, when the test wants its definition).
inline const Json* find_chunk(const std::vector<Json>& records, std::string_view name,
                              std::string_view skipped = {}) {
  for (const Json& record : records) {
    if (record["name"] == name && record["type"] != skipped) return &record;
  }
  return nullptr;
}

inline std::vector<std::string> names_of(const std::vector<Json>& records) {
  std::vector<std::string> names;
  for (const Json& record : records) names.push_back(record["name"]);
  return names;
}

inline std::vector<std::string> call_targets(const Json& record) {
  std::vector<std::string> targets;
  for (const Json& call : record["calls"]) targets.push_back(call["target"]);
  return targets;
}

inline std::vector<std::string> parameter_names(const Json& record) {
  std::vector<std::string> names;
  for (const Json& parameter : record["parameters"]) names.push_back(parameter["name"]);
  return names;
}

// Checks what every chunk list must satisfy: records in file order, lines inside the file
// and not shared with the previous record (unless they lie inside it: a unit defined in a
// long function), content exactly the lines it claims, calls on those lines.
inline void expect_consistent(const std::vector<Json>& records, std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  // The records that enclose the current one (a long function and what is defined in it),
  // each with the end of the last record seen inside it; the first holds the whole file.
  struct Open {
    int first, last, previous_end;
  };
  std::vector<Open> open{{1, std::numeric_limits<int>::max(), 0}};
  for (const Json& record : records) {
    int first = record["start_line"];
    int last = record["end_line"];
    SCOPED_TRACE(record["name"].get<std::string>() + " " + std::to_string(first) + "-" +
                 std::to_string(last));
    ASSERT_GE(first, 1);
    ASSERT_LE(first, last);
    ASSERT_LE(last, static_cast<int>(lines.size()));
    while (open.size() > 1 &&
           !(open.back().first < first && last <= open.back().last &&
             first >= open.back().previous_end)) {
      open.pop_back();
    }
    EXPECT_GE(first, open.back().previous_end) << "records out of order or overlapping";
    open.back().previous_end = last;
    open.push_back({first, last, first});
    std::string expected;
    for (int row = first; row <= last; ++row) {
      if (row > first) expected.push_back('\n');
      expected.append(lines[static_cast<std::size_t>(row - 1)]);
    }
    EXPECT_EQ(record["content"], expected);
    for (const Json& call : record["calls"]) {
      EXPECT_GE(call["line"].get<int>(), first);
      EXPECT_LE(call["line"].get<int>(), last);
    }
  }
}

}  // namespace vantory::backend::testing
