// The chunking component: language detection and the chunkers that cut a source file into
// code units. Tarnel binds it at every call that needs it (ComponentProvider), so a missing or
// broken chunking component fails only those calls.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/json.h"

namespace vantory {

// One code unit produced by a chunker (a class, a function, a method, a block of code).
class CodeUnit {
 public:
  virtual ~CodeUnit() = default;
  // A new chunk record ({"name", "type", "content", "summary", "keywords", "start_line",
  // "calls", "parameters", ...}) that the caller owns and may change. May throw.
  virtual Json to_dict() const = 0;
  // The same record for a caller that is done with the unit: a unit may hand over its own
  // texts instead of copies, and is left valid but unspecified.
  virtual Json take_dict() { return to_dict(); }
};

// Cuts the text of one file into code units. Not required to be thread-safe.
class Chunker {
 public:
  virtual ~Chunker() = default;
  // The code units of `text` (the whole file, UTF-8, "\n" line endings) in file order.
  // `file_path` is the path the text was read from. May throw on failure.
  virtual std::vector<std::unique_ptr<CodeUnit>> chunk_file(const std::string& text,
                                                            const std::string& file_path) = 0;
};

// The bound chunking component: the free function detect_language and the class-level
// ChunkingEngine::get_chunker.
class ChunkingComponent {
 public:
  virtual ~ChunkingComponent() = default;
  // The language name of the file at `file_path` ("python", "javascript", ..., "text").
  virtual std::string detect_language(const std::string& file_path) = 0;
  // ChunkingEngine::get_chunker: a chunker for `language`. May throw.
  virtual std::unique_ptr<Chunker> get_chunker(const std::string& language) = 0;
};

}  // namespace vantory
