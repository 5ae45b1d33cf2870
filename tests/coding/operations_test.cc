#include "coding/operations.h"

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::Eq;
using ::testing::Return;
using testing::TarnelWithFakes;

// The table as text: "name(arg: type = default, ...)", one line per operation.
std::string signature(const OperationInfo& info) {
  std::string text = info.name + "(";
  for (std::size_t i = 0; i < info.arguments.size(); ++i) {
    const OperationArgument& a = info.arguments[i];
    text += (i ? ", " : "") + a.name + ": " + a.type;
    if (!a.required) text += " = " + dump_json(a.default_value);
  }
  return text + ")";
}

TEST(OperationsTest, TableDescribesEveryPublicOperation) {
  std::vector<std::string> names;
  for (const OperationInfo& info : tarnel_operations()) {
    names.push_back(info.name);
    EXPECT_FALSE(info.description.empty()) << info.name;
    EXPECT_EQ(find_operation(info.name), &info);
  }
  EXPECT_EQ(names, (std::vector<std::string>{
                       "list_directory", "get_token_savings", "dependency_graph", "delta_update",
                       "cache_stats", "invalidate_cache", "summarize_context", "create_snapshot",
                       "compare_snapshots", "usage_report", "performance_profile",
                       "usage_analysis", "circular_dependency_check", "index_file",
                       "reindex_file", "search_codebase", "remove_index", "list_indexed_files",
                       "create_mem", "get_mem", "update_mem", "delete_mem", "list_mems"}));
  EXPECT_EQ(find_operation("_ingest_file"), nullptr);
  EXPECT_EQ(signature(*find_operation("search_codebase")),
            "search_codebase(agent_id: string, query: string, top_k: integer = 5, file_paths: "
            "array|null = null, trace_calls: boolean = false, group_by: string|null = null)");
  EXPECT_EQ(signature(*find_operation("invalidate_cache")),
            "invalidate_cache(agent_id: string, file_path: string|null = null, scope: string = "
            "\"file\")");
  EXPECT_EQ(signature(*find_operation("dependency_graph")),
            "dependency_graph(agent_id: string, file_paths: array, depth: integer = 1)");
}

TEST(OperationsTest, CallsFillDefaultsAndAnswerJson) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, list_code_mems("a", 50, 0)).WillOnce(Return(Json{{"total", 0}}));
  EXPECT_EQ(call_operation(t.tarnel, "list_mems", Json{{"agent_id", "a"}}), (Json{{"total", 0}}));

  // A whole number stands for an integer, as it does for every tool of the programs.
  EXPECT_CALL(*t.mocks->store, list_code_mems("a", 2, 4)).WillOnce(Return(Json{{"total", 9}}));
  EXPECT_EQ(call_operation(t.tarnel, "list_indexed_files",
                           Json{{"offset", 4}, {"agent_id", "a"}, {"limit", 2.0}}),
            (Json{{"total", 9}}));

  EXPECT_CALL(*t.mocks->store, delete_code_mem("a", "x.py")).WillOnce(Return(true));
  Json removed =
      call_operation(t.tarnel, "delete_mem", Json{{"agent_id", "a"}, {"file_path", "x.py"}});
  EXPECT_TRUE(removed.is_boolean());
  EXPECT_TRUE(removed.get<bool>());

  const Json filter = Json{"src/a.py"};
  EXPECT_CALL(*t.mocks->retriever, search("a", "q", 3, Eq(filter)))
      .WillOnce(Return(Json{{"results", Json::array()}}));
  EXPECT_EQ(dump_json(call_operation(t.tarnel, "search_codebase",
                                     Json{{"agent_id", "a"},
                                          {"query", "q"},
                                          {"top_k", 3},
                                          {"file_paths", filter},
                                          {"trace_calls", true},
                                          {"group_by", nullptr}})),
            R"({"results": [], "call_chain": []})");

  EXPECT_EQ(call_operation(t.tarnel, "invalidate_cache", Json{{"agent_id", "a"}})["message"],
            "Scope 'file' requires a file_path.");

  EXPECT_CALL(*t.mocks->chunking, detect_language("f.py")).WillOnce(Return("python"));
  EXPECT_CALL(*t.mocks->builder, process_file_chunks("a", "f.py", Eq(Json::array()), "python"))
      .WillOnce(Return(Json{{"status", "ok"}}));
  const Json update = {{"agent_id", "a"}, {"file_path", "f.py"}, {"chunks", Json::array()}};
  EXPECT_EQ(call_operation(t.tarnel, "update_mem", update),
            (Json{{"status", "ok"}}));

  EXPECT_EQ(call_operation(t.tarnel, "performance_profile", Json{{"agent_id", "a"}})["status"],
            "ok");
}

TEST(OperationsTest, BadCallsAreRefusedBeforeAnythingRuns) {
  struct Case {
    const char* operation;
    Json arguments;
    std::string message;
  };
  const Case cases[] = {
      {"list_mems", Json::array({"a"}), "list_mems() arguments must be an object, not array"},
      {"list_mems", Json(), "list_mems() missing required argument 'agent_id'"},
      {"list_mems", Json{{"agent_id", "a"}, {"page", 1}},
       "list_mems() got an unexpected argument 'page'"},
      {"list_mems", Json{{"agent_id", nullptr}},
       "list_mems() argument 'agent_id' must be string, not null"},
      {"list_mems", Json{{"agent_id", "a"}, {"limit", "50"}},
       "list_mems() argument 'limit' must be integer, not string"},
      {"list_mems", Json{{"agent_id", "a"}, {"limit", 5.5}},
       "list_mems() argument 'limit' must be integer, not number"},
      {"list_mems", Json{{"agent_id", "a"}, {"offset", 18446744073709551615ull}},
       "list_mems() argument 'offset' must be integer, not integer beyond 64 bits"},
      {"search_codebase", Json{{"agent_id", "a"}, {"query", "q"}, {"trace_calls", 1}},
       "search_codebase() argument 'trace_calls' must be boolean, not integer"},
      {"search_codebase", Json{{"agent_id", "a"}, {"query", "q"}, {"file_paths", "src"}},
       "search_codebase() argument 'file_paths' must be array of strings or null, not string"},
      {"index_file", Json{{"agent_id", "a"}, {"file_path", "f"}, {"chunks", Json::object()}},
       "index_file() argument 'chunks' must be array of objects or null, not object"},
      {"invalidate_cache", Json{{"agent_id", "a"}, {"file_path", 3}},
       "invalidate_cache() argument 'file_path' must be string or null, not integer"},
      {"dependency_graph", Json{{"agent_id", "a"}, {"file_paths", nullptr}},
       "dependency_graph() argument 'file_paths' must be array of strings, not null"},
  };
  TarnelWithFakes t;  // strict mocks: any component call fails the test
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation + (" " + dump_json(c.arguments)));
    try {
      call_operation(t.tarnel, c.operation, c.arguments);
      ADD_FAILURE() << "no TypeError";
    } catch (const TypeError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  EXPECT_THROW(call_operation(t.tarnel, "_ingest_file", Json{{"agent_id", "a"}}), ValueError);
  EXPECT_THROW(call_operation(t.tarnel, "", Json()), ValueError);
  EXPECT_EQ(t.mocks->chunking_binds, 0);
}

}  // namespace
}  // namespace vantory
