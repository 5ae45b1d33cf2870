// The chunk cache: which records count as the chunker's own, and Tarnel over a backend whose
// chunker is counted, so that a test sees when a file was cut again and when it was answered
// from what the store holds.
#include "backend/store/chunk_cache.h"

#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "backend/builder/memory_builder.h"
#include "backend/chunking/chunking_engine.h"
#include "backend/filesystem/virtual_file_system.h"
#include "backend/retriever/hybrid_retriever.h"
#include "backend/store/cached_chunking.h"
#include "backend/store/context_store.h"
#include "backend/vectors/local_embedder.h"
#include "backend/vectors/vector_store.h"
#include "backend_fixture.h"
#include "coding/tarnel.h"
#include "common/files.h"
#include "common/json_text.h"

namespace vantory::testing {
namespace {

using backend::ChunkCache;

TEST(ChunkCache, RecordsCountAsTheChunkersOwnOnlyWithTarnelsFillings) {
  const std::string hash = backend::content_hash_id("def f():\n    return 1");
  const char* made = R"({"name": "f", "content": "def f():\n    return 1", "summary": ""})";
  struct Case {
    const char* name;
    std::string made;
    std::string stored;
    bool own;
  };
  const Case cases[] = {
      {"as made", made, made, true},
      {"summary filled in place", made,
       R"({"name": "f", "content": "def f():\n    return 1", "summary": "Code unit: f"})", true},
      {"summary and hash filled", made,
       R"({"name": "f", "content": "def f():\n    return 1", "summary": "Code unit: f", )"
       R"("hash_id": ")" +
           hash + R"("})",
       true},
      {"missing summary appended before the hash", R"({"name": "f", "content": "x = 1"})",
       R"({"name": "f", "content": "x = 1", "summary": "Code unit: f", "hash_id": ")" +
           backend::content_hash_id("x = 1") + R"("})",
       true},
      {"unnamed unit", R"({"content": "x = 1", "summary": null})",
       R"({"content": "x = 1", "summary": "Code unit: unnamed"})", true},
      {"name that is not text", R"({"name": 7, "summary": ""})",
       R"({"name": 7, "summary": "Code unit: 7"})", true},
      {"another summary", made,
       R"({"name": "f", "content": "def f():\n    return 1", "summary": "mine"})", false},
      {"a hash of other content", made,
       R"({"name": "f", "content": "def f():\n    return 1", "summary": "Code unit: f", )"
       R"("hash_id": ")" +
           backend::content_hash_id("other") + R"("})",
       false},
      {"a hash without content", R"({"name": "f", "content": ""})",
       R"({"name": "f", "content": "", "summary": "Code unit: f", "hash_id": "abc"})", false},
      {"hash before summary", R"({"name": "f", "content": "x = 1"})",
       R"({"name": "f", "content": "x = 1", "hash_id": ")" + backend::content_hash_id("x = 1") +
           R"(", "summary": "Code unit: f"})",
       false},
      {"another member", made,
       R"({"name": "f", "content": "def f():\n    return 1", "summary": "", "note": 1})", false},
      {"members reordered", made,
       R"({"content": "def f():\n    return 1", "name": "f", "summary": ""})", false},
      {"a member dropped", made, R"({"name": "f", "summary": ""})", false},
      {"another value", made,
       R"({"name": "g", "content": "def f():\n    return 1", "summary": ""})", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(backend::is_chunker_record(parse_json(c.stored), parse_json(c.made)), c.own)
        << c.name;
  }
  // A copy's records, as found, name the file first cut: they count as cut for the copy.
  const Json original = parse_json(R"({"name": "f", "file_path": "a/x.py", "summary": "s"})");
  const Json copy = parse_json(R"({"name": "f", "file_path": "b/x.py", "summary": "s"})");
  const std::string path = "b/x.py", other = "c/x.py";
  EXPECT_FALSE(backend::is_chunker_record(copy, original));
  EXPECT_TRUE(backend::is_chunker_record(copy, original, &path));
  EXPECT_FALSE(backend::is_chunker_record(copy, original, &other));
  EXPECT_FALSE(backend::is_chunker_record(original, original, &path));
}

TEST(ChunkCache, TheKeyOfAnAnswerIsTakenOnceAndOnlyForTheSameRecords) {
  ChunkCache cache;
  auto made = std::make_shared<const Json>(parse_json(R"([{"name": "f", "summary": ""}])"));
  const Json stored = parse_json(R"([{"name": "f", "summary": "Code unit: f"}])");
  std::string key = ChunkCache::key_of("python", "def f(): pass");
  EXPECT_NE(key, ChunkCache::key_of("text", "def f(): pass"));
  EXPECT_NE(key, ChunkCache::key_of("python", "def f(): pass\n"));
  auto key_taken = [&](const std::string& path, const std::string& language, const Json& chunks) {
    std::optional<ChunkCache::Taken> taken = cache.take(path, language, chunks);
    return taken ? std::optional<std::string>(taken->key) : std::nullopt;
  };

  cache.remember("a.py", "python", key, made);
  EXPECT_EQ(key_taken("b.py", "python", stored), std::nullopt);
  EXPECT_EQ(key_taken("a.py", "text", stored), std::nullopt);
  EXPECT_EQ(key_taken("a.py", "python", stored), key);
  EXPECT_EQ(key_taken("a.py", "python", stored), std::nullopt);  // taken

  cache.remember("a.py", "python", "older", made);
  cache.remember("a.py", "python", key, made);
  EXPECT_EQ(key_taken("a.py", "python", Json::array()), std::nullopt);  // not the records
  EXPECT_EQ(key_taken("a.py", "python", stored), "older");
}

// Records the builder holds answer for a copy of their text until it releases them; the
// first records held under a key answer, and only their release withdraws them.
TEST(ChunkCache, HeldRecordsAnswerForCopiesUntilReleased) {
  ChunkCache cache;
  auto first = std::make_shared<const Json>(parse_json(R"([{"name": "f"}])"));
  auto second = std::make_shared<const Json>(parse_json(R"([{"name": "f"}])"));
  EXPECT_EQ(cache.find("key").records, nullptr);
  cache.hold("key", first);
  cache.hold("key", second);
  ChunkCache::Stored found = cache.find("key");
  EXPECT_EQ(found.records, first);
  EXPECT_EQ(found.imports, nullptr);
  EXPECT_EQ(found.vectors_of, std::nullopt);
  // Imports held beside the records are told with the hash of the bytes they were read from.
  auto imports = std::make_shared<const Json>(parse_json(R"([{"module": "os"}])"));
  cache.hold("other", second, imports, std::string("abc"));
  found = cache.find("other");
  EXPECT_EQ(found.imports, imports);
  EXPECT_EQ(found.file_hash, "abc");
  cache.release("other", second.get());
  cache.release("key", second.get());  // not the ones held
  EXPECT_EQ(cache.find("key").records, first);
  cache.release("key", first.get());
  EXPECT_EQ(cache.find("key").records, nullptr);
}

// An embedder whose name can change and whose service can be down.
class SwitchableEmbedder : public backend::Embedder {
 public:
  const std::string& name() const override { return name_; }
  Json describe() const override { return {{"kind", "test"}, {"name", name_}}; }
  std::vector<std::vector<float>> embed(const std::vector<std::string>& texts) override {
    std::vector<std::vector<float>> out;
    for (const std::string& text : texts) {
      out.push_back(down ? std::vector<float>() : backend::LocalEmbedder::embed_text(text));
    }
    return out;
  }
  std::string name_ = "first";
  bool down = false;
};

// The backend's chunking, counting the files it cuts.
class CountingChunking : public ChunkingComponent {
 public:
  std::string detect_language(const std::string& path) override {
    return inner_->detect_language(path);
  }
  std::unique_ptr<Chunker> get_chunker(const std::string& language) override {
    ++cuts;
    return inner_->get_chunker(language);
  }
  int cuts = 0;

 private:
  std::shared_ptr<ChunkingComponent> inner_ = backend::make_chunking_component();
};

// The backend's components as its provider makes them, with the test's embedder and a
// counted chunker behind the cache.
class TestProvider : public ComponentProvider {
 public:
  std::unique_ptr<CodingContextStore> make_store(const std::string& root) override {
    auto owned = std::make_unique<SwitchableEmbedder>();
    embedder = owned.get();
    core_ = std::make_shared<backend::BackendCore>(root, cache_, std::move(owned));
    return std::make_unique<backend::ContextStore>(core_);
  }
  std::unique_ptr<CodingAmbrel> make_ambrel(const std::string&) override {
    return std::make_unique<backend::VectorStore>(core_);
  }
  std::unique_ptr<CodingMemoryBuilder> make_builder(CodingContextStore&, CodingAmbrel&) override {
    return std::make_unique<backend::MemoryBuilder>(core_);
  }
  std::unique_ptr<CodingHybridRetriever> make_retriever(CodingContextStore&,
                                                        CodingAmbrel&) override {
    return std::make_unique<backend::HybridRetriever>(core_);
  }
  std::unique_ptr<CodingFileSystem> make_filesystem(CodingContextStore&) override {
    return std::make_unique<backend::VirtualFileSystem>(core_);
  }
  std::shared_ptr<ChunkingComponent> bind_chunking() override {
    return backend::make_cached_chunking(chunking, cache_);
  }
  std::shared_ptr<CountingChunking> chunking = std::make_shared<CountingChunking>();
  SwitchableEmbedder* embedder = nullptr;

 private:
  std::shared_ptr<ChunkCache> cache_ = std::make_shared<ChunkCache>();
  std::shared_ptr<backend::BackendCore> core_;
};

class CachedChunkingTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    c_.reset();  // this test builds its own components
    file_ = write("pkg/util.py",
                  "import os\n\n\ndef join(a, b):\n    \"\"\"Joins.\"\"\"\n"
                  "    return os.path.join(a, b)\n\n\nclass Box:\n    def put(self, x):\n"
                  "        self.x = x\n");
    reopen();
  }
  void TearDown() override {
    tarnel_.reset();
    BackendTest::TearDown();
  }
  // A new Tarnel with a new provider: nothing in memory survives, as in a new process.
  void reopen() {
    tarnel_.reset();
    provider_ = std::make_shared<TestProvider>();
    tarnel_ = std::make_unique<Tarnel>(root_, provider_);
  }
  int cuts() const { return provider_->chunking->cuts; }
  // index_files' answer for `path` indexed alone: a batch of its own.
  Json index_in_own_batch(const std::string& agent, const std::string& path) {
    Json answer;
    tarnel_->index_files(agent, {path}, [&](std::size_t, const Json* a, std::exception_ptr) {
      if (a) answer = *a;
    }, 1);
    return answer;
  }
  Json stored_chunks() {
    auto contexts = tarnel_->store()._load_agent_data("agent", "file_contexts");
    for (const Json& context : *contexts) {
      if (context["file_path"] == file_) return context["chunks"];
    }
    return nullptr;
  }

  std::string file_;
  std::shared_ptr<TestProvider> provider_;
  std::unique_ptr<Tarnel> tarnel_;
};

TEST_F(CachedChunkingTest, AnUnchangedFileIsAnsweredFromItsStoredChunks) {
  Json first = tarnel_->index_file("agent", file_);
  ASSERT_EQ(first["status"], "indexed");
  EXPECT_EQ(cuts(), 1);
  Json chunks = stored_chunks();

  Json again = tarnel_->index_file("agent", file_);
  Json delta = tarnel_->delta_update("agent", file_);
  reopen();
  Json delta_in_new_process = tarnel_->delta_update("agent", dir_ + "//pkg/./util.py");
  EXPECT_EQ(cuts(), 0);
  EXPECT_EQ(again["total_chunks"], first["total_chunks"]);
  EXPECT_EQ(again["reused_chunks"], first["new_chunks"]);
  EXPECT_EQ(again["imports"], first["imports"]);
  for (const Json& answer : {delta, delta_in_new_process}) {
    EXPECT_EQ(answer["chunks_added"], 0);
    EXPECT_EQ(answer["chunks_removed"], 0);
    EXPECT_EQ(answer["chunks_unchanged"], first["total_chunks"]);
  }
  EXPECT_EQ(stored_chunks(), chunks);
}

TEST_F(CachedChunkingTest, EditedFilesAndOtherRecordsAreCutAgain) {
  ASSERT_EQ(tarnel_->index_file("agent", file_)["status"], "indexed");
  const Json chunker_records = stored_chunks();
  struct Case {
    const char* name;
    std::function<void()> before;
    int cuts;
    bool chunker_records_after = false;
  };
  const Case cases[] = {
      // The chunker's records of the unchanged text are still known from the contexts loaded
      // above, so they serve; the caller's records are never taken for them.
      {"records supplied by a caller",
       [&] { tarnel_->index_file("agent", file_, Json::array({chunk("join", "function", "x")})); },
       0, true},
      {"the chunker's records supplied by a caller",
       [&] { tarnel_->index_file("agent", file_, chunker_records); }, 0},
      {"an edited file",
       [&] { std::ofstream(file_, std::ios::app) << "\n\ndef more():\n    return 2\n"; }, 1},
      // A copy is answered from the file it copies, its records naming the copy.
      {"the same text at another path", [&] { file_ = write("copy/util.py", read_file(file_)); },
       0},
      {"nothing", [] {}, 0},
  };
  for (const Case& c : cases) {
    c.before();
    int before = cuts();
    Json answer = tarnel_->delta_update("agent", file_);
    EXPECT_EQ(answer["status"], "delta_applied") << c.name;
    EXPECT_EQ(cuts() - before, c.cuts) << c.name;
    EXPECT_EQ(tarnel_->delta_update("agent", file_)["chunks_added"], 0) << c.name;
    EXPECT_EQ(cuts() - before, c.cuts) << c.name << ": cut once, then answered";
    if (c.chunker_records_after) {
      EXPECT_EQ(stored_chunks(), chunker_records) << c.name;
    }
  }
}

TEST_F(CachedChunkingTest, ACopyOfAStoredFileIsNotCutAgain) {
  ASSERT_EQ(tarnel_->index_file("agent", file_)["status"], "indexed");
  const Json original = stored_chunks();
  const Json imports = tarnel_->store().get_file_imports("agent", file_);
  reopen();  // from the database, not from contexts held in memory
  std::string original_path = file_;
  file_ = write("vendored/pkg/util.py", read_file(file_));
  Json answer = tarnel_->index_file("agent", file_);
  ASSERT_EQ(answer["status"], "indexed");
  EXPECT_EQ(cuts(), 0);
  EXPECT_EQ(answer["imports"], 1);
  Json copy = stored_chunks();
  ASSERT_EQ(copy.size(), original.size());
  for (std::size_t i = 0; i < copy.size(); ++i) {
    Json expected = original[i];
    expected["file_path"] = file_;
    EXPECT_EQ(copy[i], expected);
  }
  EXPECT_EQ(tarnel_->store().get_file_imports("agent", file_), imports);
  file_ = original_path;
  EXPECT_EQ(stored_chunks(), original);
}

// Copies of a file read their original's texts; each is still found at its own path, and
// keeps its records when the original goes.
TEST_F(CachedChunkingTest, CopiesShareTheOriginalsTextsAndOutliveIt) {
  ASSERT_EQ(tarnel_->index_file("agent", file_)["status"], "indexed");
  const Json original = stored_chunks();
  const std::string original_path = file_;
  std::vector<std::string> copies;
  for (const char* path : {"vendored/a/util.py", "vendored/b/util.py"}) {
    copies.push_back(write(path, read_file(original_path)));
    ASSERT_EQ(tarnel_->index_file("agent", copies.back())["status"], "indexed");
  }
  auto count = [&](const char* sql) {
    backend::Database db(root_);
    backend::Statement st = db.prepare(sql);
    EXPECT_TRUE(st.step());
    return st.column_int(0);
  };
  auto expect_records = [&](const std::string& path) {
    file_ = path;
    Json expected = original;
    for (Json& record : expected) record["file_path"] = path;
    EXPECT_EQ(stored_chunks(), expected) << path;
  };
  auto found_in = [&](const Json& filter) {
    std::set<std::string> files;
    Json answer = tarnel_->search_codebase("agent", "box put", 10, filter);
    for (const Json& result : answer["results"]) files.insert(result["file_path"]);
    return files;
  };
  EXPECT_EQ(count("SELECT COUNT(*) FROM chunks WHERE body_of IS NOT NULL"),
            2 * static_cast<std::int64_t>(original.size()));
  // The copies read their original's words: they count them, but hold none.
  const char* holding_words = "SELECT COUNT(*) FROM contexts WHERE words IS NOT NULL";
  EXPECT_EQ(count(holding_words), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM contexts WHERE word_count > 0"), 3);
  // and each unit scores in a copy as in the original (paths that hold none of the words)
  auto scores_by_unit = [&] {
    std::map<std::string, std::set<double>> scores;
    Json answer = tarnel_->search_codebase("agent", "box put", 10, nullptr);
    for (const Json& result : answer["results"]) {
      scores[result["chunk"]["name"].get<std::string>()].insert(result["score"].get<double>());
    }
    return scores;
  };
  for (const auto& [unit, scores] : scores_by_unit()) EXPECT_EQ(scores.size(), 1u) << unit;
  EXPECT_EQ(found_in(nullptr), (std::set<std::string>{original_path, copies[0], copies[1]}));
  EXPECT_EQ(found_in(Json::array({copies[1]})), std::set<std::string>{copies[1]});
  // The test's embedder is not the configured one: no chunk has the vector the stats ask for.
  std::set<std::string> hashes;
  for (const Json& record : original) hashes.insert(record["hash_id"].get<std::string>());
  Json stats = tarnel_->cache_stats("agent");
  ASSERT_EQ(stats["files"].size(), 3u);
  for (const Json& file : stats["files"]) {
    EXPECT_EQ(file["chunks_without_vectors"], hashes.size()) << file["file_path"];
  }
  reopen();
  for (const std::string& copy : copies) expect_records(copy);

  // The original touched (the same text, a new modification time) keeps its chunks.
  const char* ids = "SELECT group_concat(id) FROM chunks WHERE body_of IS NULL";
  auto text_of = [&](const char* sql) {
    backend::Database db(root_);
    backend::Statement st = db.prepare(sql);
    EXPECT_TRUE(st.step());
    return st.column_text(0);
  };
  std::string owners = text_of(ids);
  std::filesystem::last_write_time(original_path, std::filesystem::last_write_time(original_path) +
                                                      std::chrono::seconds(5));
  ASSERT_EQ(tarnel_->reindex_file("agent", original_path)["status"], "indexed");
  EXPECT_EQ(text_of(ids), owners);
  expect_records(original_path);

  // The first copy takes the texts over; the second reads them there.
  ASSERT_TRUE(tarnel_->store().delete_code_mem("agent", original_path));
  for (const std::string& copy : copies) expect_records(copy);
  EXPECT_EQ(count(holding_words), 1);
  for (const auto& [unit, scores] : scores_by_unit()) EXPECT_EQ(scores.size(), 1u) << unit;
  EXPECT_EQ(found_in(nullptr), (std::set<std::string>{copies[0], copies[1]}));
  EXPECT_EQ(count("SELECT COUNT(DISTINCT x.file_path) FROM chunks c JOIN chunks o "
                  "ON o.id = c.body_of JOIN contexts x ON x.id = o.context_id"),
            1);
  ASSERT_TRUE(tarnel_->store().delete_code_mem("agent", copies[0]));
  expect_records(copies[1]);
  EXPECT_EQ(found_in(Json::array({copies[1]})), std::set<std::string>{copies[1]});
  EXPECT_EQ(count("SELECT COUNT(*) FROM chunks WHERE body_of IS NOT NULL"), 0);
  // What the keyword index was told to forget is what it was given.
  ASSERT_TRUE(tarnel_->store().delete_code_mem("agent", copies[1]));
  EXPECT_EQ(count("SELECT COUNT(*) FROM chunk_vocab"), 0);
}

// A copy of a file that only another store holds is not cut again, and is stored whole.
TEST_F(CachedChunkingTest, ACopyOfAFileOfAnotherStoreIsStoredWhole) {
  ASSERT_EQ(tarnel_->index_file("agent", file_)["status"], "indexed");
  const Json original = stored_chunks();
  Tarnel other(dir_ + "/other_root", provider_);  // the same chunk cache
  std::string copy = write("elsewhere/util.py", read_file(file_));
  std::string failure;
  other.index_files("agent", {copy}, [&](std::size_t, const Json* answer, std::exception_ptr) {
    if (!answer || (*answer)["status"] != "indexed") failure = "not indexed";
  });
  EXPECT_EQ(failure, "");
  EXPECT_EQ(cuts(), 1);
  Json expected = original;
  for (Json& record : expected) record["file_path"] = copy;
  EXPECT_EQ((*other.store()._load_agent_data("agent", "file_contexts"))[0]["chunks"], expected);
  Json found = other.search_codebase("agent", "box put", 1);
  ASSERT_EQ(found["results"].size(), 1u);
  EXPECT_EQ(found["results"][0]["file_path"], copy);
}

// Copies met in the batch of their original, before it is stored, are not cut again and
// read their original's texts.
TEST_F(CachedChunkingTest, CopiesInTheBatchOfTheirOriginalAreNotCutAgain) {
  std::vector<std::string> paths = {file_};
  for (const char* path : {"vendored/a/util.py", "vendored/b/util.py"}) {
    paths.push_back(write(path, read_file(file_)));
  }
  std::string failure;
  tarnel_->index_files("agent", paths, [&](std::size_t, const Json* answer, std::exception_ptr) {
    if (!answer || (*answer)["status"] != "indexed") failure = "not indexed";
  }, 1);
  EXPECT_EQ(failure, "");
  EXPECT_EQ(cuts(), 1);
  const Json original = stored_chunks();
  const Json imports = tarnel_->store().get_file_imports("agent", paths[0]);
  ASSERT_FALSE(imports.empty());
  for (std::size_t i = 1; i < paths.size(); ++i) {
    file_ = paths[i];
    Json expected = original;
    for (Json& record : expected) record["file_path"] = paths[i];
    EXPECT_EQ(stored_chunks(), expected) << paths[i];
    EXPECT_EQ(tarnel_->store().get_file_imports("agent", paths[i]), imports) << paths[i];
  }
  backend::Database db(root_);
  backend::Statement st = db.prepare("SELECT COUNT(*) FROM chunks WHERE body_of IS NOT NULL");
  ASSERT_TRUE(st.step());
  EXPECT_EQ(st.column_int(0), 2 * static_cast<std::int64_t>(original.size()));
}

// Copies that follow one another are answered from the store's latest reads, each naming
// its own path.
TEST_F(CachedChunkingTest, CopiesAnsweredFromRecentReadsNameTheirOwnPaths) {
  ASSERT_EQ(tarnel_->index_file("agent", file_)["status"], "indexed");
  Json original = stored_chunks();
  reopen();  // nothing offered from contexts held in memory: the copies read the store
  const std::string text = read_file(file_);
  std::vector<std::string> copies;
  for (const char* path : {"v/a/util.py", "v/b/util.py", "v/c/util.py", "v/d/util.py"}) {
    copies.push_back(write(path, text));
    ASSERT_EQ(index_in_own_batch("agent", copies.back())["status"], "indexed") << path;
  }
  EXPECT_EQ(cuts(), 0);
  for (const std::string& copy : copies) {
    file_ = copy;
    Json expected = original;
    for (Json& record : expected) record["file_path"] = copy;
    EXPECT_EQ(stored_chunks(), expected) << copy;
  }
}

// A copy indexed in a later batch takes its original's vectors only when they are all there
// and are the embedder's in use; otherwise it makes them.
TEST_F(CachedChunkingTest, ACopyInALaterBatchTakesOnlyCompleteVectorsOfItsEmbedder) {
  struct Case {
    const char* agent;
    bool service_down_for_original;
    const char* copy_embedder;
    bool copy_reuses;
  };
  const Case cases[] = {
      {"all-vectors-same-embedder", false, "first", true},
      {"no-vectors-stored", true, "first", false},
      {"another-embedder", false, "second", false},
  };
  for (const Case& c : cases) {
    auto index_one = [&](const std::string& path) { return index_in_own_batch(c.agent, path); };
    provider_->embedder->name_ = "first";
    provider_->embedder->down = c.service_down_for_original;
    ASSERT_EQ(index_one(file_)["status"], "indexed") << c.agent;
    provider_->embedder->down = false;
    provider_->embedder->name_ = c.copy_embedder;
    std::string copy_path = write(std::string(c.agent) + "/util.py", read_file(file_));
    Json copy = index_one(copy_path);
    ASSERT_EQ(copy["status"], "indexed") << c.agent;
    std::int64_t total = copy["total_chunks"];
    EXPECT_EQ(copy["new_chunks"], c.copy_reuses ? 0 : total) << c.agent;
    EXPECT_EQ(copy["reused_chunks"], c.copy_reuses ? total : 0) << c.agent;
    backend::Database db(root_);
    backend::Statement st =
        db.prepare("SELECT vectors_complete FROM contexts WHERE agent_id = ?1 AND file_path = ?2");
    st.bind(1, std::string(c.agent)).bind(2, copy_path);
    ASSERT_TRUE(st.step()) << c.agent;
    EXPECT_EQ(st.column_int(0), 1) << c.agent;
  }
}

TEST_F(CachedChunkingTest, MissingVectorsAndVectorsOfAnotherEmbedderAreMadeAgain) {
  provider_->embedder->down = true;
  Json first = tarnel_->index_file("agent", file_);
  std::int64_t total = first["total_chunks"];
  ASSERT_GT(total, 2);
  EXPECT_EQ(tarnel_->usage_report("agent")["vectors"], 0);

  provider_->embedder->down = false;
  struct Step {
    const char* name;
    const char* embedder;
    std::int64_t new_chunks;
  };
  const Step steps[] = {
      {"the service is back", "first", total}, {"all vectors stored", "first", 0},
      {"another embedder", "second", total},   {"the first one again", "first", total},
      {"unchanged since", "first", 0},
  };
  for (const Step& step : steps) {
    provider_->embedder->name_ = step.embedder;
    Json answer = tarnel_->index_file("agent", file_);
    EXPECT_EQ(answer["new_chunks"], step.new_chunks) << step.name;
    EXPECT_EQ(answer["reused_chunks"], total - step.new_chunks) << step.name;
    EXPECT_EQ(tarnel_->usage_report("agent")["vectors"], total) << step.name;
  }
  EXPECT_EQ(cuts(), 1);
}

}  // namespace
}  // namespace vantory::testing
