// The chunker for the languages that have a tree-sitter grammar.
#pragma once

#include <tree_sitter/api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backend/chunking/syntax.h"
#include "coding/chunking.h"

namespace vantory::backend {

// Files larger than this are cut into line windows without parsing: a parse of a generated
// multi-megabyte file costs much and its units would be of little use.
inline constexpr std::size_t kMaxParsedBytes = 1 << 20;

// The time a parse may take, in microseconds: 2 s plus 10 us a byte. Real code parses at well
// under a microsecond a byte; tree-sitter's error recovery can run away on a few hundred bytes
// of damaged code (minutes, with memory growing all the while). A file whose parse is cut off
// is cut into line windows and its imports are not read.
inline constexpr std::uint64_t parse_budget_micros(std::size_t bytes) {
  return 2'000'000 + 10 * static_cast<std::uint64_t>(bytes);
}

// Largest run of remaining top-level code in one block unit.
inline constexpr std::size_t kMaxBlockRows = 60;

// Cuts source code into one unit per class, function and method, one per run of imports, and
// blocks for the code between them. Holds one tree-sitter parser, reused for every file; not
// thread-safe.
class TreeSitterChunker : public Chunker {
 public:
  TreeSitterChunker(const Syntax& syntax, std::string language);
  ~TreeSitterChunker() override;
  TreeSitterChunker(const TreeSitterChunker&) = delete;
  TreeSitterChunker& operator=(const TreeSitterChunker&) = delete;

  // The units of `text` in file order (see chunk_record.h for the record); none for a file
  // of white space. Syntax errors do not stop it: the parser recovers and the units around
  // the error still come out; a file the parser cannot finish within parse_budget_micros is
  // cut into line windows. Throws ValueError "binary file: <path>" for binary content.
  std::vector<std::unique_ptr<CodeUnit>> chunk_file(const std::string& text,
                                                    const std::string& file_path) override;

 private:
  const Syntax& syntax_;
  std::string language_;
  TSParser* parser_;
};

// A chunker for the files of `language`, whose grammar `syntax` has: tree-sitter, or line
// windows when this tree-sitter runtime cannot load the grammar. The first time that happens
// for a language, one line on standard error says so: "[Chunking] <why>: <language> files are
// cut into line windows". Thread-safe.
std::unique_ptr<Chunker> make_chunker(const Syntax& syntax, const std::string& language);

// The modules that `text` in `language` imports, as extract_imports answers them. A file that
// this thread has just chunked is not parsed again.
std::vector<std::string> imports_of(const std::string& language, std::string_view text);

}  // namespace vantory::backend
