#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/test_support.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::Eq;
using ::testing::InSequence;
using ::testing::Return;
using namespace vantory::testing;

TEST(CacheTest, ReportsPassThroughTheStore) {
  using Report = Json (Tarnel::*)(const std::string&);
  const Json report = Json::parse(R"({"tokens_saved": 1200, "files": {"a.py": "fresh"}})");
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, get_token_savings_report("a"))
      .WillOnce(Return(report)).WillOnce(Return(Json())).WillOnce(Return(Json::array()));
  EXPECT_CALL(*t.mocks->store, get_detailed_cache_stats("a"))
      .WillOnce(Return(report)).WillOnce(Return(Json())).WillOnce(Return(Json(0)));
  EXPECT_CALL(*t.mocks->store, get_usage_report("a"))
      .WillOnce(Return(report)).WillOnce(Return(Json())).WillOnce(Return(Json("report")));
  for (Report op : {&Tarnel::get_token_savings, &Tarnel::cache_stats, &Tarnel::usage_report}) {
    EXPECT_EQ(dump_json((t.tarnel.*op)("a")), dump_json(report));
    EXPECT_TRUE((t.tarnel.*op)("a").is_null());
    EXPECT_THROW((t.tarnel.*op)("a"), TypeError);
  }
}

TEST(CacheTest, FileAndStaleScopesDeleteTheVectorsTheStoreReports) {
  struct Case {
    const char* scope;
    const char* store_answer;
    bool deletes;
    std::string answer;
  };
  const std::string file = R"("scope": "file", "file_path": "./src//a.py", "vectors_cleaned": )";
  const Case cases[] = {
      {"file", R"({"removed": true, "hash_ids": ["h1", "h2", "h3"]})", true,
       R"({"status": "invalidated", )" + file + "3}"},
      {"file", R"({"removed": false})", false, R"({"status": "not_found", )" + file + "0}"},
      {"file", R"({"removed": 1, "hash_ids": []})", false,
       R"({"status": "invalidated", )" + file + "0}"},
      {"file", R"({"removed": false, "hash_ids": ["h1"]})", false,
       R"({"status": "not_found", )" + file + "1}"},
      {"stale", R"({"files": [], "invalidated": 0, "hash_ids": []})", false,
       R"({"status": "invalidated", "scope": "stale", "invalidated": 0, "files": [], )"
       R"("vectors_cleaned": 0})"},
      {"stale", R"({"files": ["x.py"], "invalidated": {"n": 1}, "hash_ids": ["h", "h"]})", true,
       R"({"status": "invalidated", "scope": "stale", "invalidated": {"n": 1}, )"
       R"("files": ["x.py"], "vectors_cleaned": 2})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.store_answer);
    TarnelWithFakes t;
    const Json store_answer = Json::parse(c.store_answer);
    EXPECT_CALL(*t.mocks->store, invalidate_with_vectors("agent", "./src//a.py"))
        .WillRepeatedly(Return(store_answer));
    EXPECT_CALL(*t.mocks->store, invalidate_stale("agent")).WillRepeatedly(Return(store_answer));
    if (c.deletes) {
      EXPECT_CALL(*t.mocks->ambrel, delete_vectors("agent", Eq(store_answer["hash_ids"])));
    }
    EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("agent", "./src//a.py", c.scope)), c.answer);
  }
}

TEST(CacheTest, MissingRequiredKeysAreKeyErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"file", R"({"hash_ids": []})"},
      {"file", R"({"removed": true})"},
      {"stale", R"({"invalidated": 0, "files": []})"},
      {"stale", R"({"hash_ids": [], "files": []})"},
      {"stale", R"({"hash_ids": [], "invalidated": 0})"},
  };
  for (const auto& [scope, store_answer] : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, invalidate_with_vectors(_, _))
        .WillRepeatedly(Return(Json::parse(store_answer)));
    EXPECT_CALL(*t.mocks->store, invalidate_stale(_))
        .WillRepeatedly(Return(Json::parse(store_answer)));
    EXPECT_THROW(t.tarnel.invalidate_cache("a", "f.py", scope), KeyError) << store_answer;
  }
}

TEST(CacheTest, AllScopeClearsOnlyThisAgentsData) {
  TarnelWithFakes t;
  t.mocks->store->_global_index = Json::parse(R"({"other-agent": {"b.py": 1}})");
  const Json contexts = Json::parse(R"([
      {"file_path": "a.py", "chunks": [{"hash_id": "h1"}, {"name": "no hash"}, {"hash_id": ""}]},
      {"file_path": "b.py"},
      {"file_path": "c.py", "chunks": [{"hash_id": "h2"}, {"hash_id": "h1"}]}])");
  {
    InSequence in_order;  // vectors go before the contexts that name them
    for (const Json& loaded : {contexts, Json::array()}) {
      EXPECT_CALL(*t.mocks->store, _load_agent_data("agent", "file_contexts"))
          .WillOnce(Return(snapshot(loaded)));
      if (!loaded.empty()) {
        EXPECT_CALL(*t.mocks->ambrel, delete_vectors("agent", Eq(Json{"h1", "h2", "h1"})));
      }
      EXPECT_CALL(*t.mocks->store, _save_agent_data("agent", "file_contexts", Eq(Json::array())));
      EXPECT_CALL(*t.mocks->store, drop_global_index_entries("agent"));
      EXPECT_CALL(*t.mocks->store, _save_global_index());
    }
  }
  EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("agent", std::nullopt, "all")),
            R"({"status": "invalidated", "scope": "all", "invalidated": 3, "vectors_cleaned": 3})");
  EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("agent", "x.py", "all")),
            R"({"status": "invalidated", "scope": "all", "invalidated": 0, "vectors_cleaned": 0})");
  EXPECT_EQ(dump_json(t.mocks->store->_global_index), R"({"other-agent": {"b.py": 1}})");

  EXPECT_CALL(*t.mocks->store, _load_agent_data("agent", "file_contexts"))
      .WillOnce(Return(snapshot(Json::object())))
      .WillOnce(Return(snapshot(Json::parse(R"([{"chunks": [3]}])"))));
  EXPECT_THROW(t.tarnel.invalidate_cache("agent", std::nullopt, "all"), TypeError);
  EXPECT_THROW(t.tarnel.invalidate_cache("agent", std::nullopt, "all"), TypeError);
}

TEST(CacheTest, UnknownScopesAndFileScopeWithoutPathCallNothing) {
  const std::tuple<std::optional<std::string>, std::string, std::string> cases[] = {
      {"a.py", "files", "Invalid scope 'files'. Use 'file', 'stale', or 'all'."},
      {"a.py", "ALL", "Invalid scope 'ALL'. Use 'file', 'stale', or 'all'."},
      {std::nullopt, "", "Invalid scope ''. Use 'file', 'stale', or 'all'."},
      {std::nullopt, "file", "Scope 'file' requires a file_path."},
      {"", "file", "Scope 'file' requires a file_path."},
  };
  TarnelWithFakes t;
  for (const auto& [file_path, scope, message] : cases) {
    EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("a", file_path, scope)), error_text(message));
  }
  EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("a")),
            error_text("Scope 'file' requires a file_path."));
}

}  // namespace
}  // namespace vantory
