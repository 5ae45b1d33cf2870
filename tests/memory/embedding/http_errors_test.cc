#include <gtest/gtest.h>

#include "memory/embedding/http_client.h"
#include "memory/embedding/remote_embedding_client.h"
#include "tests/memory/embedding/test_support.h"

namespace vantory {
namespace {

using test_support::refused_port;
using test_support::ScopedEnvironment;
using test_support::StalledListener;
using test_support::StderrCapture;
using test_support::TestServer;

// Embeds one text with a fresh REST client for `url`; answers the vector and the log lines.
struct RestOutcome {
  PythonVector embedding;
  std::string log;
};
RestOutcome embed_once(const std::string& url, std::int64_t timeout = 60,
                   std::optional<bool> verify = std::nullopt,
                   std::optional<std::string> key = std::nullopt) {
  StderrCapture setup;
  RemoteEmbeddingClient client(url, key, "m", std::nullopt, timeout, true, std::nullopt, verify);
  setup.text();
  StderrCapture err;
  PythonVector embedding = client.embed("t");
  return {embedding, err.text()};
}

class HttpErrorsTest : public ::testing::Test {
 protected:
  ScopedEnvironment env_;
  TestServer server_;
};

TEST_F(HttpErrorsTest, ErrorStatusesAreReportedWithTheirReason) {
  for (int status : {404, 500, 503}) {
    server_.routes().Post("/s" + std::to_string(status),
                          [status](const httplib::Request&, httplib::Response& res) {
                            res.status = status;
                            res.set_content("[1, 2]", "application/json");
                          });
  }
  server_.start();
  struct Case {
    int status;
    const char* line;
  } cases[] = {
      {404, "[Embedding] API HTTP error 404: Not Found\n"},
      {500, "[Embedding] API HTTP error 500: Internal Server Error\n"},
      {503, "[Embedding] API HTTP error 503: Service Unavailable\n"},
  };
  for (const Case& c : cases) {
    RestOutcome out = embed_once(server_.url("/s" + std::to_string(c.status)));
    EXPECT_EQ(out.log, c.line);
    EXPECT_EQ(out.embedding, zeros_vector(768));
  }
}

TEST_F(HttpErrorsTest, RedirectsAreFollowed) {
  server_.routes().Post("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/final", 302);
  });
  server_.routes().Post("/kept", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/final", 307);
  });
  auto loop = [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/loop", 302);
  };
  server_.routes().Post("/loop", loop);
  server_.routes().Get("/loop", loop);
  auto final_answer = [](const httplib::Request&, httplib::Response& res) {
    res.set_content("[0, 1]", "application/json");
  };
  server_.routes().Get("/final", final_answer);
  server_.routes().Post("/final", final_answer);
  server_.start();

  EXPECT_EQ(embed_once(server_.url("/moved")).embedding, (PythonVector{0, 1}));
  RestOutcome kept = embed_once(server_.url("/kept"));
  EXPECT_EQ(kept.embedding, (PythonVector{0, 1}));
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].method, "GET");  // 302 turns the POST into a GET
  EXPECT_EQ(requests[3].method, "POST");  // 307 repeats it with its body
  EXPECT_EQ(requests[3].body, requests[2].body);

  EXPECT_EQ(embed_once(server_.url("/loop")).log, "[Embedding] API HTTP error 302: Found\n");
}

TEST_F(HttpErrorsTest, FailuresBeforeAnyResponseAreUrlErrors) {
  server_.routes().Post("/silent", [this](const httplib::Request&, httplib::Response& res) {
    server_.hold();
    res.set_content("[1]", "application/json");
  });
  server_.start();
  StalledListener stalled;
  struct Case {
    std::string url;
    std::string line;  // expected start of the log line
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(refused_port()) + "/x", "[Embedding] API URL error: "},
      {stalled.url("/x"), "[Embedding] API URL error: timed out\n"},
      {server_.url("/silent"), "[Embedding] API URL error: timed out\n"},
      {"ftp://127.0.0.1/x", "[Embedding] API URL error: "},
  };
  for (const Case& c : cases) {
    RestOutcome out = embed_once(c.url, 1);
    EXPECT_EQ(out.log.rfind(c.line, 0), 0u) << c.url << ": " << out.log;
    EXPECT_GT(out.log.size(), c.line.size() - 1);
    EXPECT_EQ(out.embedding, zeros_vector(768));
  }
}

TEST_F(HttpErrorsTest, FailedTextsAreAskedForAgain) {
  StderrCapture setup;
  RemoteEmbeddingClient client("http://127.0.0.1:" + std::to_string(refused_port()) + "/x");
  setup.text();
  StderrCapture err;
  EXPECT_EQ(client.embed("t"), zeros_vector(768));
  EXPECT_EQ(client.embed("t"), zeros_vector(768));
  std::string log = err.text();
  EXPECT_NE(log.find("API URL error"), log.rfind("API URL error"));  // two requests
  EXPECT_EQ(client.cache_size(), 0u);
}

TEST_F(HttpErrorsTest, BodiesThatStallOrNeverEndAreCutOff) {
  server_.routes().Post("/stall", [this](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [this](size_t, httplib::DataSink& sink) {
      sink.write("[0.", 3);
      server_.hold();
      return false;
    });
  });
  server_.routes().Post("/trickle", [this](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [this](size_t, httplib::DataSink& sink) {
      while (sink.is_writable() && !server_.released_within(std::chrono::milliseconds(200))) {
        if (!sink.write(" ", 1)) return false;
      }
      return false;
    });
  });
  server_.routes().Post("/flood", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(kMaxResponseBytes + 1, ' '), "application/json");
  });
  server_.start();

  EXPECT_EQ(embed_once(server_.url("/stall"), 1).log,
            "[Embedding] API request failed: timed out\n");
  HttpSettings settings;
  settings.timeout_seconds = 1;
  settings.deadline_seconds = 2;
  std::string failure = "none";
  try {
    http_request("POST", server_.url("/trickle"), {}, "", settings);
  } catch (const Error& e) {
    failure = std::string(e.kind()) + ": " + e.what();
  }
  EXPECT_EQ(failure, "RuntimeError: timed out");
  EXPECT_EQ(embed_once(server_.url("/flood")).log,
            "[Embedding] API request failed: response body larger than " +
                std::to_string(kMaxResponseBytes) + " bytes\n");
}

TEST_F(HttpErrorsTest, OneEmbeddingEndsByItsDeadlineHoweverSteadyTheTrickle) {
  // A byte every 50 ms, never a pause near the time-out between bytes; after 20 s (far past
  // the deadline of one second) the body ends as a valid embedding.
  server_.routes().Post("/trickle", [this](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [this](size_t, httplib::DataSink& sink) {
      for (int i = 0; i < 400; ++i) {
        if (server_.released_within(std::chrono::milliseconds(50))) return false;
        if (!sink.write(" ", 1)) return false;
      }
      sink.write("[1, 0]", 6);
      sink.done();
      return true;
    });
  });
  server_.start();
  env_.set("EMBEDDING_REQUEST_DEADLINE", "1");
  RestOutcome out = embed_once(server_.url("/trickle"), 60);
  server_.release();
  EXPECT_EQ(out.log, "[Embedding] API request failed: timed out\n");
  EXPECT_EQ(out.embedding, zeros_vector(768));

  for (const char* bad : {"0", "-3", "soon"}) {
    env_.set("EMBEDDING_REQUEST_DEADLINE", bad);
    StderrCapture err;
    EXPECT_THROW(RemoteEmbeddingClient("http://x"), ValueError) << bad;
  }
}

TEST_F(HttpErrorsTest, HeadersCannotBeSplitByAKey) {
  server_.routes().Post("/x", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("[1]", "application/json");
  });
  server_.start();
  RestOutcome out =
      embed_once(server_.url("/x"), 60, std::nullopt, "sk-live-0123456789\r\nX-Injected: 1");
  EXPECT_EQ(out.log.rfind("[Embedding] API request failed: Invalid header", 0), 0u) << out.log;
  EXPECT_EQ(out.log.find("sk-live"), std::string::npos) << out.log;
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST(HttpsTest, CertificatesAreCheckedOnlyWhenAskedTo) {
  ScopedEnvironment env;
  TestServer server(true);
  server.routes().Post("/x", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("[1, 0]", "application/json");
  });
  server.start();
  EXPECT_EQ(embed_once(server.url("/x")).embedding, (PythonVector{1, 0}));
  RestOutcome verified = embed_once(server.url("/x"), 60, true);
  EXPECT_EQ(verified.log.rfind("[Embedding] API URL error: SSL certificate problem", 0), 0u)
      << verified.log;
  env.set("EMBEDDING_TLS_VERIFY", "1");
  EXPECT_EQ(embed_once(server.url("/x")).log.rfind("[Embedding] API URL error: ", 0), 0u);
  EXPECT_EQ(server.request_count(), 1u);
}

}  // namespace
}  // namespace vantory
