#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::Eq;
using ::testing::InSequence;
using ::testing::Return;
using testing::TarnelWithFakes;

TEST(CacheTest, ReportsPassThroughTheStore) {
  using Report = Json (Tarnel::*)(const std::string&);
  const Json report = Json::parse(R"({"tokens_saved": 1200, "files": {"a.py": "fresh"}})");
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, get_token_savings_report("a"))
      .WillOnce(Return(report))
      .WillOnce(Return(Json()))
      .WillOnce(Return(Json::array()));
  EXPECT_CALL(*t.mocks->store, get_detailed_cache_stats("a"))
      .WillOnce(Return(report))
      .WillOnce(Return(Json()))
      .WillOnce(Return(Json(0)));
  EXPECT_CALL(*t.mocks->store, get_usage_report("a"))
      .WillOnce(Return(report))
      .WillOnce(Return(Json()))
      .WillOnce(Return(Json("report")));
  for (Report op : {&Tarnel::get_token_savings, &Tarnel::cache_stats, &Tarnel::usage_report}) {
    EXPECT_EQ(dump_json((t.tarnel.*op)("a")), dump_json(report));
    EXPECT_TRUE((t.tarnel.*op)("a").is_null());
    EXPECT_THROW((t.tarnel.*op)("a"), TypeError);
  }
}

TEST(CacheTest, FileScopeDeletesTheVectorsTheStoreReports) {
  struct Case {
    const char* what;
    Json store_answer;
    bool deletes;
    std::string answer;
  };
  const Case cases[] = {
      {"three vectors", Json::parse(R"({"removed": true, "hash_ids": ["h1", "h2", "h3"]})"), true,
       R"({"status": "invalidated", "scope": "file", "file_path": "./src//a.py", )"
       R"("vectors_cleaned": 3})"},
      {"not indexed", Json::parse(R"({"removed": false})"), false,
       R"({"status": "not_found", "scope": "file", "file_path": "./src//a.py", )"
       R"("vectors_cleaned": 0})"},
      {"removed without vectors", Json::parse(R"({"removed": 1, "hash_ids": []})"), false,
       R"({"status": "invalidated", "scope": "file", "file_path": "./src//a.py", )"
       R"("vectors_cleaned": 0})"},
      {"ids reported but nothing removed",
       Json::parse(R"({"removed": false, "hash_ids": ["h1"]})"), false,
       R"({"status": "not_found", "scope": "file", "file_path": "./src//a.py", )"
       R"("vectors_cleaned": 1})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, invalidate_with_vectors("agent", "./src//a.py"))
        .WillOnce(Return(c.store_answer));
    if (c.deletes) {
      EXPECT_CALL(*t.mocks->ambrel, delete_vectors("agent", Eq(c.store_answer["hash_ids"])));
    }
    EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("agent", "./src//a.py")), c.answer);
  }
}

TEST(CacheTest, MissingRequiredKeysAreKeyErrors) {
  struct Case {
    const char* scope;
    Json store_answer;
  };
  const Case cases[] = {
      {"file", Json::parse(R"({"hash_ids": []})")},
      {"file", Json::parse(R"({"removed": true})")},
      {"stale", Json::parse(R"({"invalidated": 0, "files": []})")},
      {"stale", Json::parse(R"({"hash_ids": [], "files": []})")},
      {"stale", Json::parse(R"({"hash_ids": [], "invalidated": 0})")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(dump_json(c.store_answer));
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, invalidate_with_vectors(_, _)).WillRepeatedly(Return(c.store_answer));
    EXPECT_CALL(*t.mocks->store, invalidate_stale(_)).WillRepeatedly(Return(c.store_answer));
    EXPECT_THROW(t.tarnel.invalidate_cache("a", "f.py", c.scope), KeyError);
  }
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, invalidate_stale(_)).WillOnce(Return(Json()));
  EXPECT_THROW(t.tarnel.invalidate_cache("a", std::nullopt, "stale"), TypeError);
}

TEST(CacheTest, StaleScopeCopiesTheStoresCounts) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, invalidate_stale("a"))
      .WillOnce(Return(Json::parse(R"({"files": [], "invalidated": 0, "hash_ids": []})")))
      .WillOnce(Return(
          Json::parse(R"({"files": ["x.py"], "invalidated": {"n": 1}, "hash_ids": ["h", "h"]})")));
  EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("a", std::nullopt, "stale")),
            R"({"status": "invalidated", "scope": "stale", "invalidated": 0, "files": [], )"
            R"("vectors_cleaned": 0})");
  EXPECT_CALL(*t.mocks->ambrel, delete_vectors("a", Eq(Json{"h", "h"})));
  EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("a", "ignored.py", "stale")),
            R"({"status": "invalidated", "scope": "stale", "invalidated": {"n": 1}, )"
            R"("files": ["x.py"], "vectors_cleaned": 2})");
}

TEST(CacheTest, AllScopeClearsOnlyThisAgentsData) {
  TarnelWithFakes t;
  t.mocks->store->_global_index = Json::parse(R"({"other-agent": {"b.py": 1}})");
  const Json contexts = Json::parse(R"([
      {"file_path": "a.py", "chunks": [{"hash_id": "h1"}, {"name": "no hash"}, {"hash_id": ""}]},
      {"file_path": "b.py"},
      {"file_path": "c.py", "chunks": [{"hash_id": "h2"}, {"hash_id": "h1"}]}])");
  {
    InSequence in_order;
    EXPECT_CALL(*t.mocks->store, _load_agent_data("agent", "file_contexts"))
        .WillOnce(Return(contexts));
    EXPECT_CALL(*t.mocks->ambrel, delete_vectors("agent", Eq(Json{"h1", "h2", "h1"})));
    EXPECT_CALL(*t.mocks->store, _save_agent_data("agent", "file_contexts", Eq(Json::array())));
    EXPECT_CALL(*t.mocks->store, _drop_global_index_entries("agent"));
    EXPECT_CALL(*t.mocks->store, _save_global_index());
  }
  EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("agent", std::nullopt, "all")),
            R"({"status": "invalidated", "scope": "all", "invalidated": 3, "vectors_cleaned": 3})");
  EXPECT_EQ(dump_json(t.mocks->store->_global_index), R"({"other-agent": {"b.py": 1}})");
}

TEST(CacheTest, AllScopeWithoutContextsStillSaves) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
      .WillOnce(Return(Json::array()));
  EXPECT_CALL(*t.mocks->store, _save_agent_data("a", "file_contexts", Eq(Json::array())));
  EXPECT_CALL(*t.mocks->store, _drop_global_index_entries("a"));
  EXPECT_CALL(*t.mocks->store, _save_global_index());
  EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("a", "x.py", "all")),
            R"({"status": "invalidated", "scope": "all", "invalidated": 0, "vectors_cleaned": 0})");

  EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
      .WillOnce(Return(Json::object()))
      .WillOnce(Return(Json::parse(R"([{"chunks": [3]}])")));
  EXPECT_THROW(t.tarnel.invalidate_cache("a", std::nullopt, "all"), TypeError);
  EXPECT_THROW(t.tarnel.invalidate_cache("a", std::nullopt, "all"), TypeError);
}

TEST(CacheTest, UnknownScopesAndFileScopeWithoutPathCallNothing) {
  struct Case {
    std::optional<std::string> file_path;
    std::string scope;
    std::string message;
  };
  const Case cases[] = {
      {"a.py", "files", "Invalid scope 'files'. Use 'file', 'stale', or 'all'."},
      {"a.py", "ALL", "Invalid scope 'ALL'. Use 'file', 'stale', or 'all'."},
      {std::nullopt, "", "Invalid scope ''. Use 'file', 'stale', or 'all'."},
      {std::nullopt, "file", "Scope 'file' requires a file_path."},
      {"", "file", "Scope 'file' requires a file_path."},
  };
  TarnelWithFakes t;
  for (const Case& c : cases) {
    EXPECT_EQ(dump_json(t.tarnel.invalidate_cache("a", c.file_path, c.scope)),
              dump_json(Json{{"status", "error"}, {"message", c.message}}));
  }
  EXPECT_EQ(t.tarnel.invalidate_cache("a")["message"], "Scope 'file' requires a file_path.");
}

}  // namespace
}  // namespace vantory
