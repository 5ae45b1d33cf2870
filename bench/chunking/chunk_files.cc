// Chunks every file named in a list the way the coding API does (read, decode, chunk, convert
// each unit to its record, extract the imports) and prints the median wall time of several
// passes. With --parse-only it only parses each file with tree-sitter: the floor that any
// tree-sitter chunker stands on. Usage: chunk_files [--parse-only] <file-list> [passes]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "backend/chunking/chunking_engine.h"
#include "backend/chunking/syntax.h"
#include "common/files.h"
#include "common/unicode.h"

namespace {

// Parses the text and drops the tree; answers 1 when the language has a grammar.
std::size_t parse_only(const std::string& language, const std::string& text) {
  const vantory::backend::Syntax* syntax = vantory::backend::Syntax::find(language);
  if (syntax == nullptr) return 0;
  static TSParser* parser = ts_parser_new();
  ts_parser_set_language(parser, syntax->grammar());
  ts_tree_delete(ts_parser_parse_string(parser, nullptr, text.data(),
                                        static_cast<std::uint32_t>(text.size())));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool parse_mode = argc > 1 && std::string(argv[1]) == "--parse-only";
  if (parse_mode) {
    --argc;
    ++argv;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: chunk_files [--parse-only] <file-list> [passes]\n");
    return 2;
  }
  std::vector<std::string> paths;
  std::ifstream list(argv[1]);
  for (std::string line; std::getline(list, line);) {
    if (!line.empty()) paths.push_back(line);
  }
  int passes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  std::vector<double> seconds;
  std::size_t bytes = 0, units = 0, imports = 0;
  for (int pass = 0; pass < passes; ++pass) {
    bytes = units = imports = 0;
    auto start = std::chrono::steady_clock::now();
    for (const std::string& path : paths) {
      std::string raw = vantory::read_file(path);
      bytes += raw.size();
      std::string text = vantory::translate_newlines(vantory::decode_utf8_lossy(raw));
      std::string language = vantory::backend::detect_language(path);
      if (parse_mode) {
        units += parse_only(language, text);
        continue;
      }
      auto chunker = vantory::backend::ChunkingEngine::get_chunker(language);
      for (const auto& unit : chunker->chunk_file(text, path)) {
        vantory::Json record = unit->to_dict();
        units += record.size() > 0 ? 1 : 0;
      }
      imports += vantory::backend::extract_imports(language, text).size();
    }
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  double median = seconds[seconds.size() / 2];
  std::printf("files %zu  MB %.2f  units %zu  imports %zu  median_s %.3f  files/s %.0f  MB/s %.2f\n",
              paths.size(), bytes / 1e6, units, imports, median, paths.size() / median,
              bytes / 1e6 / median);
  return 0;
}
