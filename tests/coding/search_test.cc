#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/test_support.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::Eq;
using ::testing::Invoke;
using ::testing::Return;
using namespace vantory::testing;

Json hit(const char* chunk_json) { return Json{{"chunk", Json::parse(chunk_json)}, {"score", 1}}; }

TEST(SearchTest, PlainSearchPassesTheAnswerThroughAndTimesOnlyTheRetriever) {
  TarnelWithFakes t;
  ManualClock clock;
  clock.install(t.tarnel);
  const Json answer = Json::parse(R"({"zeta": true, "results": [{"x": 1}], "alpha": null})");
  const Json filter = Json{"src/a.py"};
  EXPECT_CALL(*t.mocks->retriever, search("agent", "find users", 9, Eq(filter)))
      .WillOnce(Invoke([&](auto&, auto&, auto, auto&) {
        clock.advance_ms(12);
        return answer;
      }));
  EXPECT_EQ(dump_json(t.tarnel.search_codebase("agent", "find users", 9, filter)),
            dump_json(answer));
  EXPECT_CALL(*t.mocks->retriever, search("agent", "q", 5, Eq(Json()))).WillOnce(Return(Json()));
  EXPECT_TRUE(t.tarnel.get_mem("agent", "q").is_null());
  EXPECT_EQ(dump_json(profile_of(t.tarnel, "search")), R"({"avg_ms": 6.0, "count": 2})");
}

TEST(SearchTest, CallChainListsEachHitAndItsCalls) {
  struct Case {
    Json results;
    std::vector<std::string> chain;
  };
  const Case cases[] = {
      {{hit(R"({"file_path": "src/db/users.py", "name": "save_user", "start_line": 40,
                "calls": [{"target": "insert_row", "line": 42}]})")},
       {"users.py:save_user [line 40]", "  \u2192 insert_row [line 42]"}},
      {{hit(R"({"file_path": "a.py", "name": "f", "start_line": 1,
                "calls": [{"target": "g"}, {"line": 3}]})")},
       {"a.py:f [line 1]", "  \u2192 g [line None]", "  \u2192 None [line 3]"}},
      {{Json{{"score", 1}}, hit(R"({"file_path": "src/", "name": "x"})")},
       {":unknown [line 0]", ":x [line 0]"}},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->retriever, search(_, _, _, _))
        .WillOnce(Return(Json{{"results", c.results}, {"call_chain", 0}, {"total", 1}}));
    Json answer = t.tarnel.search_codebase("a", "q", 5, nullptr, true);
    EXPECT_EQ(dump_json(answer), dump_json(Json{{"results", c.results}, {"call_chain", c.chain},
                                                {"total", 1}}));
  }
}

TEST(SearchTest, GroupingPutsEachHitInTheFirstMatchingBucket) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"content": "vector store"})", "storage_operations"},  // storage comes first
      {R"({"content": "collect feedback"})", "storage_operations"},  // "db" inside a word
      {R"j({"content": "def lookup(x)"})j", "search_operations"},
      {R"({"summary": "EMBEDS the text"})", "encoding_operations"},
      {R"({"content": "call the Chat API"})", "llm_interactions"},
      {R"({"content": "add", "summary": "Adds numbers"})", "other"},
      {R"({})", "other"},
  };
  Json results = Json::array();
  Json expected = Json::parse(R"({"storage_operations": [], "search_operations": [],
      "encoding_operations": [], "llm_interactions": [], "other": []})");
  for (const auto& [chunk, bucket] : cases) {
    results.push_back(hit(chunk));
    expected[bucket].push_back(results.back());
  }
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->retriever, search(_, _, _, _))
      .WillOnce(Return(Json{{"results", results}}))
      .WillRepeatedly(Return(Json{{"total", 0}}));
  EXPECT_EQ(dump_json(t.tarnel.search_codebase("a", "q", 5, nullptr, false, "semantic_purpose")),
            dump_json(Json{{"results", results}, {"grouped_results", expected}}));

  // Without results every bucket is there and empty; only the exact name groups.
  EXPECT_EQ(dump_json(t.tarnel.search_codebase("a", "q", 5, nullptr, false, "semantic_purpose")),
            R"({"total": 0, "grouped_results": {"storage_operations": [], "search_operations": )"
            R"([], "encoding_operations": [], "llm_interactions": [], "other": []}})");
  EXPECT_EQ(t.tarnel.search_codebase("a", "q", 5, nullptr, false, "Semantic_Purpose"),
            (Json{{"total", 0}}));
}

TEST(SearchTest, WrongKindsAndFailuresReachTheCaller) {
  TarnelWithFakes t;
  for (const Json& filter : {Json("src/a.py"), Json::object(), Json(1)}) {
    EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, filter), TypeError);
  }
  // Without options anything but an object or null is refused; with them null is refused too,
  // and so is a hit or a call that is not a record.
  EXPECT_CALL(*t.mocks->retriever, search(_, _, _, _))
      .WillOnce(Invoke([](auto&, auto&, auto, auto&) -> Json { throw std::runtime_error("x"); }))
      .WillOnce(Return(Json::array()))
      .WillOnce(Return(Json()))
      .WillOnce(Return(Json{{"results", {1}}}))
      .WillOnce(Return(Json{{"results", {hit(R"({"calls": [5]})")}}}))
      .WillOnce(Return(Json{{"results", {hit(R"({"content": 5})")}}}));
  EXPECT_THROW(t.tarnel.search_codebase("a", "q"), std::runtime_error);
  EXPECT_EQ(profile_of(t.tarnel, "search")["count"], 0);
  EXPECT_THROW(t.tarnel.search_codebase("a", "q"), TypeError);
  for (int i = 0; i < 3; ++i) {
    EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, nullptr, true), TypeError);
  }
  EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, nullptr, false, "semantic_purpose"),
               TypeError);
}

}  // namespace
}  // namespace vantory
