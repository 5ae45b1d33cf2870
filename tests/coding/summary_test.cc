#include <gtest/gtest.h>

#include <filesystem>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/fakes.h"
#include "tests/coding/test_support.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::Return;
using testing::ScratchDir;
using testing::TarnelWithFakes;

const Json kHit = Json::parse(R"({"status": "cache_hit", "freshness": "fresh",
                                  "code_flow": {"main": ["run"]}})");

Json contexts_with(const std::string& path, const Json& chunks) {
  return Json::array({Json{{"file_path", "elsewhere.py"}, {"chunks", Json::array()}},
                      Json{{"file_path", path}, {"language", "python"}, {"chunks", chunks}}});
}

Json chunks_of(const std::vector<std::pair<const char*, const char*>>& type_and_name) {
  Json chunks = Json::array();
  for (const auto& [type, name] : type_and_name) {
    Json chunk = Json::object();
    if (type) chunk["type"] = type;
    if (name) chunk["name"] = name;
    chunks.push_back(chunk);
  }
  return chunks;
}

TEST(SummaryTest, BriefLineCountsTypesAndNamesUpToEightUnits) {
  struct Case {
    const char* what;
    Json chunks;
    std::string summary;
  };
  std::vector<std::pair<const char*, const char*>> ten;
  const char* names[] = {"f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8", "f9"};
  for (const char* name : names) ten.emplace_back("function", name);
  const Case cases[] = {
      {"types in first-occurrence order",
       chunks_of({{"function", "run"}, {"class", "App"}, {nullptr, nullptr}, {"function", "main"}}),
       "app.py (python): 4 chunks \u2014 2 functions, 1 classs, 1 blocks. Key: run, App, main"},
      {"only the first eight names", chunks_of(ten),
       "app.py (python): 10 chunks \u2014 10 functions. Key: f0, f1, f2, f3, f4, f5, f6, f7"},
      {"no named units", chunks_of({{"block", "b"}, {"method", "m"}}),
       "app.py (python): 2 chunks \u2014 1 blocks, 1 methods. Key: "},
      {"an unnamed function is counted, not named", chunks_of({{"function", ""}, {"function", nullptr}}),
       "app.py (python): 2 chunks \u2014 2 functions. Key: "},
      {"no chunks", Json::array(), "app.py (python): 0 chunks \u2014 . Key: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", "src/app.py")).WillOnce(Return(kHit));
    EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
        .WillOnce(Return(contexts_with("./src/app.py", c.chunks)));
    EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", "./src//app.py")),
              dump_json(Json{{"status", "ok"},
                             {"verbosity", "brief"},
                             {"file", "app.py"},
                             {"language", "python"},
                             {"summary", c.summary}}));
  }
}

TEST(SummaryTest, VerbosityChoosesTheFormExactly) {
  const Json chunks = Json::parse(
      R"([{"name": "run", "type": "function", "content": "def run(): pass", "summary": "Runs.",
           "keywords": ["run"], "start_line": 3}, {"extra": 1}])");
  const std::string normal =
      R"({"status": "ok", "verbosity": "normal", "file": "app.py", "language": "python", )"
      R"("code_flow": {"main": ["run"]}, "freshness": "fresh"})";
  struct Case {
    const char* verbosity;
    std::string answer;
  };
  const Case cases[] = {
      {"detailed",
       R"({"status": "ok", "verbosity": "detailed", "file": "app.py", "language": "python", )"
       R"("chunks": [{"name": "run", "type": "function", "content": "def run(): pass", )"
       R"("summary": "Runs.", "keywords": ["run"]}, {"name": "", "type": "", "content": "", )"
       R"("summary": "", "keywords": []}], "total_chunks": 2})"},
      {"normal", normal},
      {"Brief", normal},
      {"full", normal},
      {"", normal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verbosity);
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", "app.py")).WillOnce(Return(kHit));
    EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
        .WillOnce(Return(contexts_with("app.py", chunks)));
    EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", "app.py", c.verbosity)), c.answer);
  }
}

TEST(SummaryTest, MissingOrStaleContextIsReindexedFromDisk) {
  ScratchDir dir;
  const std::string file = dir.write("app.py", "def run():\r\n    pass\r\n");
  const std::string given = dir.path() + "//./app.py";
  for (const Json& first : {Json{{"status", "cache_miss"}},
                            Json{{"status", "cache_hit"}, {"freshness", "stale"}}}) {
    SCOPED_TRACE(dump_json(first));
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", file))
        .WillOnce(Return(first))
        .WillOnce(Return(Json{{"status", "cache_hit"}}));
    EXPECT_CALL(*t.mocks->chunking, detect_language(file)).WillOnce(Return("python"));
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python")).WillOnce([](auto&) {
      return std::unique_ptr<Chunker>(std::make_unique<testing::RecordingChunker>(
          std::vector<Json>{Json{{"name", "run"}, {"type", "function"}}}, nullptr, nullptr));
    });
    EXPECT_CALL(*t.mocks->builder, process_file_chunks("a", file, _, "python"))
        .WillOnce(Return(Json{{"status", "ok"}}));
    EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
        .WillOnce(Return(contexts_with(file, chunks_of({{"function", "run"}}))));
    // The context answer after the re-index supplies the defaults of the normal form.
    EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", given, "normal")),
              R"({"status": "ok", "verbosity": "normal", "file": "app.py", "language": )"
              R"("python", "code_flow": {}, "freshness": "unknown"})");
    EXPECT_EQ(t.tarnel.performance_profile("a")["profile"]["indexing"]["count"], 1);
  }
}

TEST(SummaryTest, ReindexErrorObjectsAreIgnoredButFailuresRaised) {
  ScratchDir dir;  // a directory passes the existence test and then fails to be read
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", dir.path()))
      .WillOnce(Return(Json{{"status", "cache_miss"}}))
      .WillOnce(Return(Json{{"status", "cache_miss"}}))
      .WillOnce(Return(Json{{"status", "cache_miss"}}));
  EXPECT_CALL(*t.mocks->chunking, detect_language(dir.path())).WillRepeatedly(Return("text"));
  EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", dir.path() + "/")),
            dump_json(Json{{"status", "error"},
                           {"message", "Could not retrieve context: " + dir.path()}}));

  t.mocks->fail_chunking_bind = true;
  EXPECT_THROW(t.tarnel.summarize_context("a", dir.path()), std::runtime_error);
}

TEST(SummaryTest, EmptyPathIsTheCurrentDirectoryAndFailsQuietly) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", "."))
      .Times(2)
      .WillRepeatedly(Return(Json{{"status", "cache_miss"}}));
  EXPECT_CALL(*t.mocks->chunking, detect_language(".")).WillOnce(Return("text"));
  EXPECT_EQ(t.tarnel.summarize_context("a", "")["message"], "Could not retrieve context: .");
}

TEST(SummaryTest, DeletedFileKeepsItsStaleContext) {
  ScratchDir dir;
  const std::string gone = dir.path() + "/gone.py";
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", gone))
      .WillOnce(Return(Json{{"status", "cache_hit"}, {"freshness", "stale"}}));
  EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
      .WillOnce(Return(contexts_with(gone, Json::array())));
  EXPECT_EQ(t.tarnel.summarize_context("a", gone, "normal")["freshness"], "stale");
  EXPECT_EQ(t.mocks->chunking_binds, 0);
}

TEST(SummaryTest, ContextThatCannotBeFoundAnswersAnError) {
  struct Case {
    const char* what;
    std::string path;
    Json context_answer;
    Json stored;
    std::string message;
  };
  const Case cases[] = {
      {"a miss for a path that does not exist", "nowhere/../missing.py",
       Json{{"status", "cache_miss"}}, nullptr, "Could not retrieve context: missing.py"},
      {"no status at all", "a.py", Json::object(), nullptr, "Could not retrieve context: a.py"},
      {"a leading double slash stays", "//nowhere/x.py", Json{{"status", "cache_miss"}}, nullptr,
       "Could not retrieve context: //nowhere/x.py"},
      {"dot-dot above the root is dropped", "/../nowhere//x.py/", Json{{"status", "cache_miss"}},
       nullptr, "Could not retrieve context: /nowhere/x.py"},
      {"a hit the store does not list", "a.py", kHit, contexts_with("b.py", Json::array()),
       "Context not found in store: a.py"},
      {"paths differ in case", "A.py", kHit, contexts_with("a.py", Json::array()),
       "Context not found in store: A.py"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, retrieve_file_context("a", _)).WillOnce(Return(c.context_answer));
    if (!c.stored.is_null()) {
      EXPECT_CALL(*t.mocks->store, _load_agent_data("a", "file_contexts"))
          .WillOnce(Return(c.stored));
    }
    EXPECT_EQ(dump_json(t.tarnel.summarize_context("a", c.path)),
              dump_json(Json{{"status", "error"}, {"message", c.message}}));
  }
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, retrieve_file_context(_, _)).WillOnce(Return(Json("hit")));
  EXPECT_THROW(t.tarnel.summarize_context("a", "a.py"), TypeError);
}

}  // namespace
}  // namespace vantory
