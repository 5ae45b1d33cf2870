#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>

#include "common/error.h"
#include "common/json_text.h"
#include "memory/embedding/process_client.h"
#include "memory/embedding/remote_embedding_client.h"
#include "tests/memory/embedding/test_support.h"

namespace vantory {
namespace {

using test_support::ScopedEnvironment;
using test_support::ScriptedClient;
using test_support::StderrCapture;
using test_support::TestServer;

// Text "t<i>" is embedded as the one-hot vector of position i in 8 dimensions.
PythonVector one_hot(const std::string& text) {
  std::vector<double> v(8, 0.0);
  v[std::stoul(text.substr(1))] = 1.0;
  return create_vector(v);
}

TEST(EmbedOperations, BatchRequestsOverlapAndResultsKeepInputOrder) {
  ScopedEnvironment env;
  TestServer server;
  std::mutex mutex;
  std::condition_variable changed;
  int in_flight = 0, most_in_flight = 0, finished = 0;
  // Text t<i> is answered only after every text after it was: completion runs backwards, so
  // the batch finishes only when all three requests are in flight together.
  server.routes().Post("/embed", [&](const httplib::Request& req, httplib::Response& res) {
    int index = std::stoi(parse_json(req.body)["inputs"].get<std::string>().substr(1));
    std::unique_lock<std::mutex> lock(mutex);
    most_in_flight = std::max(most_in_flight, ++in_flight);
    changed.notify_all();
    bool ready = changed.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return finished == 2 - index && in_flight == 3 - finished; });
    --in_flight;
    ++finished;
    changed.notify_all();
    std::vector<double> numbers(8, 0.0);
    numbers[index] = ready ? 1.0 : -1.0;
    res.set_content(dump_json(Json(numbers)), "application/json");
  });
  server.start();
  StderrCapture err;
  RemoteEmbeddingClient client(server.url("/embed"));
  std::vector<PythonVector> result = client.embed_batch({"t0", "t1", "t2"}, 3);
  ASSERT_EQ(result.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(result[i], one_hot("t" + std::to_string(i)));
  EXPECT_EQ(most_in_flight, 3);
  EXPECT_NE(err.text().find("[Embedding] Batch embedding 3 texts with 3 workers...\n"),
            std::string::npos);
  EXPECT_EQ(client.cache_size(), 3u);
}

TEST(EmbedOperations, BatchEdgeCases) {
  ScopedEnvironment env;
  StderrCapture err;
  ScriptedClient client(one_hot);
  std::string setup = err.text();
  {
    StderrCapture quiet;
    EXPECT_TRUE(client.embed_batch({}).empty());
    EXPECT_TRUE(client.embed_batch({}, 0).empty());
    EXPECT_EQ(quiet.text(), "");
  }
  StderrCapture log;
  std::vector<PythonVector> two_workers = client.embed_batch({"t3", "t1", "t3", "t0"}, 2);
  ASSERT_EQ(two_workers.size(), 4u);
  EXPECT_EQ(two_workers[0], one_hot("t3"));
  EXPECT_EQ(two_workers[3], one_hot("t0"));
  EXPECT_THROW(client.embed_batch({"t1"}, 0), ValueError);
  EXPECT_EQ(log.text(),
            "[Embedding] Batch embedding 4 texts with 2 workers...\n"
            "[Embedding] Batch embedding 1 texts with 0 workers...\n");
}

TEST(EmbedOperations, AFailingTextReachesTheBatchCaller) {
  ScopedEnvironment env;
  StderrCapture err;
  ScriptedClient client([](const std::string& text) {
    if (text == "t2") throw RuntimeError("local embedder failed on t2");
    return one_hot(text);
  });
  std::vector<std::string> texts;
  for (int i = 0; i < 8; ++i) texts.push_back("t" + std::to_string(i));
  EXPECT_THROW(client.embed_batch(texts, 4), RuntimeError);
  EXPECT_EQ(client.embed("t1"), one_hot("t1"));  // the client stays usable
}

TEST(EmbedOperations, CacheSwitchDecidesWhetherTheServiceIsAskedAgain) {
  ScopedEnvironment env;
  StderrCapture err;
  for (bool caching : {true, false}) {
    ScriptedClient client(one_hot, std::nullopt, caching);
    client.embed("t1");
    client.embed("t1");
    client.embed("t2");
    EXPECT_EQ(client.calls, caching ? 2 : 3);
    EXPECT_EQ(client.cache_size(), caching ? 2u : 0u);
  }
}

TEST(EmbedOperations, CosineSimilarity) {
  PythonVector v{1, 2, 3};
  PythonVector neg{-1, -2, -3};
  PythonVector zero = zeros_vector(3);
  struct Case {
    PythonVector a, b;
    double cosine;
  } cases[] = {
      {v, v, 1.0},
      {v, neg, -1.0},
      {v, zero, 0.0},
      {zero, zero, 0.0},
      {PythonVector{1, 0}, PythonVector{0, 1}, 0.0},
      {PythonVector{3, 4}, PythonVector{3, 4, 12}, 0.0},  // lengths differ
      {PythonVector{3, 4, 12}, PythonVector{3, 4}, 0.0},
  };
  StderrCapture err;
  for (const Case& c : cases) {
    EXPECT_NEAR(RemoteEmbeddingClient::cosine_similarity(c.a, c.b), c.cosine, 1e-12);
  }
  EXPECT_EQ(err.text(),
            "[Embedding] Vectors of lengths 2 and 3 are not comparable (embeddings of another "
            "model?); their similarity is 0.0\n");
  EXPECT_EQ(RemoteEmbeddingClient::batch_cosine_similarity(zero, {v, neg, v}),
            (std::vector<double>{0, 0, 0}));
  EXPECT_TRUE(RemoteEmbeddingClient::batch_cosine_similarity(v, {}).empty());
  std::vector<double> scores = RemoteEmbeddingClient::batch_cosine_similarity(v, {neg, v, zero});
  ASSERT_EQ(scores.size(), 3u);
  EXPECT_NEAR(scores[0], -1.0, 1e-12);
  EXPECT_NEAR(scores[1], 1.0, 1e-12);
  EXPECT_EQ(scores[2], 0.0);
}

TEST(EmbedOperations, ConcurrentEmbedsShareOneCache) {
  ScopedEnvironment env;
  StderrCapture err;
  ScriptedClient client(one_hot);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) client.embed("t" + std::to_string(i % 8));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(client.cache_size(), 8u);
  EXPECT_LE(client.calls, 4 * 8);
}

}  // namespace
}  // namespace vantory
