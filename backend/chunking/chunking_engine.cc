#include "backend/chunking/chunking_engine.h"

#include <array>
#include <fstream>
#include <utility>

#include "backend/chunking/header_language.h"
#include "backend/chunking/line_window_chunker.h"
#include "backend/chunking/syntax.h"
#include "backend/chunking/tree_sitter_chunker.h"
#include "common/paths.h"
#include "common/unicode.h"

namespace vantory::backend {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 48> kExtensions = {{
    {"py", "python"},       {"pyw", "python"},     {"pyi", "python"},
    {"js", "javascript"},   {"mjs", "javascript"}, {"cjs", "javascript"},
    {"jsx", "javascript"},  {"ts", "typescript"},  {"mts", "typescript"},
    {"cts", "typescript"},  {"tsx", "tsx"},        {"c", "c"},
    {"h", "c"},             {"cc", "cpp"},         {"cpp", "cpp"},
    {"cxx", "cpp"},         {"c++", "cpp"},        {"hpp", "cpp"},
    {"hh", "cpp"},          {"hxx", "cpp"},        {"h++", "cpp"},
    {"ipp", "cpp"},         {"inl", "cpp"},        {"go", "go"},
    {"rs", "rust"},         {"java", "java"},      {"tpp", "cpp"},
    {"cs", "csharp"},       {"csx", "csharp"},     {"rb", "ruby"},
    {"rake", "ruby"},       {"gemspec", "ruby"},   {"php", "php"},
    {"phtml", "php"},       {"kt", "kotlin"},      {"kts", "kotlin"},
    {"swift", "swift"},     {"scala", "scala"},    {"sc", "scala"},
    {"sh", "bash"},         {"bash", "bash"},      {"lua", "lua"},
    {"ex", "elixir"},       {"exs", "elixir"},     {"zig", "zig"},
    {"elm", "elm"},         {"sol", "solidity"},   {"bats", "bash"},
}};

std::string_view language_of_extension(std::string_view extension) {
  for (const auto& [known, language] : kExtensions) {
    if (known == extension) return language;
  }
  return {};
}

// The language of a script's interpreter: "python3.11" and "pypy3" run Python, "node" runs
// JavaScript, "sh" and "bash" the shell.
std::string_view language_of_interpreter(std::string_view interpreter) {
  std::string_view name = base_name(interpreter);
  auto starts = [&](std::string_view prefix) { return name.substr(0, prefix.size()) == prefix; };
  if (starts("python") || starts("pypy")) return "python";
  if (name == "node" || name == "nodejs" || name == "bun" || name == "deno") return "javascript";
  if (name == "ts-node" || name == "tsx") return "typescript";
  if (name == "sh" || name == "bash" || name == "dash") return "bash";
  if (starts("ruby")) return "ruby";
  if (starts("php")) return "php";
  if (starts("lua")) return "lua";
  if (name == "elixir") return "elixir";
  if (name == "swift") return "swift";
  return {};
}

std::string_view language_of_shebang(const std::string& file_path) {
  std::ifstream in(file_path, std::ios::binary);
  if (!in) return {};
  std::array<char, 256> buffer{};
  in.read(buffer.data(), buffer.size());
  std::string_view head(buffer.data(), static_cast<std::size_t>(in.gcount()));
  if (head.substr(0, 2) != "#!") return {};
  head = head.substr(2, head.find('\n') == std::string_view::npos ? head.size() - 2
                                                                   : head.find('\n') - 2);
  std::vector<std::string_view> words = split_whitespace(head);
  std::size_t i = 0;
  // #!/usr/bin/env -S python3 -u: the interpreter is the first word after env's options.
  if (i < words.size() && base_name(words[i]) == "env") {
    ++i;
    while (i < words.size() && (words[i].substr(0, 1) == "-" || words[i].find('=') != std::string_view::npos)) ++i;
  }
  return i < words.size() ? language_of_interpreter(words[i]) : std::string_view();
}

class BackendChunkingComponent : public ChunkingComponent {
 public:
  std::string detect_language(const std::string& file_path) override {
    return backend::detect_language(file_path);
  }
  std::unique_ptr<Chunker> get_chunker(const std::string& language) override {
    return ChunkingEngine::get_chunker(language);
  }
};

}  // namespace

std::string detect_language(const std::string& file_path) {
  std::string_view base = base_name(file_path);
  std::size_t dot = base.rfind('.');
  if (dot != std::string_view::npos && dot > 0) {
    std::string_view extension = base.substr(dot + 1);
    std::string_view language = language_of_extension(extension);
    // "X.C" and "X.H" are C++ by long custom; other capitalised extensions mean the same as
    // their lower-case forms.
    if (language.empty() && (extension == "C" || extension == "H")) language = "cpp";
    if (language.empty()) language = language_of_extension(to_lower(extension));
    // ".h" is C's and C++'s both: a header that writes C++ is read with the C++ grammar.
    if (language == "c" && extension == "h" && header_looks_like_cpp(file_path)) return "cpp";
    if (!language.empty()) return std::string(language);
  }
  std::string_view language = language_of_shebang(file_path);
  return language.empty() ? "text" : std::string(language);
}

std::vector<std::string> extract_imports(const std::string& language, std::string_view text) {
  return imports_of(language, text);
}

std::unique_ptr<Chunker> ChunkingEngine::get_chunker(const std::string& language) {
  if (const Syntax* syntax = Syntax::find(language)) return make_chunker(*syntax, language);
  return std::make_unique<LineWindowChunker>(language);
}

std::shared_ptr<ChunkingComponent> make_chunking_component() {
  return std::make_shared<BackendChunkingComponent>();
}

}  // namespace vantory::backend
