#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

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

class IngestTest : public ::testing::Test {
 protected:
  void SetUp() override { clock.install(t.tarnel); }

  // Detection and chunking move the clock by whole seconds, the builder by `builder_ms`: the
  // profile then shows exactly what was timed.
  void expect_language(const std::string& path) {
    EXPECT_CALL(*t.mocks->chunking, detect_language(path)).WillOnce(Invoke([this](auto&) {
      clock.advance_ms(1000);
      return std::string("python");
    }));
  }
  void expect_builder(const std::string& path, const Json& chunks, double builder_ms) {
    EXPECT_CALL(*t.mocks->builder, process_file_chunks("a", path, Eq(chunks), "python"))
        .WillOnce(Invoke([this, builder_ms](auto&, auto&, auto&, auto&) {
          clock.advance_ms(builder_ms);
          return Json{{"zeta", 1}, {"status", "ok"}};
        }));
  }

  TarnelWithFakes t;
  ManualClock clock;
  ScratchDir dir;
};

TEST_F(IngestTest, SuppliedChunksGoToTheBuilderUnreadAndOnlyTheBuilderIsTimed) {
  using Ingest = Json (Tarnel::*)(const std::string&, const std::string&, const Json&);
  const Json chunks = Json::parse(R"([{"content": "x", "summary": ""}])");
  const std::string missing = dir.path() + "/not/there.py";
  for (Ingest op : {&Tarnel::index_file, &Tarnel::create_mem, &Tarnel::reindex_file,
                    &Tarnel::update_mem}) {
    expect_language(missing);
    expect_builder(missing, chunks, 7);
    EXPECT_EQ(dump_json((t.tarnel.*op)("a", missing, chunks)), R"({"zeta": 1, "status": "ok"})");
  }
  expect_language("f.py");
  expect_builder("f.py", Json::array(), 3);
  t.tarnel.index_file("a", "f.py", Json::array());
  EXPECT_EQ(dump_json(profile_of(t.tarnel, "indexing")), R"({"avg_ms": 6.2, "count": 5})");
}

TEST_F(IngestTest, AutoChunkingReadsTheFileAsTextAndFillsSummaries) {
  struct Case {
    std::string bytes, text_seen;
  };
  const Case cases[] = {
      {"a\xff\xfe" "b\xc3", "a\xef\xbf\xbd\xef\xbf\xbd" "b\xef\xbf\xbd"},  // invalid UTF-8
      {"x = 1\r\ny = 2\r\n", "x = 1\ny = 2\n"},
      {"x = 1\ry = 2\r", "x = 1\ny = 2\n"},
      {"", ""},
  };
  const std::vector<Json> units = {Json::parse(R"({"name": "parse", "summary": ""})"),
                                   Json::parse(R"({"type": "block"})"),
                                   Json::parse(R"({"name": "kept", "summary": "Parses."})"),
                                   Json::parse(R"({"name": 7, "summary": null})")};
  const Json stored = Json::parse(R"([{"name": "parse", "summary": "Code unit: parse"},
      {"type": "block", "summary": "Code unit: unnamed"}, {"name": "kept", "summary": "Parses."},
      {"name": 7, "summary": "Code unit: 7"}])");
  for (const Case& c : cases) {
    SCOPED_TRACE(dump_json(c.bytes));
    const std::string path = dir.write("m.py", c.bytes);
    std::string seen_text, seen_path;
    expect_language(path);
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python")).WillOnce(Invoke([&](auto&) {
      clock.advance_ms(500);
      return std::unique_ptr<Chunker>(
          std::make_unique<RecordingChunker>(units, &seen_text, &seen_path));
    }));
    expect_builder(path, stored, 3);
    EXPECT_EQ(t.tarnel.index_file("a", path)["status"], "ok");
    EXPECT_EQ(seen_text, c.text_seen);
    EXPECT_EQ(seen_path, path);
  }
  EXPECT_EQ(dump_json(profile_of(t.tarnel, "indexing")), R"({"avg_ms": 3.0, "count": 4})");
}

TEST_F(IngestTest, FilesThatCannotBeChunkedAnswerErrorObjectsAndStoreNothing) {
  const std::string file = dir.write("m.py", "def f(): pass\n");
  const std::string deleted = dir.write("gone.py", "x = 1\n");
  std::filesystem::remove(deleted);
  const std::string fifo = dir.path() + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string large = dir.write("large.py", std::string(65, '#'));
  t.tarnel.set_max_file_bytes(64);
  using Lookup = std::function<std::unique_ptr<Chunker>()>;
  struct Case {
    std::string path;
    Lookup chunker;  // empty: get_chunker is not reached
    std::string message;
    bool detects = true;  // false: refused before the language is detected
  };
  const Case cases[] = {
      {"", {}, "File not found for auto-chunking: "},
      {deleted, {}, "File not found for auto-chunking: " + deleted},
      {dir.path() + "//x/../m.py", {},
       "File not found for auto-chunking: " + dir.path() + "//x/../m.py"},
      {dir.path(), {}, "Auto-chunking failed: [Errno 21] Is a directory: '" + dir.path() + "'",
       false},
      {fifo, {}, "Auto-chunking failed: '" + fifo + "' is a FIFO, not a regular file", false},
      {"/dev/zero", {},
       "Auto-chunking failed: '/dev/zero' is a character device, not a regular file", false},
      {large, {}, "Auto-chunking failed: '" + large + "' is 65 bytes, over the limit of 64 bytes",
       false},
      {file, []() -> std::unique_ptr<Chunker> { throw std::runtime_error("no grammar"); },
       "Auto-chunking failed: no grammar"},
      {file, []() -> std::unique_ptr<Chunker> { throw 42; }, "Auto-chunking failed: unknown error"},
      {file, [] { return std::unique_ptr<Chunker>(); },
       "Auto-chunking failed: no chunker for language python"},
      {file, [] { return std::unique_ptr<Chunker>(std::make_unique<BrokenChunker>(false)); },
       "Auto-chunking failed: parse error at line 1"},
      {file, [] { return std::unique_ptr<Chunker>(std::make_unique<BrokenChunker>(true)); },
       "Auto-chunking failed: unit conversion failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    if (c.detects) {
      EXPECT_CALL(*t.mocks->chunking, detect_language(c.path)).WillOnce(Return("python"));
    }
    if (c.chunker) {
      EXPECT_CALL(*t.mocks->chunking, get_chunker("python")).WillOnce(Invoke([&](auto&) {
        return c.chunker();
      }));
    }
    EXPECT_EQ(dump_json(t.tarnel.reindex_file("a", c.path)), error_text(c.message));
  }
  EXPECT_EQ(profile_of(t.tarnel, "indexing")["count"], 0);
}

TEST_F(IngestTest, FailuresOutsideTheChunkingStepsReachTheCaller) {
  t.mocks->fail_chunking_bind = true;  // binding is needed for supplied chunks too
  EXPECT_THROW(t.tarnel.index_file("a", "f.py", Json::array()), std::runtime_error);
  EXPECT_THROW(t.tarnel.index_file("a", "f.py"), std::runtime_error);
  t.mocks->fail_chunking_bind = false;

  EXPECT_CALL(*t.mocks->chunking, detect_language("f.py"))
      .WillOnce(Invoke([](auto&) -> std::string { throw std::runtime_error("detector broke"); }))
      .WillRepeatedly(Return("python"));
  EXPECT_THROW(t.tarnel.index_file("a", "f.py"), std::runtime_error);
  EXPECT_CALL(*t.mocks->builder, process_file_chunks(_, _, _, _))
      .WillOnce(Invoke([](auto&, auto&, auto&, auto&) -> Json {
        throw std::runtime_error("full");
      }))
      .WillOnce(Return(Json::array()))
      .WillOnce(Return(Json("stored")))
      .WillOnce(Return(Json()));
  EXPECT_THROW(t.tarnel.index_file("a", "f.py", Json::array()), std::runtime_error);
  EXPECT_EQ(profile_of(t.tarnel, "indexing")["count"], 0);
  EXPECT_THROW(t.tarnel.index_file("a", "f.py", Json::array()), TypeError);
  EXPECT_THROW(t.tarnel.index_file("a", "f.py", Json::array()), TypeError);
  EXPECT_TRUE(t.tarnel.index_file("a", "f.py", Json::array()).is_null());
}

TEST_F(IngestTest, ChunksOfTheWrongKindAreRefusedBeforeAnythingRuns) {
  for (const Json& chunks : {Json("f"), Json::object(), Json(3), Json(false)}) {
    EXPECT_THROW(t.tarnel.index_file("a", "f.py", chunks), TypeError) << dump_json(chunks);
  }
  EXPECT_EQ(t.mocks->chunking_binds, 0);
}

TEST_F(IngestTest, TokenEstimateIsAQuarterOfTheSizeAndNeverFails) {
  EXPECT_EQ(t.tarnel._estimate_file_tokens(dir.write("a.txt", std::string(1001, 'x'))), 250);
  EXPECT_EQ(t.tarnel._estimate_file_tokens(dir.write("b.txt", "abc")), 0);
  EXPECT_EQ(t.tarnel._estimate_file_tokens(dir.path() + "/missing"), 0);
  EXPECT_EQ(t.tarnel._estimate_file_tokens(""), 0);
}

}  // namespace
}  // namespace vantory
