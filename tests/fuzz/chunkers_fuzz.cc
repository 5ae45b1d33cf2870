// The chunkers of every language on any bytes: no crash, only the library's own errors, and
// records whose lines lie inside the text and whose JSON text reads back. Import extraction
// and the binary check see the same bytes.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "backend/chunking/chunking_engine.h"
#include "common/error.h"
#include "common/json_text.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct Language {
  const char* name;
  const char* path;
};

// The first byte of an input picks the language: the first ten keep their places, so that the
// saved inputs keep meaning what they meant.
constexpr std::array<Language, 22> kLanguages = {{
    {"python", "pkg/module.py"},
    {"javascript", "src/module.js"},
    {"typescript", "src/module.ts"},
    {"tsx", "src/view.tsx"},
    {"c", "src/unit.c"},
    {"cpp", "src/unit.cc"},
    {"go", "cmd/main.go"},
    {"rust", "src/lib.rs"},
    {"java", "src/Main.java"},
    {"text", "notes.txt"},
    {"csharp", "src/Api.cs"},
    {"ruby", "lib/app.rb"},
    {"php", "src/index.php"},
    {"kotlin", "src/Main.kt"},
    {"swift", "Sources/App.swift"},
    {"scala", "src/Main.scala"},
    {"bash", "bin/run.sh"},
    {"lua", "src/init.lua"},
    {"elixir", "lib/app.ex"},
    {"zig", "src/main.zig"},
    {"elm", "src/Main.elm"},
    {"solidity", "contracts/Token.sol"},
}};

vantory::Chunker& chunker_for(const char* language) {
  static std::map<std::string, std::unique_ptr<vantory::Chunker>> chunkers;
  auto& chunker = chunkers[language];
  if (!chunker) chunker = vantory::backend::ChunkingEngine::get_chunker(language);
  return *chunker;
}

std::int64_t line_count(const std::string& text) {
  std::int64_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines + (text.empty() || text.back() == '\n' ? 0 : 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Language& language = kLanguages[data[0] % kLanguages.size()];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  vantory::backend::looks_binary(text);
  vantory::backend::extract_imports(language.name, text);
  std::vector<std::unique_ptr<vantory::CodeUnit>> units;
  try {
    units = chunker_for(language.name).chunk_file(text, language.path);
  } catch (const vantory::Error&) {
    return 0;
  }
  std::int64_t lines = line_count(text);
  for (const auto& unit : units) {
    vantory::Json record = unit->to_dict();
    std::int64_t first = record.at("start_line").get<std::int64_t>();
    std::int64_t last = record.at("end_line").get<std::int64_t>();
    FUZZ_CHECK(1 <= first && first <= last && last <= std::max<std::int64_t>(lines, 1));
    vantory::parse_json(vantory::dump_json(record));
  }
  return 0;
}
