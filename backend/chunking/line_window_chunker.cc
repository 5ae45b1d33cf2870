#include "backend/chunking/line_window_chunker.h"

#include <algorithm>

#include "backend/chunking/binary.h"
#include "backend/chunking/keywords.h"
#include "backend/chunking/source_lines.h"

namespace vantory::backend {

std::vector<ChunkRecord> line_windows(std::string_view text, const std::string& language,
                                      const std::string& file_path) {
  std::vector<ChunkRecord> records;
  SourceLines lines(text);
  const std::size_t count = lines.count();
  for (std::size_t start = 0; start < count; start += kWindowRows - kWindowOverlap) {
    std::size_t end = std::min(count - 1, start + kWindowRows - 1);
    std::size_t first = start;
    std::size_t last = end;
    while (first <= last && lines.blank(first)) ++first;
    while (last > first && lines.blank(last)) --last;
    if (first <= last && !lines.blank(first)) {
      ChunkRecord record;
      record.name = lines_name(first + 1, last + 1);
      record.type = "block";
      record.content = std::string(lines.rows(first, last));
      record.summary = one_line(lines.line(first));
      KeywordCollector keywords;
      keywords.add_words(record.content);
      record.keywords = keywords.take();
      record.start_line = static_cast<int>(first + 1);
      record.end_line = static_cast<int>(last + 1);
      record.language = language;
      record.file_path = file_path;
      records.push_back(std::move(record));
    }
    if (end + 1 >= count) break;
  }
  return records;
}

std::vector<std::unique_ptr<CodeUnit>> LineWindowChunker::chunk_file(const std::string& text,
                                                                     const std::string& file_path) {
  require_text(text, file_path);
  return to_units(line_windows(text, language_, file_path));
}

}  // namespace vantory::backend
