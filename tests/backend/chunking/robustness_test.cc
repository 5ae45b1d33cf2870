// Input that chunkers must survive: syntax errors, deep nesting, binary data, empty and huge
// files, untranslated line ends; and the line-window chunker for other text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include <tree_sitter/parser.h>

#include "backend/chunking/chunking_engine.h"
#include "backend/chunking/syntax.h"
#include "backend/chunking/tree_sitter_chunker.h"
#include "common/error.h"
#include "tests/backend/chunking/chunk_test_util.h"

extern "C" const TSLanguage* tree_sitter_python(void);

namespace vantory::backend::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

std::string repeat(std::string_view piece, int times) {
  std::string out;
  out.reserve(piece.size() * static_cast<std::size_t>(times));
  for (int i = 0; i < times; ++i) out.append(piece);
  return out;
}

struct SurvivalCase {
  std::string label;
  std::string language;
  std::string source;
  std::vector<std::string> expected_units;  // each must be among the records
};

void PrintTo(const SurvivalCase& c, std::ostream* out) { *out << c.label; }

class Survives : public ::testing::TestWithParam<SurvivalCase> {};

TEST_P(Survives, AndStillFindsTheUnitsAroundTheTrouble) {
  const SurvivalCase& c = GetParam();
  std::vector<Json> records = chunk(c.language, c.source);
  expect_consistent(records, c.source);
  for (const std::string& name : c.expected_units) {
    EXPECT_THAT(names_of(records), Contains(name));
  }
}

constexpr int kDeep = 10000;

INSTANTIATE_TEST_SUITE_P(
    BadInput, Survives,
    ::testing::Values(
        SurvivalCase{"python_syntax_error", "python",
                     "def ok():\n    return 1\n\ndef broken(:\n    pass\n\n"
                     "class Fine:\n    def m(self):\n        return 2\n",
                     {"ok", "Fine", "Fine.m"}},
        SurvivalCase{"javascript_unclosed", "javascript",
                     "function first() { return 1; }\nfunction second( {\n  let x = ;\n",
                     {"first"}},
        SurvivalCase{"c_garbage", "c", "int good(void) { return 0; }\n@@@ !!! ###\nint x = ;\n",
                     {"good"}},
        SurvivalCase{"java_missing_semicolons", "java",
                     "class A {\n  void f() { int x = 1 }\n  void g() { return }\n}\n",
                     {"A", "A.f", "A.g"}},
        SurvivalCase{"python_deep_brackets", "python",
                     "x = " + repeat("[", kDeep) + repeat("]", kDeep) + "\ndef f():\n    return 1\n",
                     {"f"}},
        SurvivalCase{"cpp_deep_namespaces", "cpp",
                     repeat("namespace a {\n", kDeep) + "void f() { g(); }\n" + repeat("}\n", kDeep),
                     {"f"}},
        SurvivalCase{"javascript_deep_calls", "javascript",
                     repeat("f(", kDeep) + repeat(")", kDeep) + ";\nfunction g() { return 1; }\n",
                     {"g"}},
        SurvivalCase{"c_deep_blocks", "c",
                     "int f(void) " + repeat("{", kDeep) + repeat("}", kDeep) +
                         "\nint g(void) { return 1; }\n",
                     {"f", "g"}},
        SurvivalCase{"rust_deep_use_lists", "rust",
                     "use a::" + repeat("{b::", kDeep) + "c" + repeat("}", kDeep) +
                         ";\nfn main() {}\n",
                     {"imports", "main"}},
        SurvivalCase{"python_replacement_characters", "python",
                     "def Gr\xC3\xB6\xC3\x9F" "e(x):\n    return '\xEF\xBF\xBD'  # \xEF\xBF\xBD\n",
                     {"Gr\xC3\xB6\xC3\x9F" "e"}},
        // The receiver's parameter is a string literal: it has no type field.
        SurvivalCase{"go_receiver_without_type", "go",
                     "package main\nfunc (\" *T) M(a int) int { return a }\nfunc main() {}\n",
                     {"main"}},
        SurvivalCase{"python_only_comments", "python", "# one\n# two\n", {"lines 1-2"}},
        SurvivalCase{"ruby_unclosed_method", "ruby",
                     "class A\n  def f(x\n    x +\n  end\nend\n\ndef g\n  1\nend\n", {"g"}},
        SurvivalCase{"elixir_def_without_head", "elixir",
                     "defmodule M do\n  def\n  def ok(x), do: x\nend\n", {"M", "M.ok"}},
        SurvivalCase{"lua_deep_tables", "lua",
                     "local t = " + repeat("{", kDeep) + repeat("}", kDeep) +
                         "\nfunction f() return 1 end\n",
                     {"f"}}),
    [](const auto& info) { return info.param.label; });

TEST(Keywords, LowerCaseNonAsciiIdentifiers) {
  std::vector<Json> records = chunk("python", "def Gr\xC3\xB6\xC3\x9F" "e():\n    return \xC3\x84pfel\n");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_THAT(records[0]["keywords"].get<std::vector<std::string>>(),
              ElementsAre("gr\xC3\xB6\xC3\x9F" "e", "\xC3\xA4pfel"));
}

TEST(DeepNesting, ImportsOfDeepUseListsStillExpand) {
  std::string source = "use a::" + repeat("{b::", kDeep) + "c" + repeat("}", kDeep) + ";\n";
  std::vector<std::string> modules = extract_imports("rust", source);
  ASSERT_EQ(modules.size(), 1u);
  EXPECT_EQ(modules[0].size(), std::string("a.c").size() + 2 * kDeep);
}

// Each nested class's members carry the names of all classes above them: unbounded, 60 KB of
// nested classes took 160 MB. Classes below 32 levels stay in the text of the 32nd.
TEST(DeepNesting, ClassesBeyondThirtyTwoLevelsAreNotOpened) {
  std::string source = repeat("class A {\n", kDeep) + "void f() {}\n" + repeat("}\n", kDeep);
  std::vector<Json> records = chunk("java", source);
  expect_consistent(records, source);
  std::size_t classes = 0;
  for (const Json& record : records) {
    if (record["type"] == "class") {
      ++classes;
      EXPECT_LE(record["name"].get<std::string>().size(), 2u * 32);
    }
  }
  EXPECT_EQ(classes, 32u);
  EXPECT_NE(records[31]["content"].get<std::string>().find("void f() {}"), std::string::npos);
}

TEST(BinaryContent, IsRefusedWithTheFilePath) {
  const std::string data("\x7f" "ELF\x02\x01\x01\0\0\0\0\0", 12);
  for (const std::string language : {"python", "cpp", "text"}) {
    try {
      chunk(language, data, "bin/tool");
      ADD_FAILURE() << language << ": no error";
    } catch (const ValueError& e) {
      EXPECT_STREQ(e.what(), "binary file: bin/tool") << language;
    }
  }
}

// Damaged TSX on which tree-sitter's error recovery ran for more than ten minutes, memory
// growing: the parse is cut off after its budget and the file cut into line windows; the same
// chunker then parses the next file from that file's start, not resuming the one cut off.
TEST(RunawayParse, EndsInLineWindowsAndLeavesTheChunkerUsable) {
  const std::string damaged = " <d>{{props.n}</d { t {turps: { })v><d\xe8ss T";
  std::unique_ptr<Chunker> chunker = ChunkingEngine::get_chunker("tsx");
  auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<CodeUnit>> units = chunker->chunk_file(damaged, "src/view.tsx");
  EXPECT_TRUE(extract_imports("tsx", damaged).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0]->to_dict()["name"], "lines 1-1");

  const std::string good = "export function View() {\n  return <div />;\n}\n";
  std::vector<Json> records;
  for (const auto& unit : chunker->chunk_file(good, "src/view.tsx")) records.push_back(unit->to_dict());
  EXPECT_THAT(names_of(records), ElementsAre("View"));
}

// A grammar generated for a newer runtime than the one linked: its files are cut into line
// windows, and one line on standard error says why, however many chunkers are asked for.
TEST(UnloadableGrammar, GivesLineWindowsAndOneNote) {
  const LanguageRules* python = nullptr;
  for (const LanguageRules* rules : language_rules()) {
    if (std::string_view(rules->name) == "python") python = rules;
  }
  ASSERT_NE(python, nullptr);
  TSLanguage newer = *tree_sitter_python();
  newer.version = TREE_SITTER_LANGUAGE_VERSION + 1;
  Syntax syntax(*python, &newer);
  ::testing::internal::CaptureStderr();
  std::unique_ptr<Chunker> first = make_chunker(syntax, "python-next");
  std::unique_ptr<Chunker> second = make_chunker(syntax, "python-next");
  std::string note = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(note, ::testing::StartsWith("[Chunking] the tree-sitter runtime cannot load the "
                                          "python grammar (language version "));
  EXPECT_THAT(note, ::testing::EndsWith("): python-next files are cut into line windows\n"));
  EXPECT_EQ(std::count(note.begin(), note.end(), '\n'), 1);
  for (Chunker* chunker : {first.get(), second.get()}) {
    std::vector<std::unique_ptr<CodeUnit>> units =
        chunker->chunk_file("def f():\n    return 1\n", "a.py");
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0]->to_dict()["name"], "lines 1-2");
  }
}

TEST(EmptyInput, GivesNoChunks) {
  for (const std::string language : {"python", "javascript", "go", "text"}) {
    for (const std::string text : {"", "\n", "   \n\t\n\n"}) {
      EXPECT_TRUE(chunk(language, text).empty()) << language;
    }
  }
}

TEST(UntranslatedLineEnds, GiveTheSameUnitsAndLines) {
  const std::string translated = "import os\n\nclass A:\n    def m(self):\n        return os.sep\n";
  std::string crlf;
  for (char c : translated) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::vector<Json> plain = chunk("python", translated);
  std::vector<Json> windows_style = chunk("python", crlf);
  ASSERT_EQ(names_of(plain), names_of(windows_style));
  for (std::size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(plain[i]["start_line"], windows_style[i]["start_line"]);
    EXPECT_EQ(plain[i]["end_line"], windows_style[i]["end_line"]);
  }
}

TEST(Keywords, AreBoundedPerUnit) {
  std::string body;
  for (int i = 0; i < 300; ++i) body += "    name_" + std::to_string(i) + " = value" + std::to_string(i) + "\n";
  std::vector<Json> records = chunk("python", "def many():\n" + body);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_LE(records[0]["keywords"].size(), 64u);
  EXPECT_EQ(records[0]["keywords"][0], "many");
}

TEST(HugeFiles, AreCutIntoLineWindowsWithoutParsing) {
  std::string source;
  int lines = 0;
  while (source.size() <= (1u << 20)) {
    source += "def f" + std::to_string(lines) + "(x):\n    return x * 2  # padding padding padding\n";
    lines += 2;
  }
  std::vector<Json> records = chunk("python", source);
  ASSERT_GT(records.size(), 2u);
  for (const Json& record : records) EXPECT_EQ(record["type"], "block");
  EXPECT_EQ(records[0]["name"], "lines 1-60");
  EXPECT_EQ(records[1]["start_line"], 56);
  EXPECT_EQ(records.back()["end_line"], lines);
}

TEST(LineWindows, OverlapAndSkipBlankEdges) {
  std::string text = "\n\n\n";
  for (int i = 4; i <= 130; ++i) text += "line " + std::to_string(i) + "\n";
  text += "\n\n";
  std::vector<Json> records = chunk("text", text, "notes.txt");
  EXPECT_THAT(names_of(records), ElementsAre("lines 4-60", "lines 56-115", "lines 111-130"));
  EXPECT_EQ(records[0]["summary"], "line 4");
  EXPECT_EQ(records[0]["type"], "block");
  EXPECT_EQ(records[0]["language"], "text");
  EXPECT_EQ(records[0]["file_path"], "notes.txt");
  EXPECT_EQ(records[2]["content"].get<std::string>().substr(0, 8), "line 111");
  EXPECT_THAT(records[0]["keywords"].get<std::vector<std::string>>(), Contains("line"));
}

TEST(LineWindows, ShortTextIsOneWindow) {
  std::vector<Json> records = chunk("markdown", "# Title\n\nSome prose about parseConfig.\n");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["start_line"], 1);
  EXPECT_EQ(records[0]["end_line"], 3);
  EXPECT_THAT(records[0]["keywords"].get<std::vector<std::string>>(),
              ::testing::IsSupersetOf({"title", "parseconfig", "parse", "config"}));
}

}  // namespace
}  // namespace vantory::backend::testing
