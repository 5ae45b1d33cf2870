#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/analysis/expect_error.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::Return;
using testing::snapshot;
using testing::TarnelWithFakes;

Json analyse(const Json& contexts, const std::string& file_path) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, _load_agent_data("ag", "file_contexts")).WillOnce(Return(snapshot(contexts)));
  return t.tarnel.usage_analysis("ag", file_path);
}

// One function chunk of pkg/mod.py with the given parameters, text and start line.
Json with_function(const Json& parameters, const std::string& content, const Json& start_line) {
  Json chunk = {{"name", "f"}, {"type", "function"}, {"parameters", parameters}, {"content", content}};
  if (!start_line.is_null()) chunk["start_line"] = start_line;
  return Json::array({Json{{"file_path", "pkg/mod.py"}, {"chunks", {chunk}}}});
}

Json unused_names(const Json& result) {
  Json names = Json::array();
  for (const Json& entry : result["parameters_unused"]) names.push_back(entry["param"]);
  return names;
}

TEST(UsageAnalysis, ReportsDefinedUsedAndUnusedFunctions) {
  Json contexts = Json::parse(R"([
    {"file_path": "./pkg//mod.py", "chunks": [
      {"name": "Store.save", "type": "method", "start_line": 3},
      {"name": "load", "type": "function", "start_line": 9, "calls": [{"target": "self.save"}]},
      {"name": "save", "type": "function", "start_line": 15, "calls": [{"target": "load"}]},
      {"name": "run", "type": "function", "start_line": 20, "content": "def run(): pass",
       "parameters": [{"name": "Unused"}]},
      {"name": "mod", "type": "function", "start_line": 25},
      {"name": "idle", "type": "function"},
      {"name": "Config", "type": "class", "start_line": 30, "calls": [{"target": "idle.x"}]},
      {"name": "Helper", "type": "Function", "start_line": 35},
      {"name": "Cache.evict", "type": "method", "start_line": 40, "calls": [{"target": "Cache.evict"}]},
      "not a chunk", {"name": "block", "calls": null}]},
    {"file_path": "app.py", "chunks": [7, {"calls": [
      {"target": "mod.run"}, {"target": "mod"}, {"target": "modular.idle"}, {"target": "mod.run"}, 3]}]},
    {"file_path": "pkg/./mod.py", "chunks": [{"calls": [{"target": "mod.idle"}]}]}
  ])");
  EXPECT_EQ(dump_json(analyse(contexts, "pkg/mod.py")),
            R"({"functions_defined": [{"name": "Store.save", "line": 3}, {"name": "load", "line": 9}, )"
            R"({"name": "save", "line": 15}, {"name": "run", "line": 20}, {"name": "mod", "line": 25}, )"
            R"({"name": "idle", "line": null}, {"name": "Cache.evict", "line": 40}], )"
            R"("functions_used_externally": ["run", "mod"], )"
            R"("functions_unused": [{"name": "idle", "line": null}], )"
            R"("parameters_unused": [{"function": "run", "param": "unused", "line": 20}]})");
}

TEST(UsageAnalysis, AFileThatIsNotIndexedIsAnError) {
  Json contexts = Json::parse(R"([{"file_path": "pkg/other.py"}, {"chunks": []}])");
  EXPECT_EQ(dump_json(analyse(contexts, "./pkg//mod.py")),
            R"({"status": "error", "message": "File not indexed: ./pkg//mod.py"})");
}

TEST(UsageAnalysis, LooksForParametersInTheBodyOnly) {
  struct Case {
    const char* name;
    const char* parameters;
    std::string content;
    Json start_line;
    const char* unused;
  };
  const Case cases[] = {
      {"the signature declares, it does not use",
       R"([{"name": "a"}, {"name": "b"}, {"name": "Path"}, {"name": "q"}])",
       "def f(a, b, path):\n    return b\n", 1, R"(["a", "path", "q"])"},
      {"a one-line function", R"([{"name": "self"}, {"name": "CLS"}, {"name": "x"}, {"name": "y"}])",
       "line:4 def f(self, cls, x, y): return x\n", 4, R"(["y"])"},
      {"markers need not match the start line", R"([{"name": "x"}, {"name": "y"}])",
       "line:44 def f(x, y):\nline:5 return y\n", nullptr, R"(["x"])"},
      {"markers are not words of the body", R"([{"name": "line"}, {"name": "n"}])",
       "line:1 def f(line, n):\nline:2 return n\n", 1, R"(["line"])"},
      {"decorators and comments before the signature",
       R"([{"name": "a"}, {"name": "b"}])",
       "@route(\"/f\", a)\n# f is routed, a not\ndef f(a, b):\n    return b\n", 1, R"(["a"])"},
      {"type parameters, receivers and nested parentheses",
       R"([{"name": "a"}, {"name": "b"}, {"name": "c"}])",
       "func (s *T) F[K any](a K, b func(c int)) int { return b(0) }", 1, R"(["a", "c"])"},
      {"an unnamed list after the name", R"([{"name": "req"}, {"name": "res"}])",
       "const f = async (req, res) => res.send()", 1, R"(["req"])"},
      {"no list: the whole text", R"([{"name": "x"}, {"name": "y"}])", "f = lambda x: 1", 1,
       R"(["y"])"},
      {"parameters are matched and reported in lower case",
       R"([{"name": "Path"}, {"name": "Other"}])",
       "line:1 def f(Path, Other):\nline:2 return PATH\n", 1, R"(["other"])"},
      {"variadic parameters are words without their stars",
       R"([{"name": "*args"}, {"name": "**kwargs"}, {"name": "*rest"}])",
       "line:1 def f(*args, **kwargs, *rest):\nline:2 g(*args, kwargs)\n", 1, R"(["*rest"])"},
      {"names with pattern characters are matched literally",
       R"([{"name": "$x"}, {"name": "a+b"}, {"name": "(y"}])", "line:1 f\nline:2 $x = a+b\n", 1,
       R"(["$x", "(y"])"},
      {"word boundaries follow Unicode word characters",
       R"([{"name": "x"}, {"name": "größe"}, {"name": "n"}])", "line:1 f\nline:2 éx = größe + n_1\n",
       1, R"(["x", "n"])"},
  };
  for (const Case& c : cases) {
    Json result = analyse(with_function(Json::parse(c.parameters), c.content, c.start_line), "pkg/mod.py");
    EXPECT_EQ(unused_names(result), Json::parse(c.unused)) << c.name;
  }
}

TEST(UsageAnalysis, BadRecordsFailNamingTheMember) {
  struct Case {
    const char* name;
    Json contexts;
    const char* kind;
    const char* message;
  };
  const Case cases[] = {
      {"parameter without a name", with_function(Json::parse(R"([{"type": "int"}])"), "", 1),
       "KeyError", "'name'"},
      {"parameter name that is not text", with_function(Json::parse(R"([{"name": 1}])"), "", 1),
       "TypeError", "'name' must be a string, not int"},
      {"function without a name",
       Json::parse(R"([{"file_path": "pkg/mod.py", "chunks": [{"type": "function"}]}])"),
       "TypeError", "'name' must be a string, not NoneType"},
      {"call target that is not text",
       Json::parse(R"([{"file_path": "pkg/mod.py"}, {"file_path": "b.py", "chunks": [{"calls": [{"target": []}]}]}])"),
       "TypeError", "'target' must be a string, not list"},
  };
  for (const Case& c : cases) {
    testing::expect_error([&] { analyse(c.contexts, "pkg/mod.py"); }, c.kind, c.message, c.name);
  }
}

}  // namespace
}  // namespace vantory
