#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/analysis/expect_error.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Return;
using testing::snapshot;
using testing::TarnelWithFakes;

Json parse(const char* text) { return Json::parse(text); }

// lib/util.py as stored, a caller of it, and the same file kept a second time under an
// unnormalised path.
const char* kContexts = R"j([
  {"file_path": "lib/util.py", "external_imports": ["requests", "numpy", "requests"], "chunks": [
    {"name": "run", "type": "function", "start_line": 3,
     "calls": [{"target": "helper", "line": 4, "signature": "helper(x)"}]},
    {"name": "helper", "type": "function", "start_line": 10, "calls": [],
     "content": "def helper(x):\n    self.store.save(x)\n    self.größe.prüfen (x)\n    self.a.b.c()\n"},
    {"name": "Cache.get", "type": "method", "start_line": 20},
    {"name": "orphan", "type": "function", "start_line": 30, "calls": [{"target": "self.get"}]},
    {"name": "Config", "type": "class", "start_line": 40, "content": "self.a.b()"},
    {"name": "main", "type": "function", "start_line": 50}]},
  {"file_path": "app/main.py", "chunks": [
    {"name": "main", "type": "function", "calls": [
      {"target": "util.run", "line": 7}, {"target": "utility.run", "line": 8},
      {"target": "util", "line": 9}, {"line": 10}]}]},
  {"file_path": "./lib/util.py", "chunks": [
    {"name": "selfref", "calls": [{"target": "util.orphan", "line": 2}]}]}
])j";

TEST(DependencyGraph, ReportsEveryMemberInOrder) {
  TarnelWithFakes t;
  {
    InSequence order;
    EXPECT_CALL(*t.mocks->store, _load_agent_data("ag", "file_contexts"))
        .WillOnce(Return(snapshot(parse(kContexts))));
    EXPECT_CALL(*t.mocks->store, get_file_imports("ag", "lib/util.py"))
        .WillOnce(Return(parse(R"j([{"module": "os.path"}, {"name": "x"}, {"module": "pkg.helpers"}])j")));
    EXPECT_CALL(*t.mocks->store, find_importers("ag", "util"))
        .WillOnce(Return(parse(R"j([{"file_path": "app/main.py", "line": 1}])j")));
  }
  Json result = t.tarnel.dependency_graph("ag", parse(R"j(["./lib//util.py"])j"));
  EXPECT_EQ(dump_json(result),
            R"j({"status": "ok", "results": {"./lib//util.py": {"status": "ok", "file": "util.py", )j"
            R"j("file_path": "lib/util.py", "imports": ["os.path", "pkg.helpers"], )j"
            R"j("imported_by": ["app/main.py"], "calls_to": [)j"
            R"j({"target": "helper", "from": "run", "line": 4, "signature": "helper(x)", )j"
            R"j("parameters_passed": "", "return_used_as": ""}, )j"
            R"j({"target": "store.save", "from": "helper", "line": 10, "signature": "", )j"
            R"j("parameters_passed": "", "return_used_as": ""}, )j"
            R"j({"target": "gr\u00f6\u00dfe.pr\u00fcfen", "from": "helper", "line": 10, "signature": "", )j"
            R"j("parameters_passed": "", "return_used_as": ""}, )j"
            R"j({"target": "self.get", "from": "orphan", "line": 0, "signature": "", )j"
            R"j("parameters_passed": "", "return_used_as": ""}], )j"
            R"j("called_by": [{"caller": "main", "caller_file": "main.py", "line": 7}, )j"
            R"j({"caller": "main", "caller_file": "main.py", "line": 9}, )j"
            R"j({"caller": "selfref", "caller_file": "util.py", "line": 2}], )j"
            R"j("external_packages": {"requests": {"version": "unknown", "installed": true}, )j"
            R"j("numpy": {"version": "unknown", "installed": true}}, )j"
            R"j("unused_functions": [{"function": "orphan", "line": 30, "reason": "no_external_callers"}, )j"
            R"j({"function": "main", "line": 50, "reason": "no_external_callers"}], )j"
            R"j("graph_summary": "util.py depends on 2 modules and is used by 1 modules"}}})j");
}

TEST(DependencyGraph, LimitsTheCallToTenPaths) {
  TarnelWithFakes t;
  Json eleven = Json::array();
  for (int i = 0; i < 11; ++i) eleven.push_back("f" + std::to_string(i) + ".py");
  EXPECT_EQ(dump_json(t.tarnel.dependency_graph("ag", eleven)),
            R"j({"status": "error", "message": "Too many file paths. Please limit to 10 files per call."})j");

  Json ten = eleven;
  ten.erase(ten.size() - 1);
  EXPECT_CALL(*t.mocks->store, _load_agent_data("ag", "file_contexts"))
      .Times(2)
      .WillRepeatedly(Return(snapshot(Json::array())));
  EXPECT_CALL(*t.mocks->store, get_file_imports("ag", _)).Times(10).WillRepeatedly(Return(Json::array()));
  EXPECT_CALL(*t.mocks->store, find_importers("ag", _)).Times(10).WillRepeatedly(Return(Json::array()));
  Json result = t.tarnel.dependency_graph("ag", ten);
  EXPECT_EQ(result["results"].size(), 10u);
  EXPECT_EQ(dump_json(result["results"]["f9.py"]),
            R"j({"status": "ok", "file": "f9.py", "file_path": "f9.py", "imports": [], )j"
            R"j("imported_by": [], "calls_to": [], "called_by": [], "external_packages": {}, )j"
            R"j("unused_functions": [], "graph_summary": "f9.py depends on 0 modules and is used by 0 modules"})j");
  EXPECT_EQ(dump_json(t.tarnel.dependency_graph("ag", Json::array())),
            R"j({"status": "ok", "results": {}})j");
}

TEST(DependencyGraph, KeysMembersByThePathAsPassedAndKeepsTheLastAnalysis) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, _load_agent_data(_, _))
      .WillOnce(Return(snapshot(parse(R"j([{"file_path": "src/a.py"}])j"))));
  {
    InSequence order;
    for (const char* module : {"one", "two", "three"}) {
      EXPECT_CALL(*t.mocks->store, get_file_imports("ag", "src/a.py"))
          .WillOnce(Return(Json::array({Json{{"module", module}}})));
      EXPECT_CALL(*t.mocks->store, find_importers("ag", "a")).WillOnce(Return(Json::array()));
    }
  }
  Json results =
      t.tarnel.dependency_graph("ag", parse(R"j(["./src//a.py", "src/a.py", "./src//a.py"])j"))["results"];
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results.begin().key(), "./src//a.py");
  EXPECT_EQ(results["./src//a.py"]["imports"], parse(R"j(["three"])j"));
  EXPECT_EQ(results["src/a.py"]["imports"], parse(R"j(["two"])j"));
  EXPECT_EQ(results["./src//a.py"]["file_path"], "src/a.py");
  EXPECT_EQ(results["src/a.py"]["file_path"], "src/a.py");
}

TEST(DependencyGraph, FollowsImportsOneLevelOnlyWhenDepthExceedsOne) {
  const char* contexts =
      R"j([{"file_path": "src/a.py"}, {"file_path": "other/b.py"}, {"file_path": "src/b.py"}])j";
  struct Case {
    std::int64_t depth;
    bool transitive;
  };
  for (Case c : {Case{0, false}, Case{1, false}, Case{2, true}, Case{5, true}}) {
    TarnelWithFakes t;
    InSequence order;
    EXPECT_CALL(*t.mocks->store, _load_agent_data(_, _)).WillOnce(Return(snapshot(parse(contexts))));
    EXPECT_CALL(*t.mocks->store, get_file_imports("ag", "src/a.py"))
        .WillOnce(Return(parse(R"j([{"module": "pkg.b"}, {"module": "zzz"}, {"module": "b"}])j")));
    EXPECT_CALL(*t.mocks->store, find_importers("ag", "a")).WillOnce(Return(Json::array()));
    if (c.transitive) {
      EXPECT_CALL(*t.mocks->store, get_file_imports("ag", "other/b.py"))
          .WillOnce(Return(parse(R"j([{"module": "os"}, {"alias": "x"}])j")))
          .WillOnce(Return(parse(R"j([{"module": "sys"}])j")));
    }
    EXPECT_CALL(*t.mocks->store, get_file_imports("ag", "x/c.py"))
        .WillOnce(Return(parse(R"j([{"module": "nowhere"}])j")));
    EXPECT_CALL(*t.mocks->store, find_importers("ag", "c")).WillOnce(Return(Json::array()));

    Json results = t.tarnel.dependency_graph("ag", parse(R"j(["src/a.py", "x/c.py"])j"), c.depth)["results"];
    EXPECT_FALSE(results["x/c.py"].contains("transitive_imports")) << c.depth;
    if (c.transitive) {
      EXPECT_EQ(dump_json(results["src/a.py"]["transitive_imports"]),
                R"j([{"via": "b", "module": "os"}, {"via": "b", "module": "sys"}])j");
      EXPECT_EQ(results["src/a.py"].back(), results["src/a.py"]["transitive_imports"]);
    } else {
      EXPECT_FALSE(results["src/a.py"].contains("transitive_imports")) << c.depth;
    }
  }
}

TEST(DependencyGraph, AnUnknownFileStillListsItsCallers) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, _load_agent_data(_, _)).WillOnce(Return(snapshot(parse(R"j([
    {"file_path": "a.py", "chunks": [{"name": "f", "calls": [{"target": "ghost.run"}]}]}])j"))));
  EXPECT_CALL(*t.mocks->store, get_file_imports(_, "ghost.py")).WillOnce(Return(Json::array()));
  EXPECT_CALL(*t.mocks->store, find_importers(_, "ghost")).WillOnce(Return(Json::array()));
  Json member = t.tarnel.dependency_graph("ag", parse(R"j(["ghost.py"])j"))["results"]["ghost.py"];
  EXPECT_EQ(dump_json(member["called_by"]), R"j([{"caller": "f", "caller_file": "a.py", "line": 0}])j");
  EXPECT_EQ(member["calls_to"], Json::array());
  EXPECT_EQ(member["external_packages"], Json::object());
  EXPECT_EQ(member["unused_functions"], Json::array());
}

// A function is used when another file calls it by its name or by a dotted name ending in it;
// a unit elsewhere that merely shares its name does not use it.
TEST(DependencyGraph, AFunctionCalledFromAnotherFileIsUsed) {
  struct Case {
    const char* caller_file;
    const char* target;
    bool unused;
  };
  const Case cases[] = {
      {"app.py", "load", false},         {"app.py", "util.load", false},
      {"app.py", "a.b.Store.load", false}, {"app.py", "preload", true},
      {"app.py", "load.x", true},        {"./lib//util.py", "load", true},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;
    Json contexts = parse(R"j([{"file_path": "lib/util.py", "chunks": [
        {"name": "Store.load", "type": "method", "start_line": 4}]},
      {"file_path": "x.py", "chunks": [{"name": "Store.load", "calls": [{"target": "util.x"}]}]}])j");
    contexts.push_back(
        {{"file_path", c.caller_file}, {"chunks", {{{"calls", {{{"target", c.target}}}}}}}});
    EXPECT_CALL(*t.mocks->store, _load_agent_data(_, _)).WillOnce(Return(snapshot(contexts)));
    EXPECT_CALL(*t.mocks->store, get_file_imports(_, _)).WillOnce(Return(Json::array()));
    EXPECT_CALL(*t.mocks->store, find_importers(_, _)).WillOnce(Return(Json::array()));
    Json member =
        t.tarnel.dependency_graph("ag", parse(R"j(["lib/util.py"])j"))["results"]["lib/util.py"];
    EXPECT_EQ(member["unused_functions"].size(), c.unused ? 1u : 0u)
        << c.caller_file << " " << c.target;
  }
}

// Agents supply chunk records: what holds nothing to compare is passed over, and the analysed
// file's own call targets are only copied, never compared as text.
TEST(DependencyGraph, PassesOverRecordsThatHoldNothingToCompare) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, _load_agent_data(_, _)).WillOnce(Return(snapshot(parse(R"j([
    {"file_path": "m.py", "chunks": ["text", 7, {"name": "f", "type": "function", "calls": null,
       "content": "self.db.get()"},
      {"name": "g", "calls": [3, {"target": 5, "line": 2}, {"target": "f"}]}]},
    {"file_path": "o.py", "chunks": [null, {"name": "h", "calls": null},
      {"name": "k", "calls": ["m.g", {"target": "m.g", "line": 9}]}]}])j"))));
  EXPECT_CALL(*t.mocks->store, get_file_imports(_, "m.py"))
      .WillOnce(Return(parse(R"j(["os", 1, {"module": "sys"}])j")));
  EXPECT_CALL(*t.mocks->store, find_importers(_, "m")).WillOnce(Return(Json::array()));
  Json member = t.tarnel.dependency_graph("ag", parse(R"j(["m.py"])j"))["results"]["m.py"];
  EXPECT_EQ(member["imports"], parse(R"j(["sys"])j"));
  EXPECT_EQ(dump_json(member["calls_to"]),
            R"j([{"target": "db.get", "from": "f", "line": 0, "signature": "", )j"
            R"j("parameters_passed": "", "return_used_as": ""}, )j"
            R"j({"target": 5, "from": "g", "line": 2, "signature": "", )j"
            R"j("parameters_passed": "", "return_used_as": ""}, )j"
            R"j({"target": "f", "from": "g", "line": 0, "signature": "", )j"
            R"j("parameters_passed": "", "return_used_as": ""}])j");
  EXPECT_EQ(dump_json(member["called_by"]),
            R"j([{"caller": "k", "caller_file": "o.py", "line": 9}])j");
  EXPECT_EQ(member["unused_functions"], Json::array());
}

TEST(DependencyGraph, BadRecordsFailTheWholeCallNamingTheMember) {
  struct Case {
    const char* name;
    const char* contexts;
    const char* importers;
    const char* kind;
    const char* message;
  };
  const Case cases[] = {
      {"importer without file_path", "[]", R"j([{"path": "x"}])j", "KeyError", "'file_path'"},
      {"target that is not text", R"j([{"file_path": "o.py", "chunks": [{"calls": [{"target": 5}]}]}])j",
       "[]", "TypeError", "'target' must be a string, not int"},
      {"calls that are not a list", R"j([{"file_path": "o.py", "chunks": [{"calls": {}}]}])j", "[]",
       "TypeError", "'calls' must be a list, not dict"},
      {"contexts that are not a list", R"j({"file_path": "m.py"})j", "[]", "TypeError",
       "_load_agent_data must answer a list, not dict"},
      {"a file path that is not text", R"j([{"file_path": null}])j", "[]", "TypeError",
       "'file_path' must be a string, not NoneType"},
      {"content that is not text",
       R"j([{"file_path": "m.py", "chunks": [{"type": "function", "content": 1}]}])j", "[]",
       "TypeError", "'content' must be a string, not int"},
      {"external imports that are not text",
       R"j([{"file_path": "m.py", "external_imports": [1]}])j", "[]", "TypeError",
       "'external_imports' must hold strings, not int"},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, _load_agent_data(_, _)).WillOnce(Return(snapshot(parse(c.contexts))));
    EXPECT_CALL(*t.mocks->store, get_file_imports(_, _))
        .Times(::testing::AtMost(1))
        .WillRepeatedly(Return(Json::array()));
    EXPECT_CALL(*t.mocks->store, find_importers(_, _))
        .Times(::testing::AtMost(1))
        .WillRepeatedly(Return(parse(c.importers)));
    testing::expect_error([&] { t.tarnel.dependency_graph("ag", parse(R"j(["m.py"])j")); }, c.kind,
                          c.message, c.name);
  }
}

TEST(DependencyGraph, RejectsArgumentsOfAnotherKindBeforeAnyStoreAccess) {
  TarnelWithFakes t;
  EXPECT_THROW(t.tarnel.dependency_graph("ag", Json("m.py")), TypeError);
  EXPECT_THROW(t.tarnel.dependency_graph("ag", parse(R"j(["m.py", 3])j")), TypeError);
  EXPECT_THROW(t.tarnel.dependency_graph("ag", Json(nullptr)), TypeError);
}

}  // namespace
}  // namespace vantory
