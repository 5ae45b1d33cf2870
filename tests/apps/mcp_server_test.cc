#include "apps/mcp/mcp_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <set>

#include "common/json_text.h"
#include "tests/apps/host_fixture.h"

namespace vantory::mcp {
namespace {

class McpServerTest : public testing::HostTest {
 protected:
  explicit McpServerTest(std::string tools = "all")
      : HostTest(std::move(tools)),
        scheduler_(2, kMaxWaitingCalls),
        server_(*host_, scheduler_, [this](const std::string& line, const Json&, bool) {
          EXPECT_EQ(line.find('\n'), line.size() - 1) << "one message per line";
          std::lock_guard<std::mutex> lock(out_mutex_);
          out_.push_back(parse_json(std::string_view(line).substr(0, line.size() - 1)));
          return writable_;
        }) {}

  // Sends one line and answers everything the server wrote for it, once its calls ended.
  std::vector<Json> exchange(const std::string& line) {
    out_.clear();
    server_.handle_line(line);
    server_.finish();
    return out_;
  }

  // The response to one request.
  Json request(const std::string& method, const Json& params, int id = 1) {
    Json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
    if (!params.is_null()) message["params"] = params;
    std::vector<Json> answers = exchange(dump_json(message));
    EXPECT_FALSE(answers.empty());
    return answers.empty() ? Json() : answers.back();
  }

  Json call(const std::string& tool, const Json& arguments) {
    return request("tools/call", {{"name", tool}, {"arguments", arguments}})["result"];
  }

  std::mutex out_mutex_;
  std::vector<Json> out_;
  bool writable_ = true;
  CallScheduler scheduler_;
  McpServer server_;
};

TEST_F(McpServerTest, InitializeNegotiatesAndNotificationsStaySilent) {
  Json answer = request("initialize", {{"protocolVersion", "2025-03-26"},
                                       {"capabilities", Json::object()},
                                       {"clientInfo", {{"name", "t"}, {"version", "1"}}}});
  EXPECT_EQ(answer["id"], 1);
  EXPECT_EQ(answer["result"]["protocolVersion"], "2025-03-26");
  EXPECT_EQ(answer["result"]["serverInfo"]["name"], "vantory-mcp");
  EXPECT_TRUE(answer["result"]["capabilities"].contains("tools"));
  EXPECT_EQ(server_.protocol_version(), "2025-03-26");

  EXPECT_TRUE(exchange(R"({"jsonrpc":"2.0","method":"notifications/initialized"})").empty());
  EXPECT_TRUE(
      exchange(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{}})").empty());
  EXPECT_TRUE(exchange(R"({"jsonrpc":"2.0","id":9,"result":{}})").empty());
  EXPECT_TRUE(exchange("   ").empty());
  EXPECT_EQ(request("ping", nullptr, 2),
            Json({{"jsonrpc", "2.0"}, {"id", 2}, {"result", Json::object()}}));
}

TEST_F(McpServerTest, ListsEveryToolWithAnObjectSchema) {
  Json tools = request("tools/list", Json::object())["result"]["tools"];
  std::set<std::string> names;
  for (const Json& tool : tools) {
    names.insert(tool["name"].get<std::string>());
    EXPECT_FALSE(tool["description"].get<std::string>().empty()) << tool["name"];
    EXPECT_EQ(tool["inputSchema"]["type"], "object") << tool["name"];
  }
  for (const char* name : {"list_directory",
                           "get_token_savings",
                           "dependency_graph",
                           "delta_update",
                           "cache_stats",
                           "invalidate_cache",
                           "summarize_context",
                           "create_snapshot",
                           "compare_snapshots",
                           "usage_report",
                           "performance_profile",
                           "usage_analysis",
                           "circular_dependency_check",
                           "index_file",
                           "reindex_file",
                           "search_codebase",
                           "remove_index",
                           "list_indexed_files",
                           "create_mem",
                           "get_mem",
                           "update_mem",
                           "delete_mem",
                           "list_mems",
                           "add_vector",
                           "add_vectors_batch",
                           "get_vector",
                           "delete_vector",
                           "clear_vectors",
                           "get_stats",
                           "semantic_search",
                           "keyword_search",
                           "hybrid_search",
                           "index_directory",
                           "memory_add",
                           "memory_update",
                           "memory_search",
                           "memory_list",
                           "memory_delete"}) {
    EXPECT_TRUE(names.count(name)) << name;
  }
  EXPECT_EQ(names.size(), tools.size()) << "tool names are unique";
}

// The list an agent pays for in every conversation.
class DefaultToolListTest : public McpServerTest {
 protected:
  DefaultToolListTest() : McpServerTest("") {}
};

TEST_F(DefaultToolListTest, ListsTheToolsAnAgentNeedsWithinItsBudgetAndStillRunsTheRest) {
  Json listed = request("tools/list", Json::object())["result"];
  std::size_t bytes = dump_json(listed).size();
  EXPECT_LE(bytes / 4, 2500u) << bytes << " bytes, at four bytes a token";
  std::set<std::string> names;
  for (const Json& tool : listed["tools"]) names.insert(tool["name"].get<std::string>());
  EXPECT_EQ(names,
            (std::set<std::string>{
                "index_directory", "search_codebase", "summarize_context", "list_indexed_files",
                "dependency_graph", "circular_dependency_check", "usage_analysis", "memory_add",
                "memory_update", "memory_search", "memory_list", "memory_delete"}));
  Json unlisted = call("list_mems", Json::object());
  EXPECT_EQ(unlisted["isError"], false) << unlisted;
}

TEST_F(McpServerTest, AnswersProtocolErrorsAndGoesOnServing) {
  struct Case {
    std::string line;
    int code;
    Json id;
  };
  const Case cases[] = {
      {"{oops", kParseError, nullptr},
      {R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})", kMethodNotFound, 1},
      {R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"no_such_tool"}})",
       kInvalidParams, 2},
      {R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{}})", kInvalidParams, 3},
      {R"({"jsonrpc":"2.0","id":4,"method":"tools/call",)"
       R"("params":{"name":"get_stats","arguments":[1]}})",
       kInvalidParams, 4},
      {R"({"jsonrpc":"2.0","id":5,"method":"initialize","params":[1]})", kInvalidParams, 5},
      {R"({"jsonrpc":"2.0","id":6,"method":7})", kInvalidRequest, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<Json> answers = exchange(c.line);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]["id"], c.id);
    EXPECT_EQ(answers[0]["error"]["code"], c.code);
  }
  EXPECT_TRUE(request("ping", nullptr).contains("result"));
}

TEST_F(McpServerTest, RefusesArgumentsOfTheWrongKindAsToolErrors) {
  struct Case {
    const char* tool;
    Json arguments;
    const char* text;
  };
  const Case cases[] = {
      {"search_codebase",
       {{"query", "x"}, {"top_k", "5"}},
       "TypeError: search_codebase() argument 'top_k' must be integer, not string"},
      {"dependency_graph",
       {{"file_paths", "a.py"}},
       "TypeError: dependency_graph() argument 'file_paths' must be array of strings, not string"},
      {"hybrid_search",
       {{"query", "x"}, {"memories", {1}}},
       "TypeError: hybrid_search() argument 'memories' must be array of objects, not array "
       "holding integer at index 0"},
      {"memory_add", Json::object(), "TypeError: memory_add() missing required argument 'content'"},
      {"list_mems", {{"agent", "x"}}, "TypeError: list_mems() got an unexpected argument 'agent'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool);
    Json result = call(c.tool, c.arguments);
    EXPECT_EQ(result["isError"], true);
    EXPECT_EQ(result["content"][0]["text"], c.text);
  }
}

TEST_F(McpServerTest, AnswersAsTextAndStructuredContent) {
  testing::write_text(dir_ / "src/app.py",
                      "def save_user(user):\n    return db.insert(user)\n\n"
                      "def load_user(uid):\n    return db.get(uid)\n");
  out_.clear();
  server_.handle_line(dump_json({{"jsonrpc", "2.0"},
                                 {"id", 1},
                                 {"method", "tools/call"},
                                 {"params",
                                  {{"name", "index_directory"},
                                   {"arguments", {{"directory", dir_ / "src"}}},
                                   {"_meta", {{"progressToken", "tok"}}}}}}));
  server_.finish();
  ASSERT_GE(out_.size(), 2u);
  std::int64_t last = -1;
  for (std::size_t i = 0; i + 1 < out_.size(); ++i) {
    EXPECT_EQ(out_[i]["method"], "notifications/progress");
    EXPECT_EQ(out_[i]["params"]["progressToken"], "tok");
    EXPECT_GT(out_[i]["params"]["progress"].get<std::int64_t>(), last);
    last = out_[i]["params"]["progress"].get<std::int64_t>();
  }
  Json result = out_.back()["result"];
  EXPECT_EQ(result["isError"], false);
  EXPECT_EQ(result["structuredContent"]["indexed"], 1);
  EXPECT_EQ(parse_json(result["content"][0]["text"].get<std::string>()),
            result["structuredContent"]);

  Json search = call("search_codebase", {{"query", "save user"}, {"top_k", 1}});
  EXPECT_EQ(search["structuredContent"]["results"][0]["chunk"]["name"], "save_user");

  // Non-object answers come as text only: a boolean, an array, a vector.
  Json removed = call("remove_index", {{"file_path", dir_ / "src/app.py"}});
  EXPECT_EQ(removed["content"][0]["text"], "true");
  EXPECT_FALSE(removed.contains("structuredContent"));
  Json ranked =
      call("keyword_search", {{"query", "deploy server"},
                              {"memories", {{{"id", "m"}, {"content", "deploy the server"}}}}});
  EXPECT_EQ(parse_json(ranked["content"][0]["text"].get<std::string>())[0]["id"], "m");
  ASSERT_EQ(call("add_vector", {{"entry_id", "e"}, {"text", "hello"}})["isError"], false);
  Json vector =
      parse_json(call("get_vector", {{"entry_id", "e"}})["content"][0]["text"].get<std::string>());
  ASSERT_TRUE(vector.is_array());
  EXPECT_EQ(vector.size(), service_.dimension());
}

TEST_F(McpServerTest, ReportsFailuresOfATool) {
  testing::write_text(dir_ / "data/agents/tester/memories.json", "{not json");
  Json result = call("memory_search", {{"query", "x"}});
  EXPECT_EQ(result["isError"], true);
  EXPECT_EQ(
      result["content"][0]["text"].get<std::string>().rfind("ValueError: the memories file", 0), 0u)
      << result;
  EXPECT_TRUE(request("ping", nullptr).contains("result"));
}

TEST_F(McpServerTest, ConfinesPathsToTheRootsTheClientOffers) {
  testing::write_text(dir_ / "mine/a.py", "def a():\n    return 1\n");
  testing::write_text(dir_ / "other/b.py", "def b():\n    return 2\n");
  std::filesystem::create_symlink(dir_ / "other/b.py", dir_ / "mine/link.py");
  request("initialize", {{"protocolVersion", "2025-06-18"},
                         {"capabilities", {{"roots", {{"listChanged", true}}}}},
                         {"clientInfo", {{"name", "t"}, {"version", "1"}}}});
  auto roots_request = [this] {
    std::vector<Json> sent = exchange(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent.at(0)["method"], "roots/list");
    return sent.at(0)["id"];
  };
  Json asked = roots_request();
  exchange(dump_json(
      {{"jsonrpc", "2.0"},
       {"id", asked},
       {"result",
        {{"roots",
          {{{"uri", "file://" + dir_ / "mine"}}, {{"uri", "https://example.org/repo"}}}}}}}));
  const std::string refused = "PermissionError: '" + dir_ / "other/b.py" +
                              "' is outside the allowed roots: " + dir_ / "mine";
  EXPECT_EQ(call("index_file", {{"file_path", dir_ / "mine/a.py"}})["isError"], false);
  EXPECT_EQ(call("index_file", {{"file_path", dir_ / "other/b.py"}})["content"][0]["text"],
            refused);
  EXPECT_EQ(call("dependency_graph",
                 {{"file_paths", {dir_ / "mine/a.py", dir_ / "other/b.py"}}})["content"][0]["text"],
            refused);
  EXPECT_EQ(call("index_directory", {{"directory", dir_ / "mine/link.py"}})["isError"], true);

  // A changed list is asked for again; an error answer leaves the host's roots in force.
  std::vector<Json> sent =
      exchange(R"({"jsonrpc":"2.0","method":"notifications/roots/list_changed"})");
  ASSERT_EQ(sent.size(), 1u);
  exchange(dump_json({{"jsonrpc", "2.0"},
                      {"id", sent[0]["id"]},
                      {"error", {{"code", -32601}, {"message", "no roots"}}}}));
  EXPECT_EQ(server_.roots()->roots(), std::vector<std::string>{dir_.path()});
  EXPECT_EQ(call("index_file", {{"file_path", dir_ / "other/b.py"}})["isError"], false);
}

TEST(FileUriPath, DecodesLocalFilesOnly) {
  EXPECT_EQ(file_uri_path("file:///home/a%20b/c"), "/home/a b/c");
  EXPECT_EQ(file_uri_path("file://localhost/srv"), "/srv");
  EXPECT_EQ(file_uri_path("file://other-host/srv"), "");
  EXPECT_EQ(file_uri_path("file:///a%00b"), "");
  EXPECT_EQ(file_uri_path("file:///a%2"), "");
  EXPECT_EQ(file_uri_path("http://x/y"), "");
}

TEST_F(McpServerTest, StopsWhenOutputFails) {
  writable_ = false;
  EXPECT_FALSE(server_.handle_line(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"));
  EXPECT_FALSE(server_.handle_line(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"));
  EXPECT_EQ(out_.size(), 1u) << "nothing is written after the first failure";
}

}  // namespace
}  // namespace vantory::mcp
