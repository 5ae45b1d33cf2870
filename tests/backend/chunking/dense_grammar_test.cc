// Parsing with a grammar whose every state has a full parse-table row builds the very trees
// that the grammar's own tables build, on sound text and on text that needs error recovery.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "backend/chunking/syntax.h"
#include "tests/backend/chunking/chunk_test_util.h"

namespace vantory::backend::testing {
namespace {

std::string tree_of(const TSLanguage* grammar, const std::string& text) {
  std::unique_ptr<TSParser, void (*)(TSParser*)> parser(ts_parser_new(), ts_parser_delete);
  EXPECT_TRUE(ts_parser_set_language(parser.get(), grammar));
  std::unique_ptr<TSTree, void (*)(TSTree*)> tree(
      ts_parser_parse_string(parser.get(), nullptr, text.data(),
                             static_cast<std::uint32_t>(text.size())),
      ts_tree_delete);
  char* printed = ts_node_string(ts_tree_root_node(tree.get()));
  std::string out(printed);
  std::free(printed);
  return out;
}

TEST(DenseGrammar, ParsesAsTheGrammarsOwnTables) {
  const std::pair<const char*, std::string> cases[] = {
      {"c", "#define N 4\nstruct s { int a[N]; };\nstatic int f(int x) { return x * N; }\n"},
      {"cpp", "template <typename T> class Box { T v; public: T get() const { return v; } };\n"
              "namespace n { int g(Box<int>& b) { return b.get(); } }\n"},
      {"python", "class A:\n    def f(self, x):\n        return [y for y in x if y]\n"},
      {"javascript", "export function f(a, b = 2) { return a?.b ?? `t${b}`; }\n"},
      {"ruby", sample("invoice.rb")},   {"scala", sample("cart.scala")},
      {"swift", sample("image_cache.swift")}, {"csharp", sample("order_book.cs")},
      {"kotlin", sample("note_repository.kt")}, {"php", sample("profile_controller.php")},
  };
  int dense = 0;
  for (const auto& [language, text] : cases) {
    const Syntax* syntax = Syntax::find(language);
    ASSERT_NE(syntax, nullptr) << language;
    if (syntax->grammar() == syntax->rules().grammar()) continue;
    ++dense;
    const TSLanguage* own = syntax->rules().grammar();
    EXPECT_EQ(tree_of(syntax->grammar(), text), tree_of(own, text)) << language;
    // Every seventh byte dropped: the parser recovers from errors through other states.
    std::string broken;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i % 7 != 3) broken += text[i];
    }
    EXPECT_EQ(tree_of(syntax->grammar(), broken), tree_of(own, broken)) << language;
  }
  EXPECT_GE(dense, 8);
}

}  // namespace
}  // namespace vantory::backend::testing
