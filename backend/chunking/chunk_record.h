// The chunk record that every chunker of the backend produces, and the code unit that hands it
// to Tarnel.
#pragma once

#include <string>
#include <vector>

#include "coding/chunking.h"
#include "common/json.h"

namespace vantory::backend {

// One call made inside a unit: the called name as written (whitespace dropped, argument lists
// shortened to "()": "self.store.get", "os.path.join", "load().decode") and its 1-based line.
struct CallSite {
  std::string target;
  int line = 0;
};

// One unit of a file. Lines are 1-based and inclusive; `content` is exactly those lines.
struct ChunkRecord {
  std::string name;
  std::string type;  // "class", "function", "method", "import" or "block"
  std::string content;
  std::string summary;
  std::vector<std::string> keywords;
  int start_line = 0;
  int end_line = 0;
  std::vector<CallSite> calls;
  std::vector<std::string> parameters;
  std::string language;
  std::string file_path;

  // {"name", "type", "content", "summary", "keywords", "start_line", "end_line", "calls":
  // [{"target", "line"}], "parameters": [{"name"}], "language", "file_path"}.
  Json to_json() const&;
  // The same, with the record's texts moved into it.
  Json to_json() &&;
};

// A CodeUnit over one ChunkRecord. Immutable but for take_dict, which spends the record.
class RecordUnit : public CodeUnit {
 public:
  explicit RecordUnit(ChunkRecord record) : record_(std::move(record)) {}
  const ChunkRecord& record() const { return record_; }
  Json to_dict() const override { return record_.to_json(); }
  Json take_dict() override { return std::move(record_).to_json(); }

 private:
  ChunkRecord record_;
};

// Moves `records` into code units, in order.
std::vector<std::unique_ptr<CodeUnit>> to_units(std::vector<ChunkRecord> records);

}  // namespace vantory::backend
