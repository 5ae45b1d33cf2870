// The OpenAI-compatible format against a real HTTP server on 127.0.0.1: what is sent, how
// texts are batched and answers mapped back, which failures are retried, and how broken
// answers fail only the texts they concern.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "common/error.h"
#include "common/json_text.h"
#include "memory/embedding/internal/openai_answer.h"
#include "memory/embedding/remote_embedding_client.h"
#include "tests/memory/embedding/test_support.h"

namespace vantory {
namespace {

using test_support::ScopedEnvironment;
using test_support::StderrCapture;
using test_support::TestServer;

// The service's embedding of a text: [length, 1], so each text's answer is recognisable.
Json numbers_for(const std::string& text) {
  return Json::array({static_cast<double>(text.size()), 1.0});
}

PythonVector expected_for(const std::string& text) {
  RemoteEmbeddingClient client("http://unused/v1/embeddings", {}, "m");
  return client._finalize_embedding(numbers_for(text));
}

// An OpenAI-compatible service whose answer to each request `handler` writes; the default
// answers every input, items in reverse order.
struct OpenAiService {
  using Handler = std::function<void(int request, const Json& body, httplib::Response&)>;
  explicit OpenAiService(Handler custom = nullptr) : handler(std::move(custom)) {
    server.routes().Post("/v1/embeddings",
                         [this](const httplib::Request& req, httplib::Response& res) {
                           int n = ++requests;
                           Json body = parse_json(req.body);
                           if (handler) return handler(n, body, res);
                           res.set_content(dump_json(answer_for(body)), "application/json");
                         });
    server.start();
  }
  static Json answer_for(const Json& body) {
    Json data = Json::array();
    for (std::size_t i = body["input"].size(); i-- > 0;) {
      data.push_back({{"object", "embedding"},
                      {"index", i},
                      {"embedding", numbers_for(body["input"][i].get<std::string>())}});
    }
    return {{"object", "list"}, {"data", data}, {"model", body["model"]}};
  }
  std::string url() const { return server.url("/v1/embeddings"); }

  Handler handler;
  std::atomic<int> requests{0};
  TestServer server;
};

TEST(OpenAiFormat, ChoosesTheFormatAndRequiresAModel) {
  ScopedEnvironment env;
  StderrCapture err;
  struct Case {
    std::vector<std::pair<const char*, const char*>> environment;
    std::string url;
    std::string format;  // "" when construction must fail
  } cases[] = {
      {{{"EMBEDDING_MODEL", "m"}}, "http://h:11434/v1/embeddings", "openai"},
      {{{"EMBEDDING_MODEL", "m"}}, "http://h/v1/embeddings/?x=1", "openai"},
      {{{"EMBEDDING_MODEL", "m"}, {"EMBEDDING_API_FORMAT", " OpenAI "}},
       "http://h/embed",
       "openai"},
      {{{"EMBEDDING_API_FORMAT", "rest"}}, "http://h/v1/embeddings", "rest"},
      {{}, "http://h/v1/embeddings/extra", "rest"},
      {{}, "http://h/gradio_api/call/embed_dense", "gradio"},
      {{}, "http://h/v1/embeddings", ""},  // no model
      {{{"EMBEDDING_MODEL", "m"}, {"EMBEDDING_API_FORMAT", "grpc"}}, "http://h/x", ""},
      {{{"EMBEDDING_MODEL", "m"}, {"EMBEDDING_BATCH_SIZE", "0"}}, "http://h/v1/embeddings", ""},
      {{{"EMBEDDING_MODEL", "m"}, {"EMBEDDING_BATCH_SIZE", "x"}}, "http://h/v1/embeddings", ""},
  };
  for (const Case& c : cases) {
    ScopedEnvironment scoped;
    for (const auto& [name, value] : c.environment) scoped.set(name, value);
    if (c.format.empty()) {
      EXPECT_THROW(RemoteEmbeddingClient client(c.url), ValueError) << c.url;
      continue;
    }
    RemoteEmbeddingClient client(c.url);
    EXPECT_EQ(client.api_format, c.format) << c.url;
    EXPECT_EQ(client.identity()["format"], c.format) << c.url;
  }
  ScopedEnvironment scoped;
  scoped.set("EMBEDDING_MODEL", "nomic-embed-text");
  scoped.set("REMOTE_EMBEDDING_URL", "http://h:11434/v1/embeddings");
  EXPECT_EQ(RemoteEmbeddingClient::configured_identity(),
            parse_json(R"({"format": "openai", "url": "http://h:11434/v1/embeddings", )"
                       R"("model": "nomic-embed-text", "dimension": 768})"));
  EXPECT_EQ(RemoteEmbeddingClient().batch_size, 64);
  EXPECT_NE(err.text().find("[Embedding] Using OpenAI API: http://h:11434/v1/embeddings\n"),
            std::string::npos);
}

TEST(OpenAiFormat, SendsBatchesOfDistinctTextsAndMapsAnswersByIndex) {
  ScopedEnvironment env;
  OpenAiService service;
  StderrCapture err;
  RemoteEmbeddingClient client(service.url(), "secret", "nomic-embed-text", std::nullopt, 5, true,
                               std::nullopt, std::nullopt, std::nullopt, 2);
  client.embed("cached");
  std::vector<std::string> texts = {"a", "bb", "cached", "a", "caf\xC3\xA9", "dddd", "eeeee"};
  std::vector<PythonVector> vectors = client.embed_batch(texts, 1);
  ASSERT_EQ(vectors.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(vectors[i], expected_for(texts[i])) << texts[i];
  }
  // One request for the single embed, then the five texts not cached, two a request.
  std::vector<test_support::RecordedRequest> sent = service.server.requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].body, R"({"model": "nomic-embed-text", "input": ["cached"]})");
  EXPECT_EQ(sent[1].body, R"({"model": "nomic-embed-text", "input": ["a", "bb"]})");
  EXPECT_EQ(sent[2].body, R"({"model": "nomic-embed-text", "input": ["caf\u00e9", "dddd"]})");
  EXPECT_EQ(sent[3].body, R"({"model": "nomic-embed-text", "input": ["eeeee"]})");
  EXPECT_EQ(sent[1].headers.find("Authorization")->second, "Bearer secret");
  EXPECT_EQ(sent[1].headers.find("Content-Type")->second, "application/json");
  EXPECT_EQ(client.cache_size(), 6u);
  EXPECT_EQ(client.embed_batch({"a", "bb"}), (std::vector<PythonVector>{vectors[0], vectors[1]}));
  EXPECT_EQ(service.server.request_count(), 4u);  // both were cached
  err.text();
}

TEST(OpenAiFormat, RetriesRateLimitsAndServerErrorsOnly) {
  ScopedEnvironment env;
  struct Case {
    int status;
    const char* retry_after;  // "" for no header
    int failures;             // answers with `status` before a good one
    int requests;             // requests the call makes
    bool embedded;
    const char* last_line;
  } cases[] = {
      {429, "0", 1, 2, true,
       "[Embedding] API HTTP error 429: Too Many Requests; retrying in 0 ms\n"},
      {503, "0", 3, 4, true,
       "[Embedding] API HTTP error 503: Service Unavailable; retrying in 0 "
       "ms\n"},
      {500, "0", 9, 4, false, "[Embedding] API HTTP error 500: Internal Server Error\n"},
      {429, "3600", 1, 1, false, "[Embedding] API HTTP error 429: Too Many Requests\n"},
      {400, "", 1, 1, false, "[Embedding] API HTTP error 400: Bad Request\n"},
  };
  for (const Case& c : cases) {
    OpenAiService service([&](int n, const Json& body, httplib::Response& res) {
      if (n <= c.failures) {
        res.status = c.status;
        if (*c.retry_after) res.set_header("Retry-After", c.retry_after);
        res.set_content(R"({"error": {"message": "busy"}})", "application/json");
        return;
      }
      res.set_content(dump_json(OpenAiService::answer_for(body)), "application/json");
    });
    StderrCapture err;
    RemoteEmbeddingClient client(service.url(), {}, "m", 2, 5, false);
    std::vector<PythonVector> vectors = client.embed_batch({"x", "yy"});
    std::string log = err.text();
    EXPECT_EQ(service.requests, c.requests) << c.status;
    EXPECT_EQ(vectors[1], c.embedded ? expected_for("yy") : zeros_vector(2)) << c.status;
    if (c.embedded) {
      EXPECT_NE(log.find(c.last_line), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.substr(log.rfind("[Embedding]")), c.last_line) << log;
    }
  }
}

TEST(OpenAiFormat, BrokenAnswersFailOnlyTheTextsTheyConcern) {
  ScopedEnvironment env;
  struct Case {
    const char* answer;
    std::vector<bool> embedded;  // per input a, bb, ccc
    const char* line;            // the failure line, "" for none
  } cases[] = {
      {R"({"object": "list"})",
       {false, false, false},
       "API request failed: embedding answer without a \"data\" list: <class "
       "'dict'>"},
      {R"([[1, 2]])",
       {false, false, false},
       "API request failed: embedding answer without a \"data\" list: <class "
       "'list'>"},
      {R"({"data": [{"index": 1, "embedding": [2, 1]}, {"index": 0, "embedding": [1, 1]}]})",
       {true, true, false},
       "API request failed: 1 of 3 texts got no usable embedding (index 2 "
       "is missing)"},
      {R"({"data": [{"index": 0, "embedding": [1, 1]}, {"index": 1, "embedding": [2, 1]},
          {"index": 2, "embedding": [3, 1]}, {"index": 3, "embedding": [4, 1]}]})",
       {true, true, true},
       ""},
      {R"({"data": [{"index": 0, "embedding": [1, 1]}, {"index": 1, "embedding": ["2", 1]},
          {"index": 2, "embedding": [3, 1]}]})",
       {true, false, true},
       "API request failed: 1 of 3 texts got no usable embedding (index 1 "
       "has no list of numbers as its embedding)"},
      {R"({"data": [{"index": 0, "embedding": [1, 1]}, {"index": 1, "embedding": [2, 1, 0]},
          {"index": 2, "embedding": [3, 1]}]})",
       {true, false, true},
       "API request failed: 1 of 3 texts got no usable embedding (index 1 "
       "has 3 numbers where the others have 2)"},
      {R"({"data": [{"index": 0, "embedding": [1, 1]}, {"index": 0, "embedding": [2, 1]},
          {"index": 2, "embedding": [3, 1]}]})",
       {false, false, true},
       "API request failed: 2 of 3 texts got no usable embedding (index 0 "
       "is given twice)"},
      {R"({"data": [{"embedding": [1, 1]}, {"embedding": [2, 1]}, {"embedding": [3, 1]}]})",
       {true, true, true},
       ""},
  };
  std::vector<std::string> texts = {"a", "bb", "ccc"};
  for (const Case& c : cases) {
    OpenAiService service([&](int, const Json&, httplib::Response& res) {
      res.set_content(c.answer, "application/json");
    });
    StderrCapture err;
    RemoteEmbeddingClient client(service.url(), {}, "m", 2, 5);
    err.text();
    StderrCapture failures;
    std::vector<PythonVector> vectors = client.embed_batch(texts);
    std::string log = failures.text();
    for (std::size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(vectors[i], c.embedded[i] ? expected_for(texts[i]) : zeros_vector(2))
          << c.answer << " " << texts[i];
    }
    std::string expected_log = "[Embedding] Batch embedding 3 texts with 10 workers...\n";
    if (*c.line) expected_log += std::string("[Embedding] ") + c.line + "\n";
    EXPECT_EQ(log, expected_log) << c.answer;
  }
}

// The text reader takes the form services give, in any item order and with other members
// around, and leaves everything else to the parser: its notes are the ones users see.
TEST(OpenAiFormat, PlainAnswersAreReadWithoutATreeAndOthersAreLeftToTheParser) {
  auto plain = read_plain_openai_answer(
      R"({"object": "list", "data": [{"index": 1, "embedding": [0.5, -2e-1]},)"
      R"( {"object": "embedding", "embedding": [3, 1.25], "index": 0}],)"
      R"( "usage": {"prompt_tokens": 2, "total_tokens": 2, "details": [null, true]}})",
      2);
  ASSERT_TRUE(plain);
  EXPECT_EQ((*plain)[0], (std::vector<float>{3.0f, 1.25f}));
  EXPECT_EQ((*plain)[1], (std::vector<float>{0.5f, -0.2f}));

  for (const char* other : {
           R"({"data": [{"index": 0, "embedding": [1]}]})",
           R"({"data": [{"index": 0, "embedding": [1]}, {"index": 0, "embedding": [2]}]})",
           R"({"data": [{"index": 0, "embedding": [1]}, {"index": 1, "embedding": [2, 3]}]})",
           R"({"data": [{"index": 0, "embedding": [1]}, {"index": 2, "embedding": [2]}]})",
           R"({"data": [{"index": 0, "embedding": [NaN]}, {"index": 1, "embedding": [2]}]})",
           R"({"data": [{"index": 0, "embedding": []}, {"index": 1, "embedding": [2]}]})",
           R"({"d\u0061ta": [{"index": 0, "embedding": [1]}, {"index": 1, "embedding": [2]}]})",
           R"({"data": [{"index": 0, "embedding": [1]}, {"index": 1, "embedding": [2]}]} x)",
           R"({"data": [{"index": 0, "embedding": [12345678901234567]}, {"embedding": [2]}]})",
           R"({"data": [{"index": 1.0, "embedding": [1]}, {"index": 0, "embedding": [2]}]})",
       }) {
    EXPECT_FALSE(read_plain_openai_answer(other, 2)) << other;
  }
}

}  // namespace
}  // namespace vantory
