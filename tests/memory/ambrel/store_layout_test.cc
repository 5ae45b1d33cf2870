#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "common/error.h"
#include "common/files.h"
#include "memory/ambrel/process_ambrel.h"
#include "memory/embedding/process_client.h"
#include "tests/memory/ambrel/ambrel_test_util.h"

namespace vantory {
namespace {

using ambrel_test::StoreTest;
using test_support::ScopedEnvironment;
using test_support::StderrCapture;
using test_support::TempDir;

std::vector<double> numbers_of(const VectorMap& map, const std::string& id) {
  const StoredVector* v = map.find(id);
  return v ? v->tolist() : std::vector<double>{-999};
}

TEST_F(StoreTest, SafeIdsStayBelowTheAgentsDirectory) {
  const std::string agents = std::filesystem::canonical(store->root_path).string() + "/agents";
  struct Case {
    std::string agent_id;
    std::string safe;
  } cases[] = {
      {"team/alpha 1", "team_alpha_1"},
      {"\xC3\x9Cn\xC3\xAF"
       "code",
       "\xC3\x9Cn\xC3\xAF"
       "code"},  // Ünïcode keeps its letters
      {"a.b", "a_b"},
      {"a/b", "a_b"},
      {"..", "__"},
      {"../../etc", "______etc"},
      {"/abs", "_abs"},
      {std::string("x\0y", 3), "x_y"},
      {"\xC3\xA9\xC3\x9F\xD9\xA3\xC2\xB2-_", "\xC3\xA9\xC3\x9F\xD9\xA3\xC2\xB2-_"},  // é ß ٣ ² - _
      {"a\xF0\x9F\x98\x80"
       "b",
       "a_b"},  // one "_" per code point, emoji included
      {"tab\there", "tab_here"},
      {"bad\xFF", "bad_"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LocalAmbrel::safe_id(c.agent_id), c.safe) << c.agent_id;
    std::string path = store->_get_agent_path(c.agent_id);
    EXPECT_EQ(path, store->root_path + "/agents" + (c.safe.empty() ? "" : "/" + c.safe));
    EXPECT_EQ(store->_get_vectors_path(c.agent_id), path + "/vectors.json");
  }
  // Whatever the id, files land inside agents/.
  for (const Case& c : cases) {
    store->add_vector(c.agent_id, "e", "text");
    auto real = std::filesystem::weakly_canonical(store->_get_vectors_path(c.agent_id));
    EXPECT_EQ(real.string().rfind(agents + "/", 0), 0u) << real;
    EXPECT_TRUE(std::filesystem::exists(real));
  }
}

TEST_F(StoreTest, ConstructionMakesTheRootAndPicksTheClient) {
  auto relative = make_store(true, "./x/./data/");
  EXPECT_EQ(relative->root_path, dir.path() + "/x/data");
  EXPECT_TRUE(is_directory(relative->root_path));
  EXPECT_EQ(relative->embedding_client, client);

  write_file_atomic(dir.path() + "/file", "");
  EXPECT_THROW(make_store(true, "file/data"), OSError);

  ScopedEnvironment env;
  reset_embedding_client();
  {
    StderrCapture quiet;
    LocalAmbrel own(dir.path() + "/own", client);
    auto shared = get_embedding_client(dir.path() + "/later");
    EXPECT_EQ(shared->_cache_path, dir.path() + "/later");  // the store never asked for it
    reset_embedding_client();
    LocalAmbrel default_client(dir.path() + "/d");
    EXPECT_EQ(default_client.embedding_client->_cache_path, dir.path() + "/d/.embedding_cache");
    EXPECT_EQ(default_client.embedding_client, get_embedding_client());
  }
  reset_embedding_client();
}

TEST_F(StoreTest, VectorsFileByteForByte) {
  VectorMap map;
  store->_save_vectors("agent", map);
  EXPECT_EQ(file_text(), "{}");

  const double inf = std::numeric_limits<double>::infinity();
  map.insert_or_assign("e1", StoredVector(create_vector(std::vector<double>{0.1, -2, 0.5})));
  map.insert_or_assign("\xC3\xA9\xF0\x9F\x98\x80\"\\",
                       std::vector<double>{NAN, inf, -inf, 1e-5, 1e16});
  map.insert_or_assign("empty", std::vector<double>{});
  map.insert_or_assign("e1", std::vector<double>{0.25});  // replaced where it stands
  store->_save_vectors("agent", map);
  EXPECT_EQ(file_text(),
            "{\"e1\": [0.25], \"\\u00e9\\ud83d\\ude00\\\"\\\\\": [NaN, Infinity, -Infinity, "
            "1e-05, 1e+16], \"empty\": []}");

  store->add_vector("agent", "new", "v:0.1,0.2");
  EXPECT_TRUE(store->delete_vector("agent", "e1"));
  EXPECT_EQ(file_text(),
            "{\"\\u00e9\\ud83d\\ude00\\\"\\\\\": [NaN, Infinity, -Infinity, "
            "9.999999747378752e-06, 1.0000000272564224e+16], \"empty\": [], "
            "\"new\": [0.10000000149011612, 0.20000000298023224]}");
}

TEST_F(StoreTest, DamagedFilesAreReportedAndReadAgainLater) {
  const std::string path = store->_get_vectors_path("agent");
  std::filesystem::create_directories(store->_get_agent_path("agent"));
  for (std::string damaged : {"[1, 2]", "{\"a\": \"x\"}", "{\"a\": [1, \"x\"]}", "{\"a\": {}}",
                              "not json", "", "{\"a\": [1, 2]"}) {
    write_file_atomic(path, damaged);
    StderrCapture err;
    EXPECT_TRUE(store->_load_vectors("agent").empty()) << damaged;
    std::string text = err.text();
    EXPECT_EQ(text.rfind("[Ambrel] Failed to load vectors: ", 0), 0u) << text;
    std::string kept = "\n[Ambrel] Kept the damaged vectors file as " + path + ".damaged-";
    EXPECT_NE(text.find(kept), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_EQ(store->cached_vectors_for_testing("agent"), nullptr);
    EXPECT_FALSE(path_exists(path));
  }
  // Each damaged file is kept, none replaces another.
  std::size_t kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(store->_get_agent_path("agent"))) {
    kept += entry.path().filename().string().rfind("vectors.json.damaged-", 0) == 0;
  }
  EXPECT_EQ(kept, 7u);
  write_file_atomic(path, "{\"a\": [1, 2], \"b\": [3], \"a\": [4]}");
  VectorMap loaded = store->_load_vectors("agent");
  EXPECT_EQ(loaded.size(), 2u);
  EXPECT_EQ(loaded.begin()->first, "a");  // a repeated key keeps its first place, last value
  EXPECT_EQ(numbers_of(loaded, "a"), std::vector<double>{4});
  EXPECT_NE(store->cached_vectors_for_testing("agent"), nullptr);
  std::filesystem::remove(path);
  EXPECT_EQ(store->_load_vectors("agent").size(), 2u);  // the cache answers from now on
}

TEST_F(StoreTest, AFileDamagedByAnotherProgramIsNeverSavedOver) {
  store->add_vector("agent", "a", "v:1");
  store->add_vector("agent", "b", "v:2");
  const std::string path = store->_get_vectors_path("agent");
  write_file_atomic(path, "{\"a\": [1.0], \"b\": [2.");  // another program's broken save
  StderrCapture err;
  EXPECT_EQ(store->get_vector("agent", "a"), create_vector(std::vector<double>{1}));
  EXPECT_EQ(store->add_vector("agent", "c", "v:3"), (std::vector<double>{3}));
  EXPECT_EQ(file_text(), "{\"a\": [1.0], \"b\": [2.0], \"c\": [3.0]}");
  std::string text = err.text();
  std::size_t at = text.find("[Ambrel] Kept the damaged vectors file as ");
  ASSERT_NE(at, std::string::npos) << text;
  std::string kept = text.substr(at + 42, text.find(';', at) - at - 42);
  EXPECT_EQ(read_file(kept), "{\"a\": [1.0], \"b\": [2.");
}

TEST_F(StoreTest, FileNumbersComeBackExactThenFromTheCache) {
  std::filesystem::create_directories(store->_get_agent_path("agent"));
  write_file_atomic(store->_get_vectors_path("agent"), "{\"a\": [0.1, 1e300, 2]}");
  EXPECT_EQ(numbers_of(store->_load_vectors("agent"), "a"), (std::vector<double>{0.1, 1e300, 2}));
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(numbers_of(store->_load_vectors("agent"), "a"),
            (std::vector<double>{0.10000000149011612, inf, 2}));

  // Every change writes the numbers of the entries it did not change as the file had them,
  // whether they were read just now or come from the cache.
  auto fresh = make_store();
  fresh->add_vector("agent", "b", "v:1");
  EXPECT_EQ(file_text(), "{\"a\": [0.1, 1e300, 2], \"b\": [1.0]}");
  fresh->add_vector("agent", "c", "v:2");
  EXPECT_EQ(file_text(), "{\"a\": [0.1, 1e300, 2], \"b\": [1.0], \"c\": [2.0]}");
  write_file_atomic(store->_get_vectors_path("agent"), "{\"t\": [true, 1,0.5 ]}");
  EXPECT_EQ(fresh->add_vectors_batch("agent", Json::array({ambrel_test::memory("d", "v:3")})), 1);
  fresh->delete_vector("agent", "d");
  EXPECT_EQ(file_text(), "{\"t\": [true, 1,0.5 ]}");

  EXPECT_EQ(LocalAmbrel::_to_list(Json::parse("[1, 2.5, true]")), (std::vector<double>{1, 2.5, 1}));
  for (const char* bad : {"null", "{}", "[1, \"x\"]", "\"12\""}) {
    EXPECT_THROW(LocalAmbrel::_to_list(Json::parse(bad)), TypeError) << bad;
  }
}

TEST(ProcessWideStore, FirstRootWinsUntilReset) {
  TempDir dir;
  ScopedEnvironment env;
  StderrCapture quiet;
  reset_ambrel();
  std::shared_ptr<LocalAmbrel> a = get_ambrel(dir.path() + "/a");
  EXPECT_EQ(get_ambrel(dir.path() + "/b"), a);
  EXPECT_EQ(a->root_path, dir.path() + "/a");
  reset_ambrel();
  std::shared_ptr<LocalAmbrel> b = get_ambrel(dir.path() + "/b");
  EXPECT_NE(b, a);
  EXPECT_EQ(b->root_path, dir.path() + "/b");
  a->clear_vectors("still usable");
  reset_ambrel();
  reset_embedding_client();
}

TEST_F(StoreTest, WriterKilledMidSaveLeavesALoadableFile) {
  std::vector<double> numbers(768, 0.123456789);
  store->_save_vectors("agent", VectorMap());
  int progress[2];
  ASSERT_EQ(pipe(progress), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    VectorMap map;
    for (int i = 0;; ++i) {
      map.insert_or_assign("e" + std::to_string(i), numbers);
      store->_save_vectors("agent", map);
      if (write(progress[1], "x", 1) != 1) _exit(1);
    }
  }
  close(progress[1]);
  char seen[40];
  std::size_t got = 0;
  while (got < sizeof seen) {
    ssize_t n = read(progress[0], seen + got, sizeof seen - got);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(progress[0]);

  StderrCapture err;
  VectorMap loaded = make_store()->_load_vectors("agent");
  EXPECT_EQ(err.text(), "");
  ASSERT_GE(loaded.size(), sizeof seen);
  std::size_t i = 0;
  for (const auto& [id, vector] : loaded) {
    EXPECT_EQ(id, "e" + std::to_string(i++));
    EXPECT_EQ(vector.size(), 768u);
  }
}

}  // namespace
}  // namespace vantory
