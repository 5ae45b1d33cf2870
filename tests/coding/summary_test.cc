#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/test_support.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::Return;
using namespace vantory::testing;

const Json kHit = Json::parse(R"({"status": "cache_hit", "code_flow": {"main": ["run"]}})");

// The agent's contexts: another file first, then `path` with `chunks` given as "type:name"
// ("type:" for no name, ":" for neither).
Json contexts_with(const std::string& path, const std::vector<std::string>& chunks = {}) {
  Json records = Json::array();
  for (const std::string& chunk : chunks) {
    std::size_t colon = chunk.find(':');
    Json record = Json::object();
    if (colon > 0) record["type"] = chunk.substr(0, colon);
    if (colon + 1 < chunk.size()) record["name"] = chunk.substr(colon + 1);
    records.push_back(record);
  }
  return Json{Json{{"file_path", "elsewhere.py"}},
              Json{{"file_path", path}, {"language", "python"}, {"chunks", records}}};
}

TEST(SummaryTest, BriefLineCountsTypesAndNamesUpToEightUnits) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"function:run", "class:App", ":", "function:main", "function:"},
       "5 chunks \u2014 3 functions, 1 classs, 1 blocks. Key: run, App, main"},
      {{"function:f0", "function:f1", "function:f2", "function:f3", "function:f4", "function:f5",
        "function:f6", "function:f7", "class:f8", "function:f9"},
       "10 chunks \u2014 9 functions, 1 classs. Key: f0, f1, f2, f3, f4, f5, f6, f7"},
      {{"block:b", "method:m"}, "2 chunks \u2014 1 blocks, 1 methods. Key: "},
      {{}, "0 chunks \u2014 . Key: "},
  };
  for (const auto& [chunks, summary] : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", "src/app.py")).WillOnce(Return(kHit));
    EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
        .WillOnce(Return(snapshot(contexts_with("./src/app.py", chunks))));
    EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", "./src//app.py")),
              dump_json(Json{{"status", "ok"}, {"verbosity", "brief"}, {"file", "app.py"},
                             {"language", "python"}, {"summary", "app.py (python): " + summary}}));
  }
}

TEST(SummaryTest, VerbosityChoosesTheFormExactly) {
  const std::string normal =
      R"({"status": "ok", "verbosity": "normal", "file": "app.py", "language": "python", )"
      R"("code_flow": {"main": ["run"]}, "freshness": "unknown"})";
  const std::pair<const char*, std::string> cases[] = {
      {"detailed",
       R"({"status": "ok", "verbosity": "detailed", "file": "app.py", "language": "python", )"
       R"("chunks": [{"name": "run", "type": "function", "content": "", "summary": "", )"
       R"("keywords": []}, {"name": "", "type": "", "content": "", "summary": "", )"
       R"("keywords": []}], "total_chunks": 2})"},
      {"normal", normal},
      {"Brief", normal},
      {"full", normal},
  };
  for (const auto& [verbosity, answer] : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", "app.py")).WillOnce(Return(kHit));
    EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
        .WillOnce(Return(snapshot(contexts_with("app.py", {"function:run", ":"}))));
    EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", "app.py", verbosity)), answer);
  }
}

TEST(SummaryTest, MissingOrStaleContextIsReindexedFromDisk) {
  ScratchDir dir;
  const std::string file = dir.write("app.py", "def run():\r\n    pass\r\n");
  for (const Json& first : {Json{{"status", "cache_miss"}},
                            Json{{"status", "cache_hit"}, {"freshness", "stale"}}}) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", file))
        .WillOnce(Return(first))
        .WillOnce(Return(Json{{"status", "cache_hit"}, {"freshness", "fresh"}}));
    EXPECT_CALL(*t.mocks->chunking, detect_language(file)).WillOnce(Return("python"));
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python")).WillOnce([](auto&) {
      return std::unique_ptr<Chunker>(std::make_unique<RecordingChunker>(
          std::vector<Json>{Json{{"name", "run"}}}, nullptr, nullptr));
    });
    EXPECT_CALL(*t.mocks->builder, process_file_chunks("a", file, _, "python"))
        .WillOnce(Return(Json{{"status", "ok"}}));
    EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
        .WillOnce(Return(snapshot(contexts_with(file))));
    EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", dir.path() + "//./app.py", "normal")),
              R"({"status": "ok", "verbosity": "normal", "file": "app.py", "language": )"
              R"("python", "code_flow": {}, "freshness": "fresh"})");
  }
}

TEST(SummaryTest, ReindexOnlyWhatExistsAndIgnoreItsErrorObjects) {
  ScratchDir dir;
  TarnelWithFakes t;
  // A deleted file keeps the stale context the store still holds.
  const std::string gone = dir.path() + "/gone.py";
  EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", gone))
      .WillOnce(Return(Json{{"status", "cache_hit"}, {"freshness", "stale"}}));
  EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
      .WillOnce(Return(snapshot(contexts_with(gone))));
  EXPECT_EQ(t.tarnel.summarize_context("a", gone, "normal")["freshness"], "stale");
  EXPECT_EQ(t.mocks->chunking_binds, 0);

  // A directory, "" (the current directory) and a device exist but are not read: refused
  // before anything opens them.
  for (const std::string& path : {dir.path(), std::string("."), std::string("/dev/zero")}) {
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", path))
        .Times(2)
        .WillRepeatedly(Return(Json{{"status", "cache_miss"}}));
  }
  EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", dir.path() + "/")),
            error_text("Could not retrieve context: " + dir.path()));
  EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", "")),
            error_text("Could not retrieve context: ."));
  EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", "/dev/zero")),
            error_text("Could not retrieve context: /dev/zero"));

  EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", dir.path()))
      .WillOnce(Return(Json{{"status", "cache_miss"}}));
  t.mocks->fail_chunking_bind = true;
  EXPECT_THROW(t.tarnel.summarize_context("a", dir.path()), std::runtime_error);
}

TEST(SummaryTest, ContextThatCannotBeFoundAnswersAnError) {
  const std::tuple<std::string, Json, Json, std::string> cases[] = {
      {"nowhere/../missing.py", Json{{"status", "cache_miss"}}, nullptr,
       "Could not retrieve context: missing.py"},
      {"//nowhere/x.py", Json{{"status", "cache_miss"}}, nullptr,
       "Could not retrieve context: //nowhere/x.py"},
      {"/../nowhere//x.py/", Json::object(), nullptr, "Could not retrieve context: /nowhere/x.py"},
      {"a.py", kHit, contexts_with("b.py"), "Context not found in store: a.py"},
      {"A.py", kHit, contexts_with("a.py"), "Context not found in store: A.py"},
  };
  for (const auto& [path, context_answer, stored, message] : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", _)).WillOnce(Return(context_answer));
    if (!stored.is_null()) {
      EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts")).WillOnce(Return(snapshot(stored)));
    }
    EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", path)), error_text(message));
  }
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, retrieve_file_context(_, _)).WillOnce(Return(Json("hit")));
  EXPECT_THROW(t.tarnel.summarize_context("a", "a.py"), TypeError);
}

}  // namespace
}  // namespace vantory
