#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "memory/ambrel/local_ambrel.h"
#include "tests/memory/ambrel/ambrel_test_util.h"

namespace vantory {
namespace {

using ambrel_test::column;

Json search(const std::string& query, const char* memories, std::int64_t top_k = 10) {
  return LocalAmbrel::keyword_search(query, parse_json(memories), top_k);
}

TEST(KeywordSearch, WorkedExample) {
  Json results = search("deploy the server",
                        R"([{"content": "We deploy the server nightly", "keywords": ["server"]}])");
  EXPECT_EQ(dump_json(results),
            "[{\"content\": \"We deploy the server nightly\", \"keywords\": [\"server\"], "
            "\"keyword_score\": 4.05}]");
  EXPECT_EQ(LocalAmbrel::STOPWORDS.size(), 111u);
}

// Long queries are matched in one pass over each text; the scores are those of the short path.
TEST(KeywordSearch, ManyWordsScoreAsFewDoAndHugeQueriesAreRefused) {
  const std::string query = "alpha bravo charlie delta echo foxtrot golf hotel india alpha";
  // alpha (twice) and bravo in the text, charlie in a keyword, a keyword in delta, echo in the
  // topic, foxtrot in a person: (0.55 * 3 + 0.6 + 0.6 + 0.4 + 0.5) * (0.5 + 3/10) * 1.5.
  Json found = search(query, R"([{"content": "alpha bravo xx", "keywords": ["charlie-team",
      "del"], "topic": "echo", "persons": ["Foxtrot Smith"]}, {"content": "nothing here"}])");
  EXPECT_EQ(column(found, "keyword_score"), std::vector<Json>{4.5});
  Json empty_keyword = search(query, R"([{"content": "india", "keywords": [""]}])");
  EXPECT_EQ(column(empty_keyword, "keyword_score"), std::vector<Json>{5.895});

  std::string huge(LocalAmbrel::kMaxKeywordQueryBytes + 1, 'x');
  EXPECT_THROW(search(huge, R"([{"content": "x"}])"), ValueError);
}

TEST(KeywordSearch, QueryWordsFollowUnicodeCaseSpaceAndLength) {
  struct Case {
    std::string query;
    const char* memories;
    std::vector<Json> scores;
  } cases[] = {
      {"is it ok", R"([{"content": "is it ok"}])", {}},
      {"what about them", R"([{"content": "so what about them then"}])", {7.987}},
      {"deploy", R"([{"content": "deploy deploy"}])", {1.35}},  // one word: no phrase bonus
      {"server,", R"([{"content": "server ok"}])", {}},         // punctuation stays in the word
      {"deploy\xE3\x80\x80server\xC2\xA0now", R"([{"content": "we deploy server now"}])", {8.213}},
      {"\xC4\xB0stanbul", R"([{"content": "\u0130STANBUL trip"}])", {1.688}},  // İ -> i + dot
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3",
       R"([{"content": "\u039f\u0394\u039f\u03a3 x"}])",
       {1.125}},
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3",
       R"([{"content": "\u039f\u0394\u039f\u03a3\u0391"}])",
       {}},
      {"\xE6\x97\xA5\xE6\x9C\xAC", R"([{"content": "\u65e5\u672c"}])", {}},  // 2 code points
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
       R"([{"content": "\u65e5\u672c\u8a9e\u3067\u3059"}])",
       {1.013}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(column(search(c.query, c.memories), "keyword_score"), c.scores) << c.query;
  }
}

TEST(KeywordSearch, WordsAreFoundAtEveryPosition) {
  for (std::size_t length : {6u, 15u, 16u, 17u, 40u}) {
    for (std::size_t at = 0; at + 6 <= length; ++at) {
      std::string text(length, 'd');
      text.replace(at, 6, "deploy");
      Json memories = {{{"content", text}},
                       {{"content", text.substr(0, at) + "deplox" + text.substr(at + 6)}}};
      EXPECT_EQ(LocalAmbrel::keyword_search("deploy", memories).size(), 1u) << length << " " << at;
    }
  }
}

TEST(KeywordSearch, ScoringRulesAndOrder) {
  Json results = search("deploy server", R"([
      {"id": "empty keyword", "content": "deploy it", "keywords": [""]},
      {"id": "no importance", "content": "deploy", "importance": -1},
      {"id": "text misses", "content": "nothing", "keywords": ["deploy"], "topic": "server",
       "persons": ["server"]},
      {"id": "all kinds", "content": "Deploy", "topic": "The Server team",
       "persons": ["Serverina", "DEPLOY"], "importance": 1, "keyword_score": "old"},
      {"content": "deploy", "importance": true},
      {"id": "tie", "content": "deploy it", "keywords": [""]}])");
  EXPECT_EQ(column(results, "id"),
            (std::vector<Json>{"all kinds", "empty keyword", "tie", nullptr}));
  EXPECT_EQ(column(results, "keyword_score"), (std::vector<Json>{4.0, 2.7, 2.7, 1.2}));
  EXPECT_EQ(results[0].items().begin().key(), "id");
  EXPECT_EQ(std::prev(results[0].end()).key(), "keyword_score");  // replaced where it stood
  EXPECT_EQ(column(search("deploy server", R"([{"content": "deploy server"}])", -1), "id"),
            std::vector<Json>{});
}

TEST(KeywordSearch, RoundingDecidesOnTheExactDouble) {
  // "ship" found in the text scores 0.5 * 1.5 = 0.75 before the importance factor.
  struct Case {
    const char* importance;
    double rounded;
  } cases[] = {
      {"-0.25", 0.562},             // 0.5625 exactly: the tie goes to the even digit
      {"0.25", 0.938},              // 0.9375 exactly
      {"0.3339999999999998", 1.0},  // just below 1.0005
      {"0.334", 1.001},             // just above
  };
  for (const Case& c : cases) {
    std::string memories =
        std::string(R"([{"content": "ship", "importance": )") + c.importance + "}]";
    EXPECT_EQ(column(search("ship", memories.c_str()), "keyword_score"),
              std::vector<Json>{c.rounded})
        << c.importance;
  }
}

TEST(KeywordSearch, MalformedEntriesFailTheCall) {
  const char* cases[] = {
      R"([{"content": "deploy"}, 3])",
      R"([{"content": null}])",
      R"([{"lossless_restatement": "", "content": 0}])",
      R"([{"lossless_restatement": 5, "content": "deploy"}])",
      R"([{"content": "deploy", "topic": null}])",
      R"([{"content": "deploy", "keywords": ["a", 1]}])",
      R"([{"content": "deploy", "keywords": "deploy"}])",
      R"([{"content": "deploy", "persons": null}])",
      R"([{"content": "deploy", "importance": null}])",
      R"([{"content": "deploy", "importance": "high"}])",
      R"({"content": "deploy"})",
  };
  for (const char* memories : cases) {
    EXPECT_THROW(search("deploy", memories), TypeError) << memories;
  }
  try {
    search("deploy", R"([{"content": "deploy"}, {"content": "x", "topic": null}])");
    ADD_FAILURE();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "memory entry 1: 'topic' must be a string, not NoneType");
  }
}

}  // namespace
}  // namespace vantory
