// vantory-mcp as a client starts it: a child process spoken to over pipes, fed whatever a
// broken or hostile client might send.
#include <gtest/gtest.h>

#include "common/json_text.h"
#include "tests/apps/held_embedding_service.h"
#include "tests/apps/test_support.h"

namespace vantory::testing {
namespace {

std::string request(int id, const std::string& method, const Json& params) {
  return dump_json({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}) + "\n";
}

std::string call(int id, const std::string& tool, const Json& arguments) {
  return request(id, "tools/call", {{"name", tool}, {"arguments", arguments}});
}

// Every line of `out` parsed; a line that is not a JSON-RPC message fails the test.
std::vector<Json> messages_of(const std::string& out) {
  std::vector<Json> messages;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    std::string line = out.substr(start, end - start);
    start = end == std::string::npos ? out.size() : end + 1;
    try {
      Json message = parse_json(line);
      EXPECT_EQ(message["jsonrpc"], "2.0") << line;
      messages.push_back(std::move(message));
    } catch (const std::exception&) {
      ADD_FAILURE() << "not protocol: " << line.substr(0, 200);
    }
  }
  return messages;
}

class McpProcessTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> environment() {
    return {{"VANTORY_CODING_ROOT", dir_ / "coding"},
            {"VANTORY_DATA_ROOT", dir_ / "data"},
            {"REMOTE_EMBEDDING_URL", "http://127.0.0.1:1/gradio_api/call/embed_dense"}};
  }
  TempDir dir_;
};

TEST_F(McpProcessTest, AnswersEveryRequestOfAHostileSessionAndExitsCleanly) {
  std::string huge(8u << 20, 'x');
  std::string input =
      "this is not json\n"
      "\n" +
      request(1, "initialize", {{"protocolVersion", "2099-01-01"}}) +
      "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n" +
      request(2, "no/such/method", Json::object()) + call(3, "no_such_tool", Json::object()) +
      call(4, "search_codebase", {{"query", 12}}) + call(5, "search_codebase", {{"query", huge}}) +
      call(6, "memory_add", {{"content", huge}}) + "[1, 2, 3]\n" + std::string(5000, '[') + "\n" +
      request(7, "ping", Json::object()) + "\r\n";
  RunResult result = run({VANTORY_MCP_BIN}, dir_.path(), environment(), input);
  EXPECT_EQ(result.status, 0) << result.err;

  std::map<Json, Json> responses;
  std::vector<int> null_id_errors;
  for (const Json& message : messages_of(result.out)) {
    if (message["id"].is_null()) {
      null_id_errors.push_back(message["error"]["code"]);
    } else {
      responses[message["id"]] = message;
    }
  }
  EXPECT_EQ(null_id_errors, (std::vector<int>{-32700, -32600, -32700}));
  EXPECT_EQ(responses[1]["result"]["protocolVersion"], "2025-11-25");
  EXPECT_EQ(responses[2]["error"]["code"], -32601);
  EXPECT_EQ(responses[3]["error"]["code"], -32602);
  EXPECT_EQ(responses[4]["result"]["isError"], true);
  EXPECT_EQ(responses[5]["result"]["isError"], false);
  EXPECT_EQ(responses[6]["result"]["structuredContent"]["status"], "ok");
  EXPECT_EQ(responses[7]["result"], Json::object());
}

std::string cancel(int id) {
  return dump_json({{"jsonrpc", "2.0"},
                    {"method", "notifications/cancelled"},
                    {"params", {{"requestId", id}, {"reason", "test"}}}}) +
         "\n";
}

TEST_F(McpProcessTest, ASlowCallHoldsUpNeitherPingNorCancellation) {
  HeldEmbeddingService service;
  auto env = environment();
  env["REMOTE_EMBEDDING_URL"] = service.url();
  Subprocess server({VANTORY_MCP_BIN}, dir_.path(), env);
  server.write(call(1, "memory_add", {{"content", "first"}}));
  service.wait_for_requests(1);
  // 2 waits behind 1 (one agent's notes change one at a time) and is cancelled before it runs;
  // 1 is cancelled while it runs: it finishes, but its answer is not sent.
  server.write(call(2, "memory_add", {{"content", "second"}}) + cancel(2) +
               call(3, "memory_add", {{"content", "third"}}) + cancel(1) +
               request(4, "ping", Json::object()));
  std::string line;
  ASSERT_TRUE(server.read_line(line));
  EXPECT_EQ(parse_json(line), Json({{"jsonrpc", "2.0"}, {"id", 4}, {"result", Json::object()}}));
  service.release();
  server.write(call(5, "memory_list", Json::object()));
  server.close_stdin();
  std::map<Json, Json> answers;
  for (const Json& message : messages_of(server.read_all())) answers[message["id"]] = message;
  EXPECT_EQ(server.wait(), 0);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[3]["result"]["structuredContent"]["status"], "ok");
  std::vector<std::string> kept;
  for (const Json& note : answers[5]["result"]["structuredContent"]["memories"]) {
    kept.push_back(note["content"]);
  }
  EXPECT_EQ(kept, (std::vector<std::string>{"first", "third"}));
}

TEST_F(McpProcessTest, FinishesTheCallInProgressWhenInputCloses) {
  for (int i = 0; i < 40; ++i) {
    write_text(dir_ / ("repo/m" + std::to_string(i) + ".py"),
               "def f" + std::to_string(i) + "(x):\n    return x\n");
  }
  Subprocess server({VANTORY_MCP_BIN}, dir_.path(), environment());
  server.write(call(1, "index_directory", {{"directory", "repo"}}));
  server.close_stdin();
  std::vector<Json> messages = messages_of(server.read_all());
  EXPECT_EQ(server.wait(), 0);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["result"]["structuredContent"]["indexed"], 40);
}

TEST_F(McpProcessTest, ExitsWhenTheClientStopsReading) {
  Subprocess server({VANTORY_MCP_BIN}, dir_.path(), environment());
  server.close_stdout();
  for (int i = 0; i < 100 && server.write(request(i, "ping", Json::object())); ++i) {
  }
  server.close_stdin();
  EXPECT_EQ(server.wait(), 1);
}

}  // namespace
}  // namespace vantory::testing
