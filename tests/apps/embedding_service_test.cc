#include <gtest/gtest.h>

#include <cmath>

#include "apps/embeddings/local_embedding_service.h"
#include "apps/embeddings/text_embedder.h"
#include "common/json_text.h"
#include "memory/embedding/http_client.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory::embeddings {
namespace {

HttpSettings short_wait() {
  HttpSettings settings;
  settings.timeout_seconds = 5;
  return settings;
}

class LocalEmbeddingServiceTest : public ::testing::Test {
 protected:
  LocalEmbeddingServiceTest() : service_(0, 32) {}

  std::string post(const std::string& path, const std::string& body) {
    return http_request("POST", "http://127.0.0.1:" + std::to_string(service_.port()) + path,
                        {{"Content-Type", "application/json"}}, body, short_wait());
  }

  long status_of(const std::string& method, const std::string& path, const std::string& body) {
    try {
      http_request(method, "http://127.0.0.1:" + std::to_string(service_.port()) + path, {}, body,
                   short_wait());
      return 200;
    } catch (const HttpStatusError& e) {
      return e.code();
    }
  }

  LocalEmbeddingService service_;
};

TEST_F(LocalEmbeddingServiceTest, EveryFormatGivesTheClientTheSameEmbedding) {
  RemoteEmbeddingClient gradio(service_.gradio_url(), std::nullopt, "m", std::nullopt, 5, false);
  RemoteEmbeddingClient rest(service_.rest_url(), std::nullopt, "m", std::nullopt, 5, false);
  RemoteEmbeddingClient openai(service_.openai_url(), std::nullopt, "m", std::nullopt, 5, false);
  ASSERT_EQ(openai.api_format, "openai");
  PythonVector a = gradio.embed("The cat sleeps on the window sill");
  PythonVector b = rest.embed("The cat sleeps on the window sill");
  ASSERT_EQ(a.size(), 32u);
  EXPECT_EQ(a.tolist(), b.tolist());
  std::vector<PythonVector> batch = openai.embed_batch({"x", "The cat sleeps on the window sill"});
  EXPECT_EQ(batch[1].tolist(), a.tolist());
  EXPECT_NEAR(RemoteEmbeddingClient::cosine_similarity(a, a), 1.0, 1e-6);
  double related =
      RemoteEmbeddingClient::cosine_similarity(a, gradio.embed("a cat sleeping on a sill"));
  double unrelated =
      RemoteEmbeddingClient::cosine_similarity(a, gradio.embed("quarterly revenue grew"));
  EXPECT_GT(related, unrelated);
  EXPECT_EQ(gradio.get_dimension(), 32);
}

TEST_F(LocalEmbeddingServiceTest, AnswersEachRequestShape) {
  std::vector<double> expected = hashed_text_embedding("abc", 32);
  EXPECT_EQ(parse_json(post("/embed", R"({"inputs": "abc", "options": {"wait_for_model": true}})")),
            Json(expected));
  EXPECT_EQ(parse_json(post("/v1/embeddings", R"({"inputs": ["abc", "abc"]})")),
            Json({expected, expected}));
  Json openai = parse_json(post("/v1/embeddings", R"({"input": ["x", "abc"], "model": "m"})"));
  EXPECT_EQ(openai["object"], "list");
  EXPECT_EQ(openai["model"], "m");
  EXPECT_EQ(openai["data"][1]["index"], 1);
  EXPECT_EQ(openai["data"][1]["embedding"], Json(expected));
  Json submitted = parse_json(post("/gradio_api/call/embed_dense", R"({"data": ["abc"]})"));
  std::string stream =
      http_request("GET", service_.gradio_url() + "/" + submitted["event_id"].get<std::string>(),
                   {}, "", short_wait());
  EXPECT_EQ(stream, "event: complete\ndata: " + dump_json(Json::array({expected})) + "\n\n");
}

TEST_F(LocalEmbeddingServiceTest, RefusesMalformedRequests) {
  struct Case {
    const char* method;
    std::string path;
    const char* body;
    long status;
  };
  std::string id =
      parse_json(post("/gradio_api/call/embed_dense", R"({"data": ["t"]})"))["event_id"];
  const Case cases[] = {
      {"POST", "/embed", "not json", 400},
      {"POST", "/embed", R"({"text": "x"})", 400},
      {"POST", "/v1/embeddings", R"({"input": [1, 2]})", 400},
      {"POST", "/v1/embeddings", R"({"inputs": []})", 400},
      {"POST", "/gradio_api/call/embed_dense", R"({"data": []})", 422},
      {"POST", "/gradio_api/call/embed_dense", "[", 422},
      {"GET", "/gradio_api/call/embed_dense/nope", "", 404},
      {"GET", "/gradio_api/call/embed_dense/" + id, "", 200},
      {"GET", "/gradio_api/call/embed_dense/" + id, "", 404},  // an event is fetched once
  };
  for (const Case& c : cases) {
    EXPECT_EQ(status_of(c.method, c.path, c.body), c.status) << c.path << " " << c.body;
  }
}

TEST(HashedTextEmbedding, IsDeterministicAndIgnoresCaseAndPunctuation) {
  EXPECT_EQ(hashed_text_embedding("Hello, World!", 64), hashed_text_embedding("hello world", 64));
  EXPECT_NE(hashed_text_embedding("hello world", 64), hashed_text_embedding("world peace", 64));
  std::vector<double> empty = hashed_text_embedding("", 8);
  EXPECT_EQ(empty, std::vector<double>(8, 0.0));
}

}  // namespace
}  // namespace vantory::embeddings
