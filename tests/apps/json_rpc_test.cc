#include "apps/mcp/json_rpc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "apps/mcp/line_reader.h"
#include "apps/mcp/mcp_server.h"
#include "common/json_text.h"

namespace vantory::mcp {
namespace {

TEST(ReadMessage, ClassifiesWellFormedMessages) {
  struct Case {
    const char* line;
    RpcMessage::Kind kind;
    Json id;
    const char* method;
    Json params;
  };
  const Case cases[] = {
      {R"({"jsonrpc": "2.0", "id": 7, "method": "ping"})", RpcMessage::Kind::kRequest, 7, "ping",
       nullptr},
      {R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{"name":"x"}})",
       RpcMessage::Kind::kRequest,
       "a",
       "tools/call",
       {{"name", "x"}}},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", RpcMessage::Kind::kNotification,
       nullptr, "notifications/initialized", nullptr},
      {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"m\",\"params\":[1]}\r",
       RpcMessage::Kind::kRequest,
       1,
       "m",
       {1}},
      {R"({"jsonrpc":"2.0","id":3,"result":{"roots":[]}})", RpcMessage::Kind::kResponse, 3, "",
       {{"roots", Json::array()}}},
      {R"({"jsonrpc":"2.0","id":4,"error":{"code":1,"message":"x"}})", RpcMessage::Kind::kResponse,
       4, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ReadResult read = read_message(c.line);
    ASSERT_TRUE(std::holds_alternative<RpcMessage>(read));
    const auto& message = std::get<RpcMessage>(read);
    EXPECT_EQ(message.kind, c.kind);
    EXPECT_EQ(message.id, c.id);
    EXPECT_EQ(message.method, c.method);
    EXPECT_EQ(message.params, c.params);
  }
}

TEST(ReadMessage, RefusesMalformedLinesWithTheirErrorCode) {
  struct Case {
    std::string line;
    int code;
    Json id;
  };
  const Case cases[] = {
      {"not json", kParseError, nullptr},
      {"{\"jsonrpc\": \"2.0\", \"id\": 1", kParseError, nullptr},
      {std::string(2000, '[') + std::string(2000, ']'), kParseError, nullptr},
      {"[]", kInvalidRequest, nullptr},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", kInvalidRequest, nullptr},
      {"42", kInvalidRequest, nullptr},
      {R"({"id": 1, "method": "ping"})", kInvalidRequest, 1},
      {R"({"jsonrpc": "1.0", "id": "x", "method": "ping"})", kInvalidRequest, "x"},
      {R"({"jsonrpc": "2.0", "id": null, "method": "ping"})", kInvalidRequest, nullptr},
      {R"({"jsonrpc": "2.0", "id": 1.5, "method": "ping"})", kInvalidRequest, nullptr},
      {R"({"jsonrpc": "2.0", "id": 2, "method": 5})", kInvalidRequest, 2},
      {R"({"jsonrpc": "2.0", "id": 3, "method": "m", "params": "x"})", kInvalidRequest, 3},
      {R"({"jsonrpc": "2.0", "id": 4})", kInvalidRequest, 4},
      {R"({"jsonrpc": "2.0", "id": 5, "result": 1, "error": {}})", kInvalidRequest, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 80));
    ReadResult read = read_message(c.line);
    ASSERT_TRUE(std::holds_alternative<RpcError>(read));
    EXPECT_EQ(std::get<RpcError>(read).code, c.code);
    EXPECT_EQ(std::get<RpcError>(read).id, c.id);
  }
}

TEST(ReadMessage, OutputLinesAreOneLineOfJsonEach) {
  Json awkward = {{"text", "line one\nline two \xE2\x80\xA8 \xff"}};
  for (const std::string& line :
       {result_line(1, awkward), error_line("x", kInternalError, "bad\nthing"),
        notification_line("notifications/progress", awkward)}) {
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    Json parsed = parse_json(std::string_view(line).substr(0, line.size() - 1));
    EXPECT_EQ(parsed["jsonrpc"], "2.0");
  }
}

TEST(NegotiateProtocolVersion, AnswersTheClientsVersionWhenSpokenElseTheNewest) {
  for (const char* version : {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"}) {
    EXPECT_EQ(negotiate_protocol_version(version), version);
  }
  for (const Json& other : {Json("1999-01-01"), Json(nullptr), Json(20250618)}) {
    EXPECT_EQ(negotiate_protocol_version(other), "2025-11-25");
  }
}

// Feeds `input` through a pipe and collects what the reader makes of it.
std::vector<std::string> read_lines(const std::string& input, std::size_t max_line) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(fds[1]);
  });
  LineReader reader(fds[0], max_line);
  std::vector<std::string> seen;
  std::string line;
  for (LineReader::Status status; (status = reader.next(line)) != LineReader::Status::kEnd;) {
    seen.push_back(status == LineReader::Status::kTooLong ? "<too long>" : line);
  }
  writer.join();
  ::close(fds[0]);
  return seen;
}

TEST(LineReader, SplitsLinesAndDropsOverlongOnes) {
  struct Case {
    std::string input;
    std::size_t max_line;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a\nbb\n\nccc", 10, {"a", "bb", "", "ccc"}},
      {"", 10, {}},
      {"short\n" + std::string(50, 'x') + "\nafter\n", 10, {"short", "<too long>", "after"}},
      {std::string(200000, 'y') + "\nz\n", 100, {"<too long>", "z"}},
      {std::string(200000, 'y'), 100, {"<too long>"}},
      {std::string(10, 'q') + "\n", 10, {std::string(10, 'q')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 40));
    EXPECT_EQ(read_lines(c.input, c.max_line), c.lines);
  }
}

}  // namespace
}  // namespace vantory::mcp
