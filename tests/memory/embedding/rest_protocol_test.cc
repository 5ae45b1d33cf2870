#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "memory/embedding/remote_embedding_client.h"
#include "tests/memory/embedding/test_support.h"

namespace vantory {
namespace {

using test_support::ScopedEnvironment;
using test_support::StderrCapture;
using test_support::TestServer;

TEST(RestProtocol, ParsesEveryAcceptedShape) {
  struct Case {
    const char* response;
    const char* numbers;
  } cases[] = {
      {"[0.3, 0.4]", "[0.3, 0.4]"},
      {"[true, 2]", "[true, 2]"},
      {"[[0.3, 0.4], [1, 2]]", "[0.3, 0.4]"},
      {"[[]]", "[]"},
      {R"({"data": [{"embedding": [1, 0]}, {"embedding": [0, 1]}]})", "[1, 0]"},
      {R"({"data": [{"dense_embedding": [0, 2]}]})", "[0, 2]"},
      {R"({"data": [], "embedding": [2, 0]})", "[2, 0]"},
      {R"({"data": [{"other": 1}], "dense_embedding": [5]})", "[5]"},
      {R"({"embedding": [0, 5], "dense_embedding": [5, 0]})", "[0, 5]"},
      {R"({"embedding": "text"})", "\"text\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RemoteEmbeddingClient::_parse_response(parse_json(c.response)),
              parse_json(c.numbers))
        << c.response;
  }
}

TEST(RestProtocol, RejectsUnknownShapesNamingTheirType) {
  struct Case {
    const char* response;
    const char* type;
  } cases[] = {
      {R"({"error": "model loading"})", "dict"}, {"[]", "list"},   {"\"text\"", "str"},
      {"3", "int"},                              {"null", "NoneType"}, {"[\"a\"]", "list"},
      {"true", "bool"},                          {"[{}]", "list"},
  };
  for (const Case& c : cases) {
    try {
      RemoteEmbeddingClient::_parse_response(parse_json(c.response));
      ADD_FAILURE() << c.response;
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("Unknown embedding response format: <class '") + c.type + "'>");
    }
  }
}

// A REST service on 127.0.0.1 answering every POST with `answer`.
struct RestService {
  explicit RestService(std::string answer, int status = 200) {
    server.routes().Post("/v1/embed", [this, answer, status](const httplib::Request&,
                                                             httplib::Response& res) {
      res.status = status;
      res.set_content(answer, "application/json");
    });
    server.start();
  }
  TestServer server;
};

TEST(RestProtocol, SendsTheDocumentedRequestByteForByte) {
  ScopedEnvironment env;
  RestService service("[0.3, 0.4]");
  StderrCapture err;
  RemoteEmbeddingClient keyed(service.server.url("/v1/embed"), "secret");
  RemoteEmbeddingClient anonymous(service.server.url("/v1/embed"));
  EXPECT_EQ(keyed.embed("abc").tolist(), (std::vector<double>{0.6f, 0.8f}));
  anonymous.embed("caf\xC3\xA9 \xF0\x9F\x98\x80\n\"q\"");
  auto requests = service.server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/v1/embed");
  EXPECT_EQ(requests[0].body, R"({"inputs": "abc", "options": {"wait_for_model": true}})");
  EXPECT_EQ(requests[0].headers.find("Content-Type")->second, "application/json");
  EXPECT_EQ(requests[0].headers.find("Authorization")->second, "Bearer secret");
  EXPECT_EQ(requests[0].headers.count("Accept"), 0u);
  EXPECT_EQ(requests[1].body,
            R"({"inputs": "caf\u00e9 \ud83d\ude00\n\"q\"", "options": {"wait_for_model": true}})");
  EXPECT_EQ(requests[1].headers.count("Authorization"), 0u);
  EXPECT_EQ(keyed.get_dimension(), 2);
}

TEST(RestProtocol, AnswersAreNormalisedAndSetTheDimension) {
  ScopedEnvironment env;
  StderrCapture err;
  RemoteEmbeddingClient client("http://unused");
  struct Case {
    const char* answer;
    std::vector<double> embedding;
  } cases[] = {
      {"[3, 4, 0]", {0.6f, 0.8f, 0.0}},
      {"[0, 0, 0, 0]", {0, 0, 0, 0}},  // not normalised
      {"[true, false]", {1, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(client._finalize_embedding(parse_json(c.answer)).tolist(), c.embedding) << c.answer;
    EXPECT_EQ(client.get_dimension(), static_cast<std::int64_t>(c.embedding.size()));
  }
}

TEST(RestProtocol, UnusableAnswersAreFailuresThatAreNeitherCachedNorFollowed) {
  struct Case {
    const char* answer;
    std::optional<std::int64_t> dimension;  // configured
    const char* reason;                     // "" for an answer that is used
  } cases[] = {
      {"[[]]", std::nullopt, "the service answered an empty embedding"},
      {"[NaN, 1]", std::nullopt, "the service answered an embedding holding NaN or Infinity"},
      {"[1, -Infinity]", 2, "the service answered an embedding holding NaN or Infinity"},
      {"[1, 2, 3]", 2, "the service answered 3 numbers, the configured dimension is 2"},
      {"[0, 0]", 2, ""},  // answered as it is, but a zero vector is no embedding to keep
      {"[3, 4]", 2, ""},
  };
  ScopedEnvironment env;
  for (const Case& c : cases) {
    RestService service(c.answer);
    StderrCapture setup;
    RemoteEmbeddingClient client(service.server.url("/v1/embed"), {}, "m", c.dimension);
    std::int64_t before = client.get_dimension();
    setup.text();
    StderrCapture err;
    PythonVector first = client.embed("t");
    client.embed("t");
    std::string log = err.text();
    if (*c.reason) {
      EXPECT_EQ(first, zeros_vector(before)) << c.answer;
      EXPECT_EQ(client.get_dimension(), before) << c.answer;
      EXPECT_EQ(log.substr(0, log.find('\n')),
                std::string("[Embedding] API request failed: ") + c.reason);
    }
    bool usable = RemoteEmbeddingClient::usable_embedding(first);
    EXPECT_EQ(service.server.request_count(), usable ? 1u : 2u) << c.answer;
    EXPECT_EQ(client.cache_size(), usable ? 1u : 0u) << c.answer;
  }
}

TEST(RestProtocol, BadBodiesBecomeLoggedZeroVectors) {
  struct Case {
    std::string answer;
    std::string line;
  } cases[] = {
      {"\xFF[1]", "[Embedding] API request failed: 'utf-8' codec can't decode byte 0xff in "
                  "position 0: invalid start byte\n"},
      {"nope", "[Embedding] API request failed: Expecting value: line 1 column 1 (char 0)\n"},
      {R"({"error": "x"})",
       "[Embedding] API request failed: Unknown embedding response format: <class 'dict'>\n"},
      {"[[1, \"a\"]]", "[Embedding] API request failed: expected an array of numbers, element 1 "
                       "is str\n"},
      {R"({"embedding": {"a": 1}})",
       "[Embedding] API request failed: expected an array of numbers, got dict\n"},
  };
  ScopedEnvironment env;
  for (const Case& c : cases) {
    RestService service(c.answer);
    StderrCapture setup;
    RemoteEmbeddingClient client(service.server.url("/v1/embed"), {}, "m", 4);
    setup.text();
    StderrCapture err;
    EXPECT_EQ(client.embed("t"), zeros_vector(4)) << c.answer;
    EXPECT_EQ(err.text(), c.line);
  }
}

}  // namespace
}  // namespace vantory
