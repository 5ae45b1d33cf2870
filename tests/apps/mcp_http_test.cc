// vantory-mcp --http as a child process, sent what broken, hostile or impatient clients send.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/json_text.h"
#include "tests/apps/held_embedding_service.h"
#include "tests/apps/test_support.h"

namespace vantory::testing {
namespace {

std::string message(int id, const std::string& method, const Json& params = Json::object()) {
  return dump_json({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
}

// A connection to the server by hand, for what a library client would not send.
int connect_to(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

const Json kInitialize = {{"protocolVersion", "2025-06-18"},
                          {"capabilities", Json::object()},
                          {"clientInfo", {{"name", "t"}, {"version", "1"}}}};

// A server on a free loopback port, stopped with SIGTERM.
class HttpServer {
 public:
  explicit HttpServer(const std::string& dir, std::vector<std::string> flags = {},
                      const std::map<std::string, std::string>& environment = {})
      : process_(arguments(std::move(flags)), dir, environment) {
    std::string url;
    EXPECT_TRUE(process_.read_line(url)) << process_.stderr_text();
    port_ = std::stoi(url.substr(url.rfind(':') + 1));
  }
  ~HttpServer() { stop(); }

  int port() const { return port_; }
  httplib::Client client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(60);
    client.set_write_timeout(60);
    return client;
  }
  // Starts a session; answers its id.
  std::string session(const httplib::Headers& headers = {}) {
    auto response =
        client().Post("/mcp", headers, message(1, "initialize", kInitialize), "application/json");
    EXPECT_TRUE(response && response->status == 200);
    return response ? response->get_header_value("Mcp-Session-Id") : "";
  }
  void signal(int number) { process_.kill(number); }
  int stop() {
    process_.kill(SIGTERM);
    return process_.wait();
  }

 private:
  static std::vector<std::string> arguments(std::vector<std::string> flags) {
    flags.insert(flags.begin(), {VANTORY_MCP_BIN, "--http", "127.0.0.1:0"});
    return flags;
  }

  Subprocess process_;
  int port_ = 0;
};

TEST(McpHttpTest, RefusesBadRequestsAndGoesOnServing) {
  TempDir dir;
  HttpServer server(dir.path());
  std::string session = server.session();
  ASSERT_EQ(session.size(), 32u);
  const std::string ping = message(2, "ping");
  struct Case {
    const char* what;
    httplib::Headers headers;
    std::string body;
    int status;
  };
  const Case cases[] = {
      {"no session", {}, ping, 400},
      {"an unknown session", {{"Mcp-Session-Id", "0123"}}, ping, 404},
      {"a foreign origin",
       {{"Origin", "http://evil.example"}},
       message(1, "initialize", kInitialize),
       403},
      {"a rebound host name", {{"Host", "evil.example"}, {"Mcp-Session-Id", session}}, ping, 403},
      {"an unknown version",
       {{"Mcp-Session-Id", session}, {"MCP-Protocol-Version", "1999"}},
       ping,
       400},
      {"broken JSON", {{"Mcp-Session-Id", session}}, "{\"jsonrpc\":", 400},
      {"a notification",
       {{"Mcp-Session-Id", session}},
       R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
       202},
  };
  for (const Case& c : cases) {
    auto response = server.client().Post("/mcp", c.headers, c.body, "application/json");
    ASSERT_TRUE(response) << c.what;
    EXPECT_EQ(response->status, c.status) << c.what << ": " << response->body;
  }
  // A body announced as 100 MB is refused on its announcement, with the first megabyte sent:
  // the answer comes before the rest would have been read.
  {
    int fd = connect_to(server.port());
    std::string request = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nMcp-Session-Id: " + session +
                          "\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(100u << 20) + "\r\n\r\n" + std::string(1u << 20, ' ');
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    char buffer[64] = {};
    ASSERT_GT(::read(fd, buffer, sizeof buffer - 1), 0);
    EXPECT_EQ(std::string(buffer).substr(0, 12), "HTTP/1.1 413") << buffer;
    ::close(fd);
  }
  auto stream = server.client().Get("/mcp", {{"Mcp-Session-Id", session}});
  EXPECT_EQ(stream->status, 406) << "an event stream needs Accept: text/event-stream";

  auto pong = server.client().Post("/mcp", {{"Mcp-Session-Id", session}}, ping, "application/json");
  ASSERT_TRUE(pong);
  EXPECT_EQ(parse_json(pong->body),
            Json({{"jsonrpc", "2.0"}, {"id", 2}, {"result", Json::object()}}));
  EXPECT_EQ(server.client().Delete("/mcp", {{"Mcp-Session-Id", session}})->status, 200);
  EXPECT_EQ(
      server.client().Post("/mcp", {{"Mcp-Session-Id", session}}, ping, "application/json")->status,
      404);
  EXPECT_EQ(server.stop(), 0);
}

TEST(McpHttpTest, AClientThatLeavesMidStreamLosesNothing) {
  TempDir dir;
  for (int i = 0; i < 40; ++i) {
    write_text(dir / ("repo/m" + std::to_string(i) + ".py"),
               "def f" + std::to_string(i) + "(x):\n    return x\n");
  }
  HttpServer server(dir.path());
  std::string session = server.session();

  // By hand, so that the connection can be dropped after the first event.
  int fd = connect_to(server.port());
  std::string body = message(3, "tools/call",
                             {{"name", "index_directory"},
                              {"arguments", {{"directory", "repo"}}},
                              {"_meta", {{"progressToken", 1}}}});
  std::string request = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nMcp-Session-Id: " + session +
                        "\r\nAccept: application/json, text/event-stream\r\n"
                        "Content-Type: application/json\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body;
  ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  std::string received;
  char buffer[4096];
  while (received.find("event: message") == std::string::npos) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    received.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_NE(received.find("text/event-stream"), std::string::npos) << received;
  ::close(fd);

  // The call goes on to its end: the next call on the code memory runs after it.
  auto listed = server.client().Post(
      "/mcp", {{"Mcp-Session-Id", session}},
      message(4, "tools/call", {{"name", "list_indexed_files"}, {"arguments", {{"limit", 100}}}}),
      "application/json");
  ASSERT_TRUE(listed);
  EXPECT_EQ(parse_json(listed->body)["result"]["structuredContent"]["total"], 40) << listed->body;
  EXPECT_EQ(server.stop(), 0);
}

TEST(McpHttpTest, SigtermLetsTheRunningCallAnswer) {
  TempDir dir;
  HeldEmbeddingService service;
  HttpServer server(dir.path(), {}, {{"REMOTE_EMBEDDING_URL", service.url()}});
  std::string session = server.session();
  int status = 0;
  std::string answer;
  std::thread caller([&] {
    auto added = server.client().Post(
        "/mcp", {{"Mcp-Session-Id", session}},
        message(2, "tools/call", {{"name", "memory_add"}, {"arguments", {{"content", "kept"}}}}),
        "application/json");
    if (added) status = added->status, answer = added->body;
  });
  service.wait_for_requests(1);
  server.signal(SIGTERM);
  // New requests are turned away once the server is stopping; the call that runs is not.
  while (true) {
    auto ping = server.client().Post("/mcp", {{"Mcp-Session-Id", session}}, message(3, "ping"),
                                     "application/json");
    if (!ping || ping->status == 503) break;
  }
  service.release();
  caller.join();
  ASSERT_EQ(status, 200);
  EXPECT_EQ(parse_json(answer)["result"]["structuredContent"]["status"], "ok") << answer;
  EXPECT_EQ(server.stop(), 0);
}

TEST(McpHttpTest, TokensAreCheckedAndRequiredOffLoopback) {
  TempDir dir;
  write_text(dir / "token", "  letmein\n");
  HttpServer server(dir.path(), {"--token-file", dir / "token"});
  auto initialize = [&](const httplib::Headers& headers) {
    return server.client()
        .Post("/mcp", headers, message(1, "initialize", kInitialize), "application/json")
        ->status;
  };
  EXPECT_EQ(initialize({}), 401);
  EXPECT_EQ(initialize({{"Authorization", "Bearer letmeout"}}), 401);
  EXPECT_EQ(initialize({{"Authorization", "Bearer letmein"}}), 200);

  RunResult open = run({VANTORY_MCP_BIN, "--http", "0.0.0.0:0"}, dir.path());
  EXPECT_EQ(open.status, 2);
  EXPECT_NE(open.err.find("needs a token"), std::string::npos) << open.err;
}

}  // namespace
}  // namespace vantory::testing
