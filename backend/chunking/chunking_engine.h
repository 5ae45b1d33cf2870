// The backend's chunking component: language detection, tree-sitter chunkers for the languages
// it knows, a line-window chunker for any other text, and import extraction.
//
// All functions are thread-safe; a Chunker instance is used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "coding/chunking.h"

namespace vantory::backend {

// The language of the file at `file_path`: "python", "javascript", "typescript", "tsx", "c",
// "cpp", "go", "rust", "java", "csharp", "ruby", "php", "kotlin", "swift", "scala", "bash",
// "lua", "elixir", "zig", "elm", "solidity" by extension ("cpp" for a ".h" header whose
// start writes C++, header_language.h); for a file without a known
// extension, the interpreter named on its "#!" line when the file exists; "text" otherwise.
std::string detect_language(const std::string& file_path);

// True when `bytes` (the start of a file, or all of it) look like a binary file rather than
// text: a NUL byte, or more than one character in ten a control character that text does not
// use. Bytes that are not UTF-8 do not make text binary: a file in a legacy encoding is
// chunked with them replaced.
bool looks_binary(std::string_view bytes);

// The modules that `text` (a whole file in `language`) imports, in file order, duplicates
// kept, as dotted names whose last component names the imported file's stem and whose first
// names its top-level package ("os.path", "pkg.sub.util"; a relative "./lib/util.js" gives
// "lib.util"). Empty for languages without imports and for files over 1 MB, which are not
// parsed.
std::vector<std::string> extract_imports(const std::string& language, std::string_view text);

class ChunkingEngine {
 public:
  // A chunker for `language`: tree-sitter for the known languages, line windows for any other
  // text. Never null.
  static std::unique_ptr<Chunker> get_chunker(const std::string& language);
};

// The chunking component handed to Tarnel: detect_language and ChunkingEngine::get_chunker.
std::shared_ptr<ChunkingComponent> make_chunking_component();

}  // namespace vantory::backend
