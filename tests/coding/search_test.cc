#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/fakes.h"
#include "tests/coding/test_support.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::Eq;
using ::testing::Invoke;
using ::testing::Return;
using testing::ManualClock;
using testing::TarnelWithFakes;
using testing::profile_of;

Json hit(const std::string& chunk_json) {
  return Json{{"chunk", Json::parse(chunk_json)}, {"score", 0.5}};
}

TEST(SearchTest, PlainSearchPassesTheAnswerThroughAndTimesOnlyTheRetriever) {
  TarnelWithFakes t;
  ManualClock clock;
  clock.install(t.tarnel);
  const Json answer = Json::parse(R"({"zeta": true, "results": [{"x": 1}], "alpha": null})");
  const Json filter = Json::parse(R"(["src/a.py"])");
  EXPECT_CALL(*t.mocks->retriever, search("agent", "find users", 9, Eq(filter)))
      .WillOnce(Invoke([&](auto&, auto&, auto, auto&) {
        clock.advance_ms(12);
        return answer;
      }));
  EXPECT_EQ(dump_json(t.tarnel.search_codebase("agent", "find users", 9, filter)),
            dump_json(answer));

  EXPECT_CALL(*t.mocks->retriever, search("agent", "q", 5, Eq(Json())))
      .WillOnce(Return(Json()));
  EXPECT_TRUE(t.tarnel.get_mem("agent", "q").is_null());
  EXPECT_EQ(dump_json(profile_of(t.tarnel, "search")), R"({"avg_ms": 6.0, "count": 2})");
  EXPECT_EQ(profile_of(t.tarnel, "indexing")["count"], 0);
}

TEST(SearchTest, CallChainListsEachHitAndItsCalls) {
  struct Case {
    const char* what;
    Json results;
    std::vector<std::string> chain;
  };
  const Case cases[] = {
      {"a hit with one call",
       Json::array({hit(R"({"file_path": "src/db/users.py", "name": "save_user",
                             "start_line": 40, "calls": [{"target": "insert_row", "line": 42}]})")}),
       {"users.py:save_user [line 40]", "  \u2192 insert_row [line 42]"}},
      {"a call without line or target",
       Json::array({hit(R"({"file_path": "a.py", "name": "f", "start_line": 1,
                             "calls": [{"target": "g"}, {"line": 3}]})")}),
       {"a.py:f [line 1]", "  \u2192 g [line None]", "  \u2192 None [line 3]"}},
      {"a result without chunk", Json::array({Json{{"score", 1}}}), {":unknown [line 0]"}},
      {"a path ending in a slash, a path without one",
       Json::array({hit(R"({"file_path": "src/", "name": "x"})"),
                    hit(R"({"file_path": "top.py", "name": "y", "start_line": 2})")}),
       {":x [line 0]", "top.py:y [line 2]"}},
      {"no results", Json::array(), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->retriever, search(_, _, _, _))
        .WillOnce(Return(Json{{"results", c.results}, {"total", 1}}));
    Json answer = t.tarnel.search_codebase("a", "q", 5, nullptr, true);
    EXPECT_EQ(answer["call_chain"], Json(c.chain));
    EXPECT_EQ(answer.begin().key(), "results");
    EXPECT_FALSE(answer.contains("grouped_results"));
  }
}

TEST(SearchTest, GroupingPutsEachHitInTheFirstMatchingBucket) {
  struct Case {
    const char* chunk;
    const char* bucket;
  };
  const Case cases[] = {
      {R"({"content": "vector store"})", "storage_operations"},  // storage precedes encoding
      {R"({"content": "collect feedback"})", "storage_operations"},  // "db" inside a word
      {R"j({"content": "def lookup(x)"})j", "search_operations"},
      {R"({"content": "", "summary": "EMBEDS the text"})", "encoding_operations"},
      {R"({"content": "call the Chat API"})", "llm_interactions"},
      {R"j({"content": "def add(a, b)", "summary": "Adds two numbers"})j", "other"},
      {R"({})", "other"},
  };
  Json results = Json::array();
  for (const Case& c : cases) results.push_back(hit(c.chunk));
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->retriever, search(_, _, _, _))
      .WillOnce(Return(Json{{"grouped_results", "theirs"}, {"results", results}}));
  Json answer = t.tarnel.search_codebase("a", "q", 5, nullptr, false, "semantic_purpose");

  Json expected = Json::parse(
      R"({"storage_operations": [], "search_operations": [], "encoding_operations": [],
          "llm_interactions": [], "other": []})");
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    expected[cases[i].bucket].push_back(results[i]);
  }
  EXPECT_EQ(dump_json(answer["grouped_results"]), dump_json(expected));
  // The retriever's own key of the same name is replaced where it stood.
  EXPECT_EQ(answer.begin().key(), "grouped_results");
  EXPECT_FALSE(answer.contains("call_chain"));
}

TEST(SearchTest, GroupingAnswersEmptyBucketsAndOnlyForTheExactName) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->retriever, search(_, _, _, _))
      .WillRepeatedly(Return(Json{{"total", 0}}));
  EXPECT_EQ(dump_json(t.tarnel.search_codebase("a", "q", 5, nullptr, true, "semantic_purpose")),
            R"({"total": 0, "call_chain": [], "grouped_results": {"storage_operations": [], )"
            R"("search_operations": [], "encoding_operations": [], "llm_interactions": [], )"
            R"("other": []}})");
  for (const char* other : {"Semantic_Purpose", "semantic purpose", ""}) {
    EXPECT_EQ(dump_json(t.tarnel.search_codebase("a", "q", 5, nullptr, false, other)),
              R"({"total": 0})");
  }
}

TEST(SearchTest, WrongKindsAreTypeErrors) {
  TarnelWithFakes t;
  for (const Json& filter : {Json("src/a.py"), Json::object(), Json(1)}) {
    EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, filter), TypeError);
  }
  EXPECT_EQ(profile_of(t.tarnel, "search")["count"], 0);

  // Without options anything but an object or null is refused; with them null is refused too.
  EXPECT_CALL(*t.mocks->retriever, search(_, _, _, _))
      .WillOnce(Return(Json::array()))
      .WillOnce(Return(Json()))
      .WillOnce(Return(Json{{"results", "none"}}))
      .WillOnce(Return(Json{{"results", {1}}}))
      .WillOnce(Return(Json{{"results", {Json{{"chunk", nullptr}}}}}))
      .WillOnce(Return(Json{{"results", {hit(R"({"calls": [5]})")}}}))
      .WillOnce(Return(Json{{"results", {hit(R"({"content": 5})")}}}));
  EXPECT_THROW(t.tarnel.search_codebase("a", "q"), TypeError);
  EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, nullptr, true), TypeError);
  EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, nullptr, true), TypeError);
  EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, nullptr, true), TypeError);
  EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, nullptr, true), TypeError);
  EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, nullptr, true), TypeError);
  EXPECT_THROW(t.tarnel.search_codebase("a", "q", 5, nullptr, false, "semantic_purpose"),
               TypeError);
}

TEST(SearchTest, RetrieverFailureReachesTheCallerUntimed) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->retriever, search(_, _, _, _))
      .WillOnce(Invoke([](auto&, auto&, auto, auto&) -> Json {
        throw std::runtime_error("index locked");
      }));
  EXPECT_THROW(t.tarnel.search_codebase("a", "q"), std::runtime_error);
  EXPECT_EQ(profile_of(t.tarnel, "search")["count"], 0);
}

}  // namespace
}  // namespace vantory
