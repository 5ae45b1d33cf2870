// The chunker for text that no grammar reads: overlapping windows of lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "backend/chunking/chunk_record.h"
#include "coding/chunking.h"

namespace vantory::backend {

// Lines per window, and lines shared by neighbouring windows so that a passage cut by a
// window boundary is still found whole in one of them.
inline constexpr std::size_t kWindowRows = 60;
inline constexpr std::size_t kWindowOverlap = 5;

// The windows of `text` as "block" records named "lines <first>-<last>", blank lines trimmed
// from their ends; windows of blank lines only are left out.
std::vector<ChunkRecord> line_windows(std::string_view text, const std::string& language,
                                      const std::string& file_path);

// Cuts any text into line windows. Not thread-safe (no state, but see Chunker).
class LineWindowChunker : public Chunker {
 public:
  explicit LineWindowChunker(std::string language) : language_(std::move(language)) {}

  // The windows of `text`; none for an empty file. Throws ValueError "binary file: <path>"
  // for binary content.
  std::vector<std::unique_ptr<CodeUnit>> chunk_file(const std::string& text,
                                                    const std::string& file_path) override;

 private:
  std::string language_;
};

}  // namespace vantory::backend
