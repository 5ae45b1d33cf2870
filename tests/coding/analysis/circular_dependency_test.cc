#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "common/error.h"
#include "common/json_text.h"
#include "common/paths.h"
#include "tests/coding/analysis/expect_error.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::Return;
using testing::snapshot;
using testing::TarnelWithFakes;

// Indexed files in stored order, each with the modules its import records name.
using Files = std::vector<std::pair<std::string, std::vector<std::string>>>;

Json run_check(const Files& files) {
  TarnelWithFakes t;
  Json contexts = Json::array();
  std::map<std::string, Json> imports;
  for (const auto& [path, modules] : files) {
    contexts.push_back(Json{{"file_path", path}});
    Json records = Json::array();
    for (const std::string& module : modules) records.push_back(Json{{"module", module}});
    imports[path] = records;
  }
  EXPECT_CALL(*t.mocks->store, _load_agent_data("ag", "file_contexts")).WillOnce(Return(snapshot(contexts)));
  if (!files.empty()) {
    EXPECT_CALL(*t.mocks->store, get_file_imports("ag", _))
        .Times(static_cast<int>(files.size()))
        .WillRepeatedly(Invoke([&](const std::string&, const std::string& path) { return imports[path]; }));
  }
  return t.tarnel.circular_dependency_check("ag");
}

// The search written the obvious recursive way, to check the real one against.
class ReferenceSearch {
 public:
  explicit ReferenceSearch(const Files& files) {
    for (const auto& [path, modules] : files) {
      std::string node(file_stem(path));
      if (!graph_.count(node)) order_.push_back(node);
      std::vector<std::string> neighbours;
      for (const std::string& module : modules) neighbours.push_back(module.substr(0, module.find('.')));
      graph_[node] = neighbours;
    }
    for (const std::string& node : order_) {
      if (visited_.count(node)) continue;
      std::set<std::string> stack;
      std::vector<std::string> path;
      find_cycles(node, stack, path);
    }
  }

  Json cycles() const { return cycles_; }
  std::size_t module_count() const { return order_.size(); }

 private:
  void find_cycles(const std::string& node, std::set<std::string>& stack,
                   std::vector<std::string>& path) {
    visited_.insert(node);
    stack.insert(node);
    path.push_back(node);
    auto it = graph_.find(node);
    if (it != graph_.end()) {
      for (const std::string& next : it->second) {
        if (!visited_.count(next)) {
          find_cycles(next, stack, path);
        } else if (stack.count(next)) {
          Json cycle(std::vector<std::string>(std::find(path.begin(), path.end(), next), path.end()));
          cycle.push_back(next);
          cycles_.push_back(cycle);
        }
      }
    }
    stack.erase(node);
    path.pop_back();
  }

  std::vector<std::string> order_;
  std::map<std::string, std::vector<std::string>> graph_;
  std::set<std::string> visited_;
  Json cycles_ = Json::array();
};

TEST(CircularDependencies, FindsTheCyclesTheSearchMeets) {
  struct Case {
    const char* name;
    Files files;
    const char* expected;
  };
  const Case cases[] = {
      {"no files", {}, R"({"has_circular_deps": false, "cycles_found": [], "graph_type": "DAG", "module_count": 0})"},
      {"mutual imports", {{"src/a.py", {"b"}}, {"src/b.py", {"a"}}},
       R"({"has_circular_deps": true, "cycles_found": [["a", "b", "a"]], "graph_type": "DCG", "module_count": 2})"},
      {"dotted import goes to the package", {{"a.py", {"pkg.b"}}, {"b.py", {"a"}}},
       R"({"has_circular_deps": false, "cycles_found": [], "graph_type": "DAG", "module_count": 2})"},
      {"entry from outside the ring", {{"a.py", {"b"}}, {"b.py", {"c"}}, {"c.py", {"a"}}, {"d.py", {"a"}}},
       R"({"has_circular_deps": true, "cycles_found": [["a", "b", "c", "a"]], "graph_type": "DCG", "module_count": 4})"},
      {"same stem: the later file's imports count", {{"x/a.py", {"b"}}, {"b.py", {}}, {"y/a.py", {}}},
       R"({"has_circular_deps": false, "cycles_found": [], "graph_type": "DAG", "module_count": 2})"},
      {"self import", {{"x.py", {"x"}}},
       R"({"has_circular_deps": true, "cycles_found": [["x", "x"]], "graph_type": "DCG", "module_count": 1})"},
      {"repeated import repeats the cycle", {{"a.py", {"b"}}, {"b.py", {"a", "a"}}},
       R"({"has_circular_deps": true, "cycles_found": [["a", "b", "a"], ["a", "b", "a"]], "graph_type": "DCG", "module_count": 2})"},
      {"outside modules are leaves", {{"a.py", {"os", "b.c"}}, {"b.py", {"os.path"}}},
       R"({"has_circular_deps": false, "cycles_found": [], "graph_type": "DAG", "module_count": 2})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dump_json(run_check(c.files)), c.expected) << c.name;
  }
}

TEST(CircularDependencies, AsksForImportsOncePerContextByTheStoredPath) {
  TarnelWithFakes t;
  InSequence order;
  EXPECT_CALL(*t.mocks->store, _load_agent_data("ag", "file_contexts"))
      .WillOnce(Return(snapshot(Json::parse(R"([{"file_path": "./src//a.py"}, {}, {"file_path": "a.py"}])"))));
  EXPECT_CALL(*t.mocks->store, get_file_imports("ag", "./src//a.py")).WillOnce(Return(Json::array()));
  EXPECT_CALL(*t.mocks->store, get_file_imports("ag", "")).WillOnce(Return(Json::array()));
  EXPECT_CALL(*t.mocks->store, get_file_imports("ag", "a.py")).WillOnce(Return(Json::array()));
  EXPECT_EQ(t.tarnel.circular_dependency_check("ag")["module_count"], 2);
}

TEST(CircularDependencies, ALongImportChainNeitherOverflowsNorChangesTheCycle) {
  constexpr int kModules = 100000;
  Files files;
  for (int i = 0; i < kModules; ++i) {
    files.push_back({"pkg/m" + std::to_string(i) + ".py", {"m" + std::to_string((i + 1) % kModules)}});
  }
  Json closed = run_check(files);
  ASSERT_EQ(closed["cycles_found"].size(), 1u);
  const Json& cycle = closed["cycles_found"][0];
  ASSERT_EQ(cycle.size(), static_cast<std::size_t>(kModules) + 1);
  EXPECT_EQ(cycle[0], "m0");
  EXPECT_EQ(cycle[kModules - 1], "m" + std::to_string(kModules - 1));
  EXPECT_EQ(cycle[kModules], "m0");
  EXPECT_EQ(closed["module_count"], kModules);

  files.back().second = {"end"};
  Json open = run_check(files);
  EXPECT_EQ(open["graph_type"], "DAG");
  EXPECT_EQ(open["cycles_found"], Json::array());
}

TEST(CircularDependencies, AgreesWithTheRecursiveSearchOnRandomGraphs) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 300; ++round) {
    int modules = 1 + static_cast<int>(random() % 40);
    int files = 1 + static_cast<int>(random() % (modules + 10));
    Files graph;
    for (int f = 0; f < files; ++f) {
      // Stems repeat across folders; imports mix indexed stems, dotted names and outside ones.
      std::string path = "d" + std::to_string(random() % 3) + "/m" + std::to_string(random() % modules) + ".py";
      std::vector<std::string> imports;
      int count = static_cast<int>(random() % 5);
      for (int k = 0; k < count; ++k) {
        std::string target = "m" + std::to_string(random() % modules);
        switch (random() % 6) {
          case 0: imports.push_back(target + ".sub"); break;
          case 1: imports.push_back("ext" + std::to_string(random() % 3) + "." + target); break;
          default: imports.push_back(target);
        }
      }
      graph.push_back({path, imports});
    }
    ReferenceSearch reference(graph);
    Json result = run_check(graph);
    ASSERT_EQ(result["cycles_found"], reference.cycles()) << "round " << round;
    ASSERT_EQ(result["module_count"], reference.module_count()) << "round " << round;
    ASSERT_EQ(result["has_circular_deps"], !reference.cycles().empty());
  }
}

TEST(CircularDependencies, ImportRecordsOfTheWrongShapeFailTheCall) {
  struct Case {
    const char* records;
    const char* kind;
    const char* message;
  };
  const Case cases[] = {
      {R"([{"name": "b"}])", "KeyError", "'module'"},
      {R"([{"module": 3}])", "TypeError", "'module' must be a string, not int"},
      {R"(["b"])", "TypeError", "import record must be a dict, not str"},
      {R"({"module": "b"})", "TypeError", "get_file_imports must answer a list, not dict"},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, _load_agent_data(_, _))
        .WillOnce(Return(snapshot(Json::parse(R"([{"file_path": "a.py"}])"))));
    EXPECT_CALL(*t.mocks->store, get_file_imports(_, _)).WillOnce(Return(Json::parse(c.records)));
    testing::expect_error([&] { t.tarnel.circular_dependency_check("ag"); }, c.kind, c.message,
                          c.records);
  }
}

}  // namespace
}  // namespace vantory
