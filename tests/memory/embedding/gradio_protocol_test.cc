#include <gtest/gtest.h>

#include "common/json_text.h"
#include "memory/embedding/remote_embedding_client.h"
#include "tests/memory/embedding/test_support.h"

namespace vantory {
namespace {

using test_support::ScopedEnvironment;
using test_support::StderrCapture;
using test_support::TestServer;

constexpr const char* kEndpoint = "/gradio_api/call/embed_dense";
constexpr const char* kResults = "/gradio_api/call/embed_dense/.*";

TEST(GradioProtocol, FindsTheEmbeddingInAnEventPayload) {
  struct Case {
    const char* payload;
    const char* found;  // "null" when nothing is found
  } cases[] = {
      {"[0.6, 0.8]", "[0.6, 0.8]"},
      {R"([{"dense_embedding": [3, 4]}])", "[3, 4]"},
      {R"([{"scores": [0, 2]}])", "[0, 2]"},
      {R"([{"dense_embedding": [], "embedding": [1, 0]}])", "[1, 0]"},
      {R"([{"data": [1], "vector": [2]}])", "[2]"},
      {R"([{"label": "x", "ids": ["a"]}])", "null"},
      {"[[5, 6], [7]]", "[5, 6]"},
      {"[[]]", "null"},
      {"[[\"a\"]]", "null"},
      {"[null]", "null"},
      {"[\"text\"]", "null"},
      {"[]", "null"},
      {"{\"a\": [1]}", "null"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RemoteEmbeddingClient::_parse_gradio_result(parse_json(c.payload)),
              parse_json(c.found))
        << c.payload;
  }
}

// A Gradio endpoint: the submit answers `submit`; result request n (from 0) answers
// streams[min(n, last)], or `status` when it is not 200.
struct GradioService {
  GradioService(std::string submit, std::vector<std::string> streams, int status = 200) {
    server.routes().Post(kEndpoint, [submit](const httplib::Request&, httplib::Response& res) {
      res.set_content(submit, "application/json");
    });
    server.routes().Get(kResults,
                        [this, streams, status](const httplib::Request&, httplib::Response& res) {
                          std::size_t n = results++;
                          res.status = status;
                          res.set_content(streams[std::min(n, streams.size() - 1)],
                                          "text/event-stream");
                        });
    server.start();
  }
  std::string url() { return server.url(kEndpoint); }
  std::atomic<std::size_t> results{0};
  TestServer server;
};

struct Outcome {
  std::vector<double> embedding;
  std::size_t result_requests;
  std::string log;
};

Outcome run(GradioService& service, const std::string& text = "abc") {
  StderrCapture setup;
  RemoteEmbeddingClient client(service.url(), "k", "m", 2);
  setup.text();
  StderrCapture err;
  std::vector<double> embedding = client.embed(text).tolist();
  return {embedding, service.results.load(), err.text()};
}

TEST(GradioProtocol, SubmitsThenReadsTheEventStream) {
  ScopedEnvironment env;
  GradioService service(R"({"event_id": "abc"})",
                        {"event: generating\ndata: null\n\nevent: complete\ndata: [[0.6, 0.8]]\n\n"});
  Outcome out = run(service);
  EXPECT_EQ(out.embedding, (std::vector<double>{0.6f, 0.8f}));
  EXPECT_EQ(out.result_requests, 1u);
  EXPECT_EQ(out.log, "");
  auto requests = service.server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, R"({"data": ["abc"]})");
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].path, std::string(kEndpoint) + "/abc");
  EXPECT_EQ(requests[1].body, "");
  for (const auto& r : requests) {
    EXPECT_EQ(r.headers.find("Authorization")->second, "Bearer k");
    EXPECT_EQ(r.headers.find("Content-Type")->second, "application/json");
  }
}

TEST(GradioProtocol, StreamsOfEveryKindEndAsDocumented) {
  const std::string timeout_line = "[Embedding] Gradio API timeout waiting for result\n";
  const std::vector<double> zeros(2, 0.0);
  struct Case {
    std::string name;
    std::vector<std::string> streams;
    std::vector<double> embedding;
    std::size_t result_requests;
    bool gave_up;
  } cases[] = {
      {"complete without embedding", {"event: complete\ndata: [null]\n"}, zeros, 1, true},
      {"junk lines and non-JSON data are skipped",
       {": comment\nid: 7\ndata: {not json\ndata:\nevent:complete\r\ndata: [0, 3]\r\n"},
       {0, 1},
       1,
       false},
      {"a later data line wins", {"data: [1, 0]\ndata: [0, 1]\n"}, {0, 1}, 1, false},
      {"an error event is retried",
       {"event: error\ndata: null\n", "event: complete\ndata: [[2, 0]]\n"},
       {1, 0},
       2,
       false},
      {"heartbeats only, thirty times", {"event: heartbeat\ndata: null\n\n"}, zeros, 30, true},
      {"empty streams", {""}, zeros, 30, true},
  };
  ScopedEnvironment env;
  for (const Case& c : cases) {
    GradioService service(R"({"event_id": "e1"})", c.streams);
    Outcome out = run(service);
    EXPECT_EQ(out.embedding, c.embedding) << c.name;
    EXPECT_EQ(out.result_requests, c.result_requests) << c.name;
    EXPECT_EQ(out.log, c.gave_up ? timeout_line : "") << c.name;
  }
}

TEST(GradioProtocol, DirectAnswersAndFailuresOfTheSubmit) {
  struct Case {
    std::string submit;
    std::vector<double> embedding;
    std::string log;
  } cases[] = {
      {"[[0.3, 0.4]]", {0.6f, 0.8f}, ""},
      {R"({"embedding": [0, 1]})", {0, 1}, ""},
      {"<html>busy</html>", {0, 0},
       "[Embedding] API request failed: Expecting value: line 1 column 1 (char 0)\n"},
      {R"({"status": "queued"})", {0, 0},
       "[Embedding] API request failed: Unknown embedding response format: <class 'dict'>\n"},
  };
  ScopedEnvironment env;
  for (const Case& c : cases) {
    GradioService service(c.submit, {"data: [9]\n"});
    Outcome out = run(service);
    EXPECT_EQ(out.embedding, c.embedding) << c.submit;
    EXPECT_EQ(out.result_requests, 0u);
    EXPECT_EQ(out.log, c.log);
  }
}

TEST(GradioProtocol, ResultErrorsEndTheCallAtOnce) {
  ScopedEnvironment env;
  GradioService missing(R"({"event_id": "gone"})", {"not found"}, 404);
  Outcome out = run(missing);
  EXPECT_EQ(out.result_requests, 1u);
  EXPECT_EQ(out.log, "[Embedding] API HTTP error 404: Not Found\n");
  EXPECT_EQ(out.embedding, std::vector<double>(2, 0.0));

  GradioService garbled(R"({"event_id": "x"})", {"data: [1]\n\xC3"});
  Outcome bad = run(garbled);
  EXPECT_EQ(bad.result_requests, 1u);
  EXPECT_EQ(bad.log, "[Embedding] API request failed: 'utf-8' codec can't decode byte 0xc3 in "
                     "position 10: unexpected end of data\n");
}

TEST(GradioProtocol, EventIdsStayOneEscapedPathSegment) {
  ScopedEnvironment env;
  GradioService service(R"({"event_id": "../a b/\u00e9"})", {"data: [1]\n"});
  run(service);
  auto requests = service.server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].path, std::string(kEndpoint) + "/%2E%2E%2Fa%20b%2F%C3%A9");

  GradioService numeric(R"({"event_id": 42})", {"data: [1]\n"});
  run(numeric);
  EXPECT_EQ(numeric.server.requests()[1].path, std::string(kEndpoint) + "/42");
}

}  // namespace
}  // namespace vantory
