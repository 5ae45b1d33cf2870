#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/fakes.h"
#include "tests/coding/test_support.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::ByMove;
using ::testing::Eq;
using ::testing::Invoke;
using ::testing::Return;
using testing::ManualClock;
using testing::RecordingChunker;
using testing::ScratchDir;
using testing::TarnelWithFakes;
using testing::profile_of;

class IngestTest : public ::testing::Test {
 protected:
  void SetUp() override { clock.install(t.tarnel); }

  // Detection answers "python" and moves the clock, so a test sees whether it was timed.
  void expect_language(const std::string& path) {
    EXPECT_CALL(*t.mocks->chunking, detect_language(path)).WillOnce(Invoke([this](auto&) {
      clock.advance_ms(1000);
      return std::string("python");
    }));
  }

  // The chunker for "python" answers `records`; its work moves the clock too.
  void expect_chunker(std::vector<Json> records) {
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python"))
        .WillOnce(Invoke([this, records](auto&) {
          clock.advance_ms(500);
          return std::unique_ptr<Chunker>(
              std::make_unique<RecordingChunker>(records, &seen_text, &seen_path));
        }));
  }

  TarnelWithFakes t;
  ManualClock clock;
  ScratchDir dir;
  std::string seen_text;
  std::string seen_path;
};

TEST_F(IngestTest, SuppliedChunksGoToTheBuilderAndOnlyTheBuilderIsTimed) {
  const Json chunks = Json::array();
  const Json answer = Json::parse(R"({"zeta": 1, "status": "indexed", "alpha": [2]})");
  const std::string missing = dir.path() + "/not/there.py";
  expect_language(missing);
  EXPECT_CALL(*t.mocks->builder, process_file_chunks("agent", missing, Eq(chunks), "python"))
      .WillOnce(Invoke([&](auto&, auto&, auto&, auto&) {
        clock.advance_ms(7);
        return answer;
      }));

  Json result = t.tarnel.index_file("agent", missing, chunks);

  EXPECT_EQ(dump_json(result), dump_json(answer));
  EXPECT_EQ(dump_json(profile_of(t.tarnel, "indexing")), R"({"avg_ms": 7.0, "count": 1})");
  EXPECT_EQ(t.mocks->chunking_binds, 1);
}

TEST_F(IngestTest, AliasesAnswerLikeTheirOperations) {
  using Ingest = Json (Tarnel::*)(const std::string&, const std::string&, const Json&);
  const Json chunks = Json::parse(R"([{"name": "f", "content": "def f(): pass"}])");
  const Json answer = Json{{"status", "ok"}, {"chunks", 1}};
  for (Ingest op : {&Tarnel::index_file, &Tarnel::create_mem, &Tarnel::reindex_file,
                    &Tarnel::update_mem, &Tarnel::_ingest_file}) {
    EXPECT_CALL(*t.mocks->chunking, detect_language("src/f.py")).WillOnce(Return("python"));
    EXPECT_CALL(*t.mocks->builder, process_file_chunks("a", "src/f.py", Eq(chunks), "python"))
        .WillOnce(Return(answer));
    EXPECT_EQ((t.tarnel.*op)("a", "src/f.py", chunks), answer);
    ::testing::Mock::VerifyAndClearExpectations(t.mocks->builder);
  }
  EXPECT_EQ(profile_of(t.tarnel, "indexing")["count"], 5);
}

TEST_F(IngestTest, AutoChunkingReadsTheFileAsTextAndFillsSummaries) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string text_seen;
  };
  const Case cases[] = {
      {"invalid UTF-8 bytes are replaced", "a\xff\xfe" "b\xc3", "a\xef\xbf\xbd\xef\xbf\xbd" "b\xef\xbf\xbd"},
      {"CRLF endings become LF", "x = 1\r\ny = 2\r\n", "x = 1\ny = 2\n"},
      {"CR endings become LF", "x = 1\ry = 2\r", "x = 1\ny = 2\n"},
      {"an empty file is text too", "", ""},
  };
  const std::vector<Json> units = {
      Json::parse(R"({"name": "parse", "summary": "", "type": "function"})"),
      Json::parse(R"({"type": "block"})"),
      Json::parse(R"({"name": "kept", "summary": "Parses input."})"),
      Json::parse(R"({"name": 7, "summary": null})"),
  };
  const Json expected = Json::parse(
      R"([{"name": "parse", "summary": "Code unit: parse", "type": "function"},
          {"type": "block", "summary": "Code unit: unnamed"},
          {"name": "kept", "summary": "Parses input."},
          {"name": 7, "summary": "Code unit: 7"}])");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.write("m.py", c.bytes);
    expect_language(path);
    expect_chunker(units);
    EXPECT_CALL(*t.mocks->builder, process_file_chunks("a", path, Eq(expected), "python"))
        .WillOnce(Invoke([&](auto&, auto&, auto&, auto&) {
          clock.advance_ms(3);
          return Json{{"status", "ok"}};
        }));
    EXPECT_EQ(t.tarnel.index_file("a", path), (Json{{"status", "ok"}}));
    EXPECT_EQ(seen_text, c.text_seen);
    EXPECT_EQ(seen_path, path);
    ::testing::Mock::VerifyAndClearExpectations(t.mocks->builder);
  }
  // Reading and chunking took 1.5 s of the manual clock each time; only the builder's 3 ms count.
  EXPECT_EQ(dump_json(profile_of(t.tarnel, "indexing")), R"({"avg_ms": 3.0, "count": 4})");
}

TEST_F(IngestTest, MissingFilesAnswerAnErrorObjectWithoutStoring) {
  const std::string deleted = dir.write("gone.py", "x = 1\n");
  std::filesystem::remove(deleted);
  for (const std::string& path :
       {dir.path() + "/missing.py", deleted, std::string(""), dir.path() + "//a/../missing.py"}) {
    SCOPED_TRACE(path);
    EXPECT_CALL(*t.mocks->chunking, detect_language(path)).WillOnce(Return("python"));
    EXPECT_EQ(dump_json(t.tarnel.index_file("a", path)),
              dump_json(Json{{"status", "error"},
                             {"message", "File not found for auto-chunking: " + path}}));
  }
  EXPECT_EQ(profile_of(t.tarnel, "indexing")["count"], 0);
}

TEST_F(IngestTest, ChunkingFailuresAreReportedWithTheirOwnText) {
  const std::string file = dir.write("m.py", "def f(): pass\n");
  struct Case {
    const char* what;
    std::string path;
    std::function<void()> arrange;
    std::string message;
  };
  auto chunker_throws = [this] {
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python"))
        .WillOnce(Invoke([](auto&) -> std::unique_ptr<Chunker> {
          throw std::runtime_error("no grammar for python");
        }));
  };
  auto no_chunker = [this] {
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python"))
        .WillOnce(Return(ByMove(std::unique_ptr<Chunker>())));
  };
  auto chunking_throws = [this] {
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python")).WillOnce(Invoke([](auto&) {
      auto chunker = std::make_unique<testing::MockChunker>();
      EXPECT_CALL(*chunker, chunk_file(_, _))
          .WillOnce(Invoke([](auto&, auto&) -> std::vector<std::unique_ptr<CodeUnit>> {
            throw std::runtime_error("parse error at line 1");
          }));
      return std::unique_ptr<Chunker>(std::move(chunker));
    }));
  };
  auto unit_throws = [this] {
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python")).WillOnce(Invoke([](auto&) {
      auto chunker = std::make_unique<testing::MockChunker>();
      EXPECT_CALL(*chunker, chunk_file(_, _)).WillOnce(Invoke([](auto&, auto&) {
        std::vector<std::unique_ptr<CodeUnit>> units;
        units.push_back(std::make_unique<testing::FakeUnit>(Json::object(), true));
        return units;
      }));
      return std::unique_ptr<Chunker>(std::move(chunker));
    }));
  };
  auto unit_not_a_record = [this] {
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python")).WillOnce(Invoke([](auto&) {
      return std::unique_ptr<Chunker>(
          std::make_unique<RecordingChunker>(std::vector<Json>{Json::array()}, nullptr, nullptr));
    }));
  };
  const Case cases[] = {
      {"a directory", dir.path(), [] {},
       "Auto-chunking failed: [Errno 21] Is a directory: '" + dir.path() + "'"},
      {"the chunker lookup throws", file, chunker_throws,
       "Auto-chunking failed: no grammar for python"},
      {"no chunker", file, no_chunker, "Auto-chunking failed: no chunker for language python"},
      {"chunking throws", file, chunking_throws, "Auto-chunking failed: parse error at line 1"},
      {"a unit's conversion throws", file, unit_throws,
       "Auto-chunking failed: unit conversion failed"},
      {"a unit converts to a non-record", file, unit_not_a_record,
       "Auto-chunking failed: to_dict must answer a dict, not list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_CALL(*t.mocks->chunking, detect_language(c.path)).WillOnce(Return("python"));
    c.arrange();
    EXPECT_EQ(dump_json(t.tarnel.reindex_file("a", c.path)),
              dump_json(Json{{"status", "error"}, {"message", c.message}}));
    ::testing::Mock::VerifyAndClearExpectations(t.mocks->chunking);
  }
  EXPECT_EQ(profile_of(t.tarnel, "indexing")["count"], 0);
}

TEST_F(IngestTest, FailuresOutsideTheChunkingStepsReachTheCaller) {
  // Binding the chunking component is needed even for supplied chunks.
  t.mocks->fail_chunking_bind = true;
  EXPECT_THROW(t.tarnel.index_file("a", "f.py", Json::array()), std::runtime_error);
  EXPECT_THROW(t.tarnel.index_file("a", "f.py"), std::runtime_error);
  t.mocks->fail_chunking_bind = false;

  EXPECT_CALL(*t.mocks->chunking, detect_language("f.py"))
      .WillOnce(Invoke([](auto&) -> std::string { throw std::runtime_error("detector broke"); }));
  EXPECT_THROW(t.tarnel.index_file("a", "f.py"), std::runtime_error);

  EXPECT_CALL(*t.mocks->chunking, detect_language("f.py")).WillRepeatedly(Return("python"));
  EXPECT_CALL(*t.mocks->builder, process_file_chunks(_, _, _, _))
      .WillOnce(Invoke([](auto&, auto&, auto&, auto&) -> Json {
        throw std::runtime_error("disk full");
      }));
  EXPECT_THROW(t.tarnel.index_file("a", "f.py", Json::array()), std::runtime_error);
  EXPECT_EQ(profile_of(t.tarnel, "indexing")["count"], 0);
}

TEST_F(IngestTest, ArgumentsAndAnswersOfTheWrongKindAreTypeErrors) {
  for (const Json& chunks : {Json("f"), Json::object(), Json(3), Json(false)}) {
    SCOPED_TRACE(dump_json(chunks));
    EXPECT_THROW(t.tarnel.index_file("a", "f.py", chunks), TypeError);
  }
  EXPECT_EQ(t.mocks->chunking_binds, 0);

  EXPECT_CALL(*t.mocks->chunking, detect_language("f.py")).WillRepeatedly(Return("python"));
  EXPECT_CALL(*t.mocks->builder, process_file_chunks(_, _, _, _))
      .WillOnce(Return(Json::array()))
      .WillOnce(Return(Json("stored")))
      .WillOnce(Return(Json()));
  EXPECT_THROW(t.tarnel.index_file("a", "f.py", Json::array()), TypeError);
  EXPECT_THROW(t.tarnel.index_file("a", "f.py", Json::array()), TypeError);
  EXPECT_TRUE(t.tarnel.index_file("a", "f.py", Json::array()).is_null());
}

TEST_F(IngestTest, TokenEstimateIsAQuarterOfTheSizeAndNeverFails) {
  EXPECT_EQ(t.tarnel._estimate_file_tokens(dir.write("a.txt", std::string(1001, 'x'))), 250);
  EXPECT_EQ(t.tarnel._estimate_file_tokens(dir.write("b.txt", std::string(3, 'x'))), 0);
  EXPECT_EQ(t.tarnel._estimate_file_tokens(dir.write("c.txt", "")), 0);
  EXPECT_EQ(t.tarnel._estimate_file_tokens(dir.path() + "/missing"), 0);
  EXPECT_EQ(t.tarnel._estimate_file_tokens(""), 0);
}

}  // namespace
}  // namespace vantory
