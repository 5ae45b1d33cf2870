#include "common/json_text.h"
#include "tests/memory/ambrel/ambrel_test_util.h"

namespace vantory {
namespace {

using ambrel_test::column;
using ambrel_test::scripted_vector;
using ambrel_test::StoreTest;
using test_support::ScriptedClient;
using test_support::StderrCapture;

class HybridSearchTest : public StoreTest {
 protected:
  // The worked example. The query "deploy" embeds as (1, 0): semantic scores about 0.8 for
  // e1 and 0.4 for e2, while e3 points away. Keyword scores: 3.0 for e2, 1.5 for e3, none for
  // e1, whose text lacks the word.
  HybridSearchTest() {
    client = std::make_shared<ScriptedClient>([](const std::string& text) {
      if (text.rfind("zero", 0) == 0) return create_vector(std::vector<double>{0, 0});
      return text == "deploy" ? create_vector(std::vector<double>{1, 0}) : scripted_vector(text);
    });
    store = make_store();
    VectorMap map;
    map.insert_or_assign("e1", std::vector<double>{0.8, 0.6});
    map.insert_or_assign("e2", std::vector<double>{0.4, 0.916515138991168});
    map.insert_or_assign("e3", std::vector<double>{-1, 0});
    store->_save_vectors("agent", map);
  }

  Json memories = parse_json(R"([
      {"id": "e1", "content": "nothing here"},
      {"id": "e2", "content": "deploy", "importance": 2.3333333},
      {"id": "e3", "content": "deploy", "importance": 0.6666667},
      {"content": "deploy, no id"}])");
};

TEST_F(HybridSearchTest, WorkedExample) {
  Json results = store->hybrid_search("agent", "deploy", memories);
  ASSERT_EQ(column(results, "id"), (std::vector<Json>{"e2", "e1", "e3"}));
  EXPECT_EQ(column(results, "hybrid_score"), (std::vector<Json>{0.7, 0.6, 0.2}));
  EXPECT_NEAR(results[0]["semantic_score"].get<double>(), 0.5, 1e-7);
  Json e2 = results[0];
  e2["semantic_score"] = 0.5;
  EXPECT_EQ(dump_json(e2),
            "{\"id\": \"e2\", \"content\": \"deploy\", \"importance\": 2.3333333, "
            "\"semantic_score\": 0.5, \"hybrid_score\": 0.7, \"keyword_score\": 1.0}");
  EXPECT_EQ(dump_json(results[1]),
            "{\"id\": \"e1\", \"content\": \"nothing here\", \"semantic_score\": 1.0, "
            "\"hybrid_score\": 0.6, \"keyword_score\": 0.0}");
  EXPECT_EQ(dump_json(results[2]),
            "{\"id\": \"e3\", \"content\": \"deploy\", \"importance\": 0.6666667, "
            "\"keyword_score\": 0.5, \"hybrid_score\": 0.2, \"semantic_score\": 0.0}");
}

TEST_F(HybridSearchTest, WeightsThresholdAndTopK) {
  struct Case {
    std::int64_t top_k;
    double semantic_weight, keyword_weight, threshold;
    std::vector<Json> ids;
  } cases[] = {
      {5, 0.6, 0.4, 0.5, {"e2", "e1"}},  // keyword-only entries reach 0.4 at most
      {1, 0.6, 0.4, 0.0, {"e2"}},
      {-1, 0.6, 0.4, 0.0, {}},  // 3 * -1 candidates: each list drops three
      {0, 0.6, 0.4, 0.0, {}},
      {5, -1.0, 1.0, 0.0, {"e2", "e3"}},  // weights are used as given; 0.5 ties keep order
      {5, 2.0, 2.0, 1.5, {"e2", "e1"}},
  };
  for (const Case& c : cases) {
    Json results = store->hybrid_search("agent", "deploy", memories, c.top_k, c.semantic_weight,
                                        c.keyword_weight, c.threshold);
    EXPECT_EQ(column(results, "id"), c.ids) << c.top_k << " " << c.semantic_weight;
  }
}

TEST_F(HybridSearchTest, OneSideMissing) {
  int calls = client->calls;
  EXPECT_EQ(store->hybrid_search("agent", "deploy", Json::array()), Json::array());
  EXPECT_EQ(client->calls, calls);

  // A failed query embedding leaves the keyword list alone; a zero one scores every stored
  // entry 0.0, which scales to 0.0.
  struct Case {
    const char* query;
    std::vector<Json> ids, hybrid;
    const char* log;
  } cases[] = {
      {"deploy fail", {"e2", "e3"}, {0.4, 0.2}, "[Ambrel] Failed to embed query: service down\n"},
      {"zero deploy", {"e2", "e3", "e1"}, {0.4, 0.2, 0.0}, ""},
  };
  for (const Case& c : cases) {
    StderrCapture err;
    Json results = store->hybrid_search("agent", c.query, memories);
    EXPECT_EQ(column(results, "id"), c.ids) << c.query;
    EXPECT_EQ(column(results, "hybrid_score"), c.hybrid) << c.query;
    EXPECT_EQ(column(results, "semantic_score"), std::vector<Json>(c.ids.size(), 0.0)) << c.query;
    EXPECT_EQ(err.text(), c.log);
  }
}

TEST_F(HybridSearchTest, RepeatedIdKeepsItsPlaceWithTheLaterRecord) {
  Json repeated = parse_json(R"([
      {"id": "e1", "content": "first"}, {"id": "e2", "content": "x"},
      {"id": "e1", "content": "second"}])");
  Json results = store->hybrid_search("agent", "deploy", repeated);
  EXPECT_EQ(column(results, "content"), (std::vector<Json>{"second", "x"}));
}

}  // namespace
}  // namespace vantory
