#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "common/error.h"
#include "memory/embedding/process_client.h"
#include "memory/embedding/remote_embedding_client.h"
#include "tests/memory/embedding/test_support.h"

namespace vantory {
namespace {

using test_support::ScopedEnvironment;
using test_support::StderrCapture;

TEST(ClientConfig, DefaultsSpeakGradioWith768Dimensions) {
  ScopedEnvironment env;
  StderrCapture err;
  RemoteEmbeddingClient client;
  const std::string& url = RemoteEmbeddingClient::DEFAULT_API_URL;
  EXPECT_EQ(url.rfind("https://", 0), 0u);
  EXPECT_TRUE(url.ends_with("/gradio_api/call/embed_dense"));
  EXPECT_EQ(client.api_url, url);
  EXPECT_FALSE(client.api_key.has_value());
  EXPECT_EQ(client.model_name, "dense-embedding");
  EXPECT_TRUE(client._is_gradio);
  EXPECT_EQ(client.get_dimension(), 768);
  EXPECT_EQ(client.timeout, 60);
  EXPECT_TRUE(client.cache_embeddings);
  EXPECT_FALSE(client._cache_path.has_value());
  EXPECT_FALSE(client.ssl_context.verify_certificate);
  EXPECT_FALSE(client.ssl_context.check_hostname);
  EXPECT_EQ(err.text(), "[Embedding] Using Gradio API: " + url + "\n[Embedding] Dimension: 768\n");
}

TEST(ClientConfig, ArgumentsThenEnvironmentInOrder) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> env;
    std::optional<std::string> url_arg, key_arg;
    std::string url;
    std::optional<std::string> key;
  } cases[] = {
      {{{"REMOTE_EMBEDDING_URL", "http://a"}, {"EMBEDDING_API_URL", "http://b"}}, {}, {},
       "http://a", {}},
      {{{"REMOTE_EMBEDDING_URL", ""}, {"EMBEDDING_API_URL", "http://b"}}, {}, {}, "http://b", {}},
      {{{"ORVANE_API_URL", "http://c"}}, {}, {}, "http://c", {}},
      {{{"REMOTE_EMBEDDING_URL", "http://a"}}, "http://arg", {}, "http://arg", {}},
      {{{"REMOTE_EMBEDDING_URL", "http://a"}}, "", {}, "http://a", {}},
      {{{"EMBEDDING_API_KEY", "k1"}, {"ORVANE_API_KEY", "k2"}, {"HF_TOKEN", "k3"}}, "http://x",
       {}, "http://x", "k1"},
      {{{"EMBEDDING_API_KEY", ""}, {"ORVANE_API_KEY", "k2"}}, "http://x", {}, "http://x", "k2"},
      {{{"HF_TOKEN", "k3"}}, "http://x", {}, "http://x", "k3"},
      {{{"HF_TOKEN", ""}}, "http://x", {}, "http://x", ""},
      {{{"EMBEDDING_API_KEY", "k1"}}, "http://x", "arg", "http://x", "arg"},
  };
  for (const Case& c : cases) {
    ScopedEnvironment env;
    for (const auto& [name, value] : c.env) env.set(name, value);
    StderrCapture err;
    RemoteEmbeddingClient client(c.url_arg, c.key_arg);
    EXPECT_EQ(client.api_url, c.url);
    EXPECT_EQ(client.api_key, c.key) << c.url;
  }
}

TEST(ClientConfig, ProtocolFollowsTheUrl) {
  ScopedEnvironment env;
  StderrCapture err;
  struct Case {
    const char* url;
    bool gradio;
  } cases[] = {
      {"https://h/gradio_api/x", true},
      {"https://h/run/call/embed", true},
      {"https://h/v1/embed", false},
      {"https://h/call", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RemoteEmbeddingClient(c.url)._is_gradio, c.gradio) << c.url;
  }
  RemoteEmbeddingClient rest("https://h/v1/embed");
  EXPECT_NE(err.text().find("[Embedding] Using REST API: https://h/v1/embed\n"), std::string::npos);
}

TEST(ClientConfig, DimensionFromArgumentOrEnvironment) {
  struct Case {
    std::optional<std::int64_t> argument;
    const char* env;  // nullptr: unset
    std::int64_t dimension;  // -1: construction fails with ValueError
  } cases[] = {
      {std::nullopt, nullptr, 768}, {0, nullptr, 768},       {0, " 384 ", 384},
      {512, "junk", 512},           {std::nullopt, "0", -1}, {std::nullopt, "", 768},
      {std::nullopt, " -5 ", -1},   {-5, nullptr, -1},
      {std::nullopt, "384.0", -1},  {std::nullopt, "abc", -1}, {std::nullopt, "1_024", 1024},
      {std::nullopt, "99999999999999999999", -1},
  };
  for (const Case& c : cases) {
    ScopedEnvironment env;
    if (c.env) env.set("REMOTE_EMBEDDING_DIMENSION", c.env);
    StderrCapture err;
    if (c.dimension < 0) {
      EXPECT_THROW(RemoteEmbeddingClient("http://x", {}, "m", c.argument), ValueError) << c.env;
    } else {
      EXPECT_EQ(RemoteEmbeddingClient("http://x", {}, "m", c.argument).get_dimension(),
                c.dimension)
          << (c.env ? c.env : "unset");
    }
  }
}

TEST(ClientConfig, TlsVerificationIsOptIn) {
  struct Case {
    const char* env;
    std::optional<bool> argument;
    bool verify;
  } cases[] = {
      {nullptr, {}, false}, {"1", {}, true},       {"TRUE", {}, true},
      {"0", {}, false},     {"1", false, false},   {nullptr, true, true},
  };
  for (const Case& c : cases) {
    ScopedEnvironment env;
    if (c.env) env.set("EMBEDDING_TLS_VERIFY", c.env);
    StderrCapture err;
    RemoteEmbeddingClient client("http://x", {}, "m", {}, 60, true, {}, c.argument);
    EXPECT_EQ(client.ssl_context.verify_certificate, c.verify);
    EXPECT_EQ(client.ssl_context.check_hostname, c.verify);
  }
}

TEST(ClientConfig, TimeoutMustBePositive) {
  ScopedEnvironment env;
  StderrCapture err;
  EXPECT_THROW(RemoteEmbeddingClient("http://x", {}, "m", {}, 0), ValueError);
}

class ProcessClientTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_embedding_client(); }
  void TearDown() override { reset_embedding_client(); }
  ScopedEnvironment env_;
  StderrCapture err_;
};

TEST_F(ProcessClientTest, FirstCacheDirectoryWinsUntilReset) {
  auto a = get_embedding_client("/tmp/vantory-no-such-dir-a");
  auto b = get_embedding_client("/tmp/vantory-no-such-dir-b");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->_cache_path, "/tmp/vantory-no-such-dir-a");
  reset_embedding_client();
  auto c = get_embedding_client();
  EXPECT_NE(c, a);
  EXPECT_FALSE(c->_cache_path.has_value());
  // The old holder keeps a working client.
  EXPECT_EQ(a->cache_size(), 0u);
}

TEST_F(ProcessClientTest, ConcurrentFirstCallsShareOneClient) {
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<std::shared_ptr<RemoteEmbeddingClient>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      seen[i] = get_embedding_client();
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& client : seen) EXPECT_EQ(client, seen[0]);
  std::string text = err_.text();
  EXPECT_EQ(text.find("Using"), text.rfind("Using"));  // constructed once
}

TEST_F(ProcessClientTest, FailedCreationLeavesNoClientBehind) {
  env_.set("REMOTE_EMBEDDING_DIMENSION", "many");
  EXPECT_THROW(get_embedding_client(), ValueError);
  env_.set("REMOTE_EMBEDDING_DIMENSION", "16");
  EXPECT_EQ(get_embedding_client()->get_dimension(), 16);
}

TEST_F(ProcessClientTest, AnExplicitClientLeavesTheSharedOneAlone) {
  class Local : public RemoteEmbeddingClient {
   public:
    Local() : RemoteEmbeddingClient("http://local") {}
    PythonVector _call_api(const std::string&) override { return PythonVector{1, 0}; }
  };
  auto local = std::make_shared<Local>();
  std::string before = err_.text();
  StderrCapture err;
  EXPECT_EQ(get_embedding("a", local), (PythonVector{1, 0}));
  EXPECT_EQ(get_embeddings({"a", "b"}, local).size(), 2u);
  EXPECT_EQ(err.text().find("Using"), std::string::npos);
}

}  // namespace
}  // namespace vantory
