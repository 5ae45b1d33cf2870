#include <random>

#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"
#include "tests/memory/ambrel/ambrel_test_util.h"

namespace vantory {
namespace {

using ambrel_test::column;
using ambrel_test::memory;
using ambrel_test::StoreTest;
using test_support::StderrCapture;

class SemanticSearchTest : public StoreTest {
 protected:
  // Stores each id with its numbers for the agent "agent".
  void store_vectors(const std::vector<std::pair<std::string, std::vector<double>>>& vectors) {
    VectorMap map;
    for (const auto& [id, numbers] : vectors) map.insert_or_assign(id, numbers);
    store->_save_vectors("agent", map);
  }

  static std::string query_for(const std::vector<double>& numbers) {
    std::string text = "v:";
    for (double x : numbers) text += format_double(x) + ",";
    return text;
  }
};

TEST_F(SemanticSearchTest, RanksByCosineWithThresholdTiesAndTopK) {
  store_vectors({{"a", {1, 0}}, {"b", {0, 1}}, {"c", {-1, 0}}, {"d", {1, 1}}, {"e", {2, 0}}});
  Json memories = {memory("b", "x"),
                   memory("a", "x"),
                   memory("c", "x"),
                   memory("d", "x"),
                   memory("e", "x", {{"semantic_score", "old"}, {"tag", 1}}),
                   {{"content", "no id"}},
                   memory("unknown", "never stored")};
  auto plain = make_store(false);
  const std::string before = file_text();
  struct Case {
    std::int64_t top_k;
    double threshold;
    std::vector<Json> ids;
  } cases[] = {
      {5, 0.0, {"a", "e", "d", "b"}},
      {100, -2.0, {"a", "e", "d", "b", "c"}},
      {0, 0.0, {}},
      {2, 0.0, {"a", "e"}},
      {-1, 0.0, {"a", "e", "d"}},
      {-10, 0.0, {}},
      {5, 0.5, {"a", "e", "d"}},
  };
  for (const Case& c : cases) {
    Json results = plain->semantic_search("agent", "v:1,0", memories, c.top_k, c.threshold);
    EXPECT_EQ(column(results, "id"), c.ids) << c.top_k << " " << c.threshold;
  }
  EXPECT_EQ(file_text(), before);

  Json results = plain->semantic_search("agent", "v:1,0", memories);
  EXPECT_EQ(dump_json(results[1]),
            "{\"id\": \"e\", \"content\": \"x\", \"semantic_score\": 1.0, \"tag\": 1}");
  EXPECT_EQ(dump_json(results[2]),
            "{\"id\": \"d\", \"content\": \"x\", \"semantic_score\": 0.7071067811865475}");
  EXPECT_EQ(column(plain->semantic_search("agent", "v:0,1", {memory("b", "1"), memory("b", "2")}),
                   "content"),
            (std::vector<Json>{"1", "2"}));
}

TEST_F(SemanticSearchTest, ScoresEqualCosineSimilarityBitForBit) {
  std::mt19937 random(7);
  std::normal_distribution<double> normal;
  auto numbers = [&](std::size_t n) {
    std::vector<double> v(n);
    for (double& x : v) x = normal(random);
    return v;
  };
  std::vector<std::pair<std::string, std::vector<double>>> vectors;
  Json memories = Json::array();
  for (int i = 0; i < 53; ++i) {
    std::size_t size = i == 10 ? 700 : i == 20 ? 800 : 768;
    vectors.emplace_back("e" + std::to_string(i),
                         i == 30 ? std::vector<double>(768, 0.0) : numbers(size));
    memories.push_back(memory("e" + std::to_string(i), "x"));
  }
  store_vectors(vectors);
  std::vector<double> query = numbers(768);
  auto fresh = make_store();
  for (LocalAmbrel* search_store : {store.get(), fresh.get()}) {
    Json results = search_store->semantic_search("agent", query_for(query), memories, 100, -2.0);
    ASSERT_EQ(results.size(), memories.size());
    for (const Json& r : results) {
      PythonVector stored = *store->get_vector("agent", r["id"]);
      EXPECT_EQ(r["semantic_score"].get<double>(),
                RemoteEmbeddingClient::cosine_similarity(create_vector(query), stored))
          << r["id"];
    }
  }
}

TEST_F(SemanticSearchTest, ZeroQueryFailedQueryAndNoEntries) {
  store_vectors({{"a", {1, 0}}, {"b", {-1, 0}}, {"c", {0, 0}}});
  Json memories = {memory("b", "x"), memory("c", "x"), memory("a", "x")};
  Json results = store->semantic_search("agent", "v:0,0", memories);
  EXPECT_EQ(column(results, "id"), (std::vector<Json>{"b", "c", "a"}));
  EXPECT_EQ(column(results, "semantic_score"), (std::vector<Json>{0.0, 0.0, 0.0}));

  StderrCapture err;
  EXPECT_EQ(store->semantic_search("agent", "fail", memories), Json::array());
  EXPECT_EQ(err.text(), "[Ambrel] Failed to embed query: service down\n");
  int calls = client->calls;
  for (const Json& none : {Json::array(), Json(), Json::object()}) {
    EXPECT_EQ(store->semantic_search("agent", "v:1", none), Json::array());
  }
  EXPECT_EQ(client->calls, calls);
}

TEST_F(SemanticSearchTest, AutoEmbeddingWritesWhatOneAddPerEntryWouldWrite) {
  store_vectors({{"x", {1, 0}}});
  Json memories = {memory("x", "stored"),
                   memory("m1", "v:0,1"),
                   {{"id", "m2"}, {"lossless_restatement", "v:1,1"}, {"content", "v:5,5"}},
                   memory("m3", "please fail"),
                   memory("m1", "v:3,0"),
                   memory("m4", "")};
  StderrCapture err;
  Json results = store->semantic_search("agent", "v:1,0", memories, 10);
  EXPECT_EQ(err.text(), "[Ambrel] Failed to add vector: service down\n");
  EXPECT_EQ(column(results, "id"), (std::vector<Json>{"x", "m1", "m2", "m1"}));
  EXPECT_EQ(column(results, "content"), (std::vector<Json>{"stored", "v:3,0", "v:5,5", "v:0,1"}));

  auto sequence = make_store(true, "sequence");
  VectorMap start;
  start.insert_or_assign("x", std::vector<double>{1, 0});
  sequence->_save_vectors("agent", start);
  for (const char* text : {"v:0,1", "v:1,1", "v:3,0"}) {
    sequence->add_vector("agent", text == std::string("v:1,1") ? "m2" : "m1", text);
  }
  EXPECT_EQ(file_text(), read_file(sequence->_get_vectors_path("agent")));
  EXPECT_EQ(file_text(), "{\"x\": [1.0, 0.0], \"m1\": [3.0, 0.0], \"m2\": [1.0, 1.0]}");
}

TEST_F(SemanticSearchTest, UnmakeableDirectoryLeavesEachEmbeddedEntryOut) {
  write_file_atomic(store->root_path + "/agents", "not a directory");
  Json memories = {memory("m1", "v:1"), memory("m2", "please fail"), memory("m3", "v:2")};
  StderrCapture err;
  EXPECT_EQ(store->semantic_search("agent", "v:1", memories), Json::array());
  std::string reason = "[Errno 17] File exists: '" + store->root_path + "/agents'\n";
  EXPECT_EQ(err.text(), "[Ambrel] Failed to add vector: " + reason +
                            "[Ambrel] Failed to add vector: service down\n"
                            "[Ambrel] Failed to add vector: " +
                            reason);
}

TEST_F(SemanticSearchTest, MalformedEntriesFailBeforeAnythingIsWritten) {
  const char* cases[] = {
      "5",
      "[{\"id\": \"new\", \"content\": \"v:1\"}, 7]",
      "[{\"id\": 3, \"content\": \"v:1\"}]",
  };
  for (const char* text : cases) {
    int calls = client->calls;
    EXPECT_THROW(store->semantic_search("agent", "v:1", parse_json(text)), TypeError) << text;
    EXPECT_LE(client->calls, calls + 1) << text;
    EXPECT_FALSE(path_exists(store->_get_vectors_path("agent"))) << text;
  }
  // Empty values of any type only mean "missing".
  Json quiet = parse_json(
      "[{\"id\": \"a\", \"content\": null}, {\"id\": 0}, {\"id\": \"b\", \"lossless_restatement\": "
      "0}]");
  EXPECT_EQ(store->semantic_search("agent", "v:1", quiet), Json::array());
  // A text that is not a string leaves its entry out, and the others are ranked.
  StderrCapture err;
  Json found = store->semantic_search(
      "agent", "v:1",
      parse_json("[{\"id\": \"x\", \"lossless_restatement\": 5}, {\"id\": \"y\", \"content\": \"v:1\"}]"));
  EXPECT_EQ(ambrel_test::column(found, "id"), std::vector<Json>{"y"});
  EXPECT_EQ(err.text().rfind("[Ambrel] Failed to add vector: memory entry 0: "
                             "'lossless_restatement' must be",
                             0),
            0u);
}

}  // namespace
}  // namespace vantory
