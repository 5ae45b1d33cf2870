#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/analysis/expect_error.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::ByMove;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::Return;
using testing::FakeUnit;
using testing::MockChunker;
using testing::snapshot;
using testing::TarnelWithFakes;

// SHA-256 of the whitespace-collapsed texts the chunks below carry.
const char* kHashF = "cd802a81ac4cf7aeeb2590e3bb12f85a4ef057fc4bcce6ed2f22ae31ed4242bf";  // def f(): return 1
const char* kHashG = "10d3097ab5367d6a17d8b8badef0280c33e5094bde72258b46207b48564ca734";  // def g(x): return x + 1

class DeltaUpdate : public ::testing::Test {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantory-delta-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/sub");
    path_ = root_ + "/sub/m.py";
    std::ofstream(path_, std::ios::binary) << "def f():\r\n  return 1\rdef g(x): return x + 1\n";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  using Units = std::vector<std::unique_ptr<CodeUnit>>;

  // Language "python"; its chunker answers what `produce` makes of the file's text.
  void expect_units(TarnelWithFakes& t, std::function<Units(const std::string&)> produce) {
    auto chunker = std::make_unique<MockChunker>();
    MockChunker* raw = chunker.get();  // lives on inside the Tarnel's call
    EXPECT_CALL(*t.mocks->chunking, detect_language(path_)).WillOnce(Return("python"));
    EXPECT_CALL(*t.mocks->chunking, get_chunker("python"))
        .WillOnce(Return(ByMove(std::unique_ptr<Chunker>(std::move(chunker)))));
    EXPECT_CALL(*raw, chunk_file(_, path_))
        .WillOnce(Invoke([produce](const std::string& text, auto&) { return produce(text); }));
  }

  // The chunker hands out one unit per record; it records the text it was given.
  void expect_chunking(TarnelWithFakes& t, const Json& records) {
    expect_units(t, [this, records](const std::string& text) {
      chunked_text_ = text;
      Units units;
      for (const Json& record : records) units.push_back(std::make_unique<FakeUnit>(record));
      return units;
    });
  }

  void expect_stored(TarnelWithFakes& t, const Json& chunks) {
    Json contexts = Json::array({Json{{"file_path", "elsewhere.py"}},
                                 Json{{"file_path", root_ + "/sub//./m.py"}, {"chunks", chunks}}});
    EXPECT_CALL(*t.mocks->store, _load_agent_data("ag", "file_contexts")).WillOnce(Return(snapshot(contexts)));
  }

  std::string root_;
  std::string path_;
  std::string chunked_text_;
};

TEST_F(DeltaUpdate, HashesFillsSummariesAndHandsEveryChunkOn) {
  TarnelWithFakes t;
  InSequence order;
  EXPECT_CALL(*t.mocks->store, _load_agent_data("ag", "file_contexts")).WillOnce(Return(snapshot(Json::array())));
  expect_chunking(t, Json::parse(R"([
    {"name": "f", "content": "def f():\n  return 1", "summary": ""},
    {"name": "g", "content": " def g(x):\treturn  x + 1 ", "summary": "adds one"},
    {"type": "block", "content": ""},
    {"name": "again", "content": "def f(): return 1", "hash_id": ""},
    {"name": "given", "content": "x", "hash_id": "h-given"}])"));
  Json handed;
  EXPECT_CALL(*t.mocks->builder, process_file_chunks("ag", path_, _, "python"))
      .WillOnce(Invoke([&](auto&, auto&, const Json& chunks, auto&) {
        handed = chunks;
        return Json{{"status", "ignored"}};
      }));

  Json result = t.tarnel.delta_update("ag", root_ + "//sub/./m.py");
  EXPECT_EQ(dump_json(result), R"({"status": "delta_applied", "file_path": ")" + path_ +
                                   R"(", "chunks_added": 3, "chunks_removed": 0, )"
                                   R"("chunks_unchanged": 0, "total_chunks": 5})");
  EXPECT_EQ(chunked_text_, "def f():\n  return 1\ndef g(x): return x + 1\n");
  ASSERT_EQ(handed.size(), 5u);
  EXPECT_EQ(dump_json(handed[0]), std::string(R"({"name": "f", "content": "def f():\n  return 1", )") +
                                      R"("summary": "Code unit: f", "hash_id": ")" + kHashF + R"("})");
  EXPECT_EQ(handed[1]["summary"], "adds one");
  EXPECT_EQ(handed[1]["hash_id"], kHashG);
  EXPECT_EQ(dump_json(handed[2]), R"({"type": "block", "content": "", "summary": "Code unit: unnamed"})");
  EXPECT_EQ(handed[3]["hash_id"], kHashF);
  EXPECT_EQ(handed[4]["hash_id"], "h-given");
}

TEST_F(DeltaUpdate, ComparesWithTheStoredHashes) {
  const Json fresh = Json::parse(R"([{"name": "f", "content": "def  f():  return 1"},
                                     {"name": "g", "content": "def g(x): return x + 1"}])");
  struct Case {
    const char* name;
    Json stored;
    const char* counts;
    Json deleted;
  };
  const Case cases[] = {
      {"unchanged file", Json::array({Json{{"hash_id", kHashF}}, Json{{"hash_id", kHashG}}}),
       R"("chunks_added": 0, "chunks_removed": 0, "chunks_unchanged": 2)", nullptr},
      {"changed file",
       Json::parse(std::string(R"([{"hash_id": "old1"}, {"hash_id": ")") + kHashF +
                   R"("}, {"hash_id": ""}, {"content": "x"}, {"hash_id": "old2"}, {"hash_id": "old1"}])"),
       R"("chunks_added": 1, "chunks_removed": 2, "chunks_unchanged": 1)", Json::parse(R"(["old1", "old2"])")},
      {"ids that are not text, records that are not objects",
       Json::parse(std::string(R"([7, "x", null, {"hash_id": 7}, {"hash_id": ")") + kHashF + R"("}])"),
       R"("chunks_added": 1, "chunks_removed": 1, "chunks_unchanged": 1)", Json::parse("[7]")},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;
    InSequence order;
    expect_stored(t, c.stored);
    expect_chunking(t, fresh);
    if (!c.deleted.is_null()) EXPECT_CALL(*t.mocks->ambrel, delete_vectors("ag", c.deleted));
    EXPECT_CALL(*t.mocks->builder, process_file_chunks("ag", path_, _, "python")).WillOnce(Return(Json()));
    Json result = t.tarnel.delta_update("ag", path_);
    EXPECT_EQ(dump_json(result), R"({"status": "delta_applied", "file_path": ")" + path_ + R"(", )" +
                                     c.counts + R"(, "total_chunks": 2})")
        << c.name;
  }
}

TEST_F(DeltaUpdate, FailuresBeforeAnyChangeAreAnswered) {
  struct Case {
    const char* name;
    std::function<std::string(DeltaUpdate&, TarnelWithFakes&)> arrange;  // answers the path to pass
    std::string message_start;
  };
  const Case cases[] = {
      {"missing file", [](DeltaUpdate& f, TarnelWithFakes&) { return f.root_ + "/./sub//gone.py"; },
       "File not found: " + root_ + "/sub/gone.py"},
      {"a directory",
       [](DeltaUpdate& f, TarnelWithFakes& t) {
         f.expect_stored(t, Json::array());
         return f.root_ + "/sub/";
       },
       "Chunking failed: [Errno 21] Is a directory: '" + root_ + "/sub'"},
      {"a FIFO",
       [](DeltaUpdate& f, TarnelWithFakes& t) {
         f.expect_stored(t, Json::array());
         std::string fifo = f.root_ + "/sub/pipe";
         EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
         return fifo;
       },
       "Chunking failed: '" + root_ + "/sub/pipe' is a FIFO, not a regular file"},
      {"a file over the limit",
       [](DeltaUpdate& f, TarnelWithFakes& t) {
         f.expect_stored(t, Json::array());
         t.tarnel.set_max_file_bytes(10);
         return f.path_;
       },
       "Chunking failed: '" + path_ + "' is 44 bytes, over the limit of 10 bytes"},
      {"the chunker fails",
       [](DeltaUpdate& f, TarnelWithFakes& t) {
         f.expect_stored(t, Json::array({Json{{"hash_id", "kept"}}}));
         f.expect_units(t, [](const std::string&) -> Units { throw std::runtime_error("parse error at line 3"); });
         return f.path_;
       },
       "Chunking failed: parse error at line 3"},
      {"a unit cannot be converted",
       [](DeltaUpdate& f, TarnelWithFakes& t) {
         f.expect_stored(t, Json::array());
         f.expect_units(t, [](const std::string&) {
           Units units;
           units.push_back(std::make_unique<FakeUnit>(Json::object(), true));
           return units;
         });
         return f.path_;
       },
       "Chunking failed: unit conversion failed"},
      {"no chunker for the language",
       [](DeltaUpdate& f, TarnelWithFakes& t) {
         f.expect_stored(t, Json::array());
         EXPECT_CALL(*t.mocks->chunking, detect_language(_)).WillOnce(Return("cobol"));
         EXPECT_CALL(*t.mocks->chunking, get_chunker("cobol")).WillOnce(Invoke([](const std::string&) {
           return std::unique_ptr<Chunker>();
         }));
         return f.path_;
       },
       "Chunking failed: no chunker for language cobol"},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;  // strict: neither the vectors nor the builder may be touched
    std::string path = c.arrange(*this, t);
    Json result = t.tarnel.delta_update("ag", path);
    EXPECT_EQ(result["status"], "error") << c.name;
    EXPECT_EQ(result["message"], c.message_start) << c.name;
    EXPECT_EQ(result.size(), 2u) << c.name;
  }
}

TEST_F(DeltaUpdate, AChunkingComponentThatCannotBeBoundReachesTheCaller) {
  TarnelWithFakes t;
  t.mocks->fail_chunking_bind = true;
  expect_stored(t, Json::array({Json{{"hash_id", "kept"}}}));
  EXPECT_THROW(t.tarnel.delta_update("ag", path_), std::runtime_error);
  EXPECT_EQ(t.mocks->chunking_binds, 1);
}

TEST_F(DeltaUpdate, ContentThatIsNotTextFailsBeforeAnyChange) {
  TarnelWithFakes fresh;
  expect_stored(fresh, Json::array());
  expect_chunking(fresh, Json::parse(R"([{"name": "f", "content": ["not", "text"]}])"));
  testing::expect_error([&] { fresh.tarnel.delta_update("ag", path_); }, "TypeError",
                        "'content' must be a string, not list", "content");
}

// Stores hand out one array to every call until the agent's data changes; what a call works
// out about an array must never answer for another one, nor hide a malformed one.
TEST_F(DeltaUpdate, EachCallReadsTheArrayItIsHandedOut) {
  const Json fresh = Json::parse(R"([{"name": "f", "content": "def f(): return 1"}])");
  auto file = [&](const char* hash) {
    return Json{{"file_path", root_ + "/sub//m.py"}, {"chunks", Json::array({{{"hash_id", hash}}})}};
  };
  std::shared_ptr<const Json> kept = snapshot(Json::array({Json{{"file_path", "x.py"}}, file(kHashF)}));
  std::shared_ptr<const Json> changed = snapshot(Json::array({file("gone"), file(kHashF)}));
  std::shared_ptr<const Json> malformed = snapshot(Json::array({file(kHashF), 3}));
  struct Call {
    std::shared_ptr<const Json> contexts;
    const char* counts;  // nullptr: TypeError
  };
  const Call calls[] = {
      {kept, R"("chunks_added": 0, "chunks_removed": 0, "chunks_unchanged": 1)"},
      {kept, R"("chunks_added": 0, "chunks_removed": 0, "chunks_unchanged": 1)"},
      {changed, R"("chunks_added": 1, "chunks_removed": 1, "chunks_unchanged": 0)"},
      {malformed, nullptr},
      {kept, R"("chunks_added": 0, "chunks_removed": 0, "chunks_unchanged": 1)"},
      {malformed, nullptr},
  };
  for (const Call& call : calls) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->store, _load_agent_data("ag", "file_contexts")).WillOnce(Return(call.contexts));
    if (!call.counts) {
      EXPECT_THROW(t.tarnel.delta_update("ag", path_), TypeError);
      continue;
    }
    expect_chunking(t, fresh);
    EXPECT_CALL(*t.mocks->ambrel, delete_vectors("ag", _)).Times(::testing::AtMost(1));
    EXPECT_CALL(*t.mocks->builder, process_file_chunks("ag", path_, _, "python")).WillOnce(Return(Json()));
    EXPECT_EQ(dump_json(t.tarnel.delta_update("ag", path_)),
              R"({"status": "delta_applied", "file_path": ")" + path_ + R"(", )" + call.counts +
                  R"(, "total_chunks": 1})");
  }
}

}  // namespace
}  // namespace vantory
