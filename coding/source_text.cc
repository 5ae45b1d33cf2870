#include "coding/internal/source_text.h"

#include "coding/internal/records.h"
#include "common/error.h"
#include "common/files.h"
#include "common/message_text.h"
#include "common/unicode.h"

namespace vantory {

std::string read_source_text(const std::string& path, std::uint64_t max_bytes) {
  // Most files are UTF-8 with "\n" line ends already: they are handed on as read, uncopied.
  std::string text = read_regular_file(path, max_bytes);
  if (!is_valid_utf8(text)) text = decode_utf8_lossy(text);
  if (text.find('\r') != std::string::npos) text = translate_newlines(text);
  return text;
}

Json units_to_chunk_records(const std::vector<std::unique_ptr<CodeUnit>>& units) {
  Json records = Json::array();
  for (const auto& unit : units) {
    if (!unit) throw TypeError("the chunker answered an empty code unit");
    Json record = unit->to_dict();
    if (!record.is_object()) {
      throw TypeError(std::string("to_dict must answer a dict, not ") + type_name(record));
    }
    if (!records::truthy(records::get_or(record, "summary", nullptr))) {
      const Json* name = records::find(record, "name");
      record["summary"] = "Code unit: " + (name ? value_text(*name) : std::string("unnamed"));
    }
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace vantory
