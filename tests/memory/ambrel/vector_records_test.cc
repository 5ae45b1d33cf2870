#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"
#include "tests/memory/ambrel/ambrel_test_util.h"

namespace vantory {
namespace {

using ambrel_test::memory;
using ambrel_test::scripted_vector;
using ambrel_test::StoreTest;
using test_support::StderrCapture;

std::vector<std::string> ids_of(const VectorMap& map) {
  std::vector<std::string> ids;
  for (const auto& entry : map) ids.push_back(entry.first);
  return ids;
}

TEST_F(StoreTest, AddVectorEmbedsAndReplacesInPlace) {
  EXPECT_EQ(store->add_vector("agent", "e1", "v:1,0"), (std::vector<double>{1, 0}));
  store->add_vector("agent", "e2", "v:0,1");
  EXPECT_EQ(store->add_vector("agent", "e1", "v:0.5,2"), (std::vector<double>{0.5, 2}));
  EXPECT_EQ(file_text(), "{\"e1\": [0.5, 2.0], \"e2\": [0.0, 1.0]}");
  EXPECT_EQ(store->get_vector("agent", "e1"), create_vector(std::vector<double>{0.5, 2}));
  EXPECT_EQ(make_store()->get_vector("agent", "e2"), create_vector(std::vector<double>{0, 1}));
  EXPECT_EQ(store->get_vector("agent", "e3"), std::nullopt);
  EXPECT_EQ(store->add_vector("agent", "", ""), scripted_vector("").tolist());
}

TEST_F(StoreTest, AddVectorFailuresAreReportedNotThrown) {
  store->add_vector("agent", "e1", "v:1");
  {
    StderrCapture err;
    EXPECT_EQ(store->add_vector("agent", "e2", "please fail"), std::nullopt);
    EXPECT_EQ(err.text(), "[Ambrel] Failed to add vector: service down\n");
  }
  {
    // A zero vector is what a failed request gives: never stored, by any of the three paths.
    StderrCapture err;
    EXPECT_EQ(store->add_vector("agent", "e2", "v:0,0"), std::nullopt);
    EXPECT_EQ(store->add_vectors_batch("agent", Json::array({memory("e2", "v:0,0")})), 0);
    store->semantic_search("agent", "v:1", Json::array({memory("e2", "v:0,0")}));
    EXPECT_EQ(err.text(),
              "[Ambrel] Failed to add vector: the embedding service gave no embedding\n"
              "[Ambrel] Failed to embed e2: the embedding service gave no embedding\n"
              "[Ambrel] Failed to add vector: the embedding service gave no embedding\n");
  }
  {
    StderrCapture err;
    EXPECT_EQ(store->add_vector(std::string(300, 'x'), "e", "v:1"), std::nullopt);
    EXPECT_EQ(
        err.text().rfind("[Ambrel] Failed to add vector: [Errno 36] File name too long: '", 0), 0u);
  }
  EXPECT_EQ(file_text(), "{\"e1\": [1.0]}");
  // A file that cannot be read is never replaced: the add fails.
  std::string path = store->_get_vectors_path("other");
  std::filesystem::create_directories(path + "/blocker");
  {
    StderrCapture err;
    EXPECT_EQ(store->add_vector("other", "e", "v:3"), std::nullopt);
    std::string reason = "[Errno 21] Is a directory: '" + path + "'\n";
    EXPECT_EQ(err.text(), "[Ambrel] Failed to load vectors: " + reason +
                              "[Ambrel] Failed to add vector: " + reason);
    EXPECT_EQ(store->cached_vectors_for_testing("other"), nullptr);
  }
  // A write that fails (the disk is full) is a failed add, batch or delete: nothing answered
  // as stored is missing from the file.
  std::string before = file_text();
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = saved;
  tiny.rlim_cur = 1;
  setrlimit(RLIMIT_FSIZE, &tiny);  // (no capture of standard error: it would be a file too)
  std::optional<std::vector<double>> added = store->add_vector("agent", "e3", "v:3");
  std::int64_t batch = store->add_vectors_batch("agent", Json::array({memory("e4", "v:4")}));
  bool deleted = store->delete_vector("agent", "e1");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(added, std::nullopt);
  EXPECT_EQ(batch, 0);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(file_text(), before);
  EXPECT_EQ(make_store()->get_vector("agent", "e3"), std::nullopt);
  EXPECT_EQ(store->get_vector("agent", "e3"), std::nullopt);
}

TEST_F(StoreTest, BatchEmbedsOnlyWhatIsMissing) {
  Json entries = {
      memory("e1", "first"), memory("e1", "other text"), {{"content", "no id"}}, {{"id", "e2"}}};
  {
    StderrCapture err;
    EXPECT_EQ(store->add_vectors_batch("agent", entries), 1);
    EXPECT_EQ(err.text(), "[Ambrel] Added 1 vectors for agent\n");
  }
  EXPECT_EQ(client->calls, 1);
  std::string before = file_text();
  {
    StderrCapture err;
    EXPECT_EQ(store->add_vectors_batch("agent", entries), 0);
    EXPECT_EQ(err.text(), "");
  }
  EXPECT_EQ(file_text(), before);

  Json more = {{{"id", "e3"}, {"lossless_restatement", ""}, {"content", "v:7"}},
               {{"id", "e4"}, {"lossless_restatement", "v:8"}, {"content", "v:9"}},
               memory("e5", "must fail"),
               {{"id", 0}, {"content", "falsy id"}},
               {{"id", nullptr}},
               {{"id", false}},
               {{"id", Json::array()}}};
  StderrCapture err;
  EXPECT_EQ(store->add_vectors_batch("agent", more), 2);
  EXPECT_EQ(err.text(),
            "[Ambrel] Failed to embed e5: service down\n[Ambrel] Added 2 vectors for agent\n");
  EXPECT_EQ(ids_of(store->_load_vectors("agent")), (std::vector<std::string>{"e1", "e3", "e4"}));
  EXPECT_EQ(store->get_vector("agent", "e3"), create_vector(std::vector<double>{7}));
  EXPECT_EQ(store->get_vector("agent", "e4"), create_vector(std::vector<double>{8}));
}

TEST_F(StoreTest, BatchRejectsMalformedEntriesAndWritesNothing) {
  const char* cases[] = {
      "5",
      "null",
      "[1]",
      "[{\"id\": \"ok\", \"content\": \"fine\"}, \"x\"]",
      "[{\"id\": 5, \"content\": \"x\"}]",
  };
  for (const char* text : cases) {
    EXPECT_THROW(store->add_vectors_batch("agent", parse_json(text)), TypeError) << text;
    EXPECT_FALSE(path_exists(store->_get_vectors_path("agent"))) << text;
  }
  try {
    store->add_vectors_batch("agent", parse_json("[{\"id\": \"a\"}, {\"id\": 7}]"));
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "memory entry 1: 'id' must be a string, not int");
  }
  // A text that is not a string fails its entry alone.
  StderrCapture err;
  EXPECT_EQ(store->add_vectors_batch("agent", parse_json("[{\"id\": \"a\", \"content\": [\"x\"]}, "
                                                         "{\"id\": \"b\", \"content\": \"v:1\"}]")),
            1);
  EXPECT_EQ(err.text().rfind("[Ambrel] Failed to embed a: memory entry 0: 'content' must be", 0),
            0u);
  EXPECT_EQ(file_text(), "{\"b\": [1.0]}");
}

TEST_F(StoreTest, DeleteClearAndStats) {
  store->add_vector("agent", "e1", "v:1");
  store->add_vector("agent", "e2", "v:2");
  struct stat before, after;
  ASSERT_EQ(stat(store->_get_vectors_path("agent").c_str(), &before), 0);
  EXPECT_FALSE(store->delete_vector("agent", "e9"));
  EXPECT_FALSE(make_store()->delete_vector("agent", "e9"));
  ASSERT_EQ(stat(store->_get_vectors_path("agent").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_TRUE(store->delete_vector("agent", "e1"));
  EXPECT_EQ(file_text(), "{\"e2\": [2.0]}");

  EXPECT_EQ(dump_json(store->get_stats("agent")),
            "{\"agent_id\": \"agent\", \"vector_count\": 1, \"dimension\": 768, \"cache_size\": " +
                std::to_string(client->cache_size()) + ", \"embedder_mismatch\": null}");
  for (const char* agent : {"agent", "never"}) {
    StderrCapture err;
    store->clear_vectors(agent);
    EXPECT_EQ(err.text(), std::string("[Ambrel] Cleared vectors for ") + agent + "\n");
  }
  EXPECT_FALSE(path_exists(store->_get_vectors_path("agent")));
  EXPECT_TRUE(is_directory(store->_get_agent_path("agent")));
  EXPECT_FALSE(path_exists(store->_get_agent_path("never")));
  EXPECT_EQ(store->get_vector("agent", "e2"), std::nullopt);
  EXPECT_EQ(store->get_stats("agent")["vector_count"], 0);
}

// The identity of the client that made an agent's vectors is kept beside them, so that a store
// using another model tells in get_stats, and warns once, that the similarities mean nothing.
TEST_F(StoreTest, VectorsRememberTheClientThatMadeThem) {
  store->add_vector("agent", "e1", "v:1,0");
  std::string record = store->_get_agent_path("agent") + "/embedder.json";
  EXPECT_EQ(parse_json(read_file(record)), client->identity());
  EXPECT_EQ(file_text(), "{\"e1\": [1.0, 0.0]}");
  EXPECT_TRUE(store->get_stats("agent")["embedder_mismatch"].is_null());

  StderrCapture err;
  LocalAmbrel other(store->root_path,
                    std::make_shared<RemoteEmbeddingClient>("http://h/v1/embeddings", "", "m2"));
  Json mismatch = other.get_stats("agent")["embedder_mismatch"];
  other.get_stats("agent");
  other.get_vector("agent", "e1");
  std::string log = err.text();
  EXPECT_EQ(mismatch["recorded"], client->identity());
  EXPECT_EQ(mismatch["current"]["model"], "m2");
  std::string warning = "[Ambrel] Vectors of agent agent were made by rest http://scripted";
  EXPECT_NE(log.find(warning), std::string::npos) << log;
  EXPECT_EQ(log.find(warning), log.rfind(warning));  // once

  // The last vector gone, the record goes too; the next vectors record their own client.
  store->delete_vector("agent", "e1");
  EXPECT_FALSE(path_exists(record));
  store->add_vector("agent", "e2", "v:0,1");
  store->clear_vectors("agent");
  EXPECT_FALSE(path_exists(record));
}

TEST_F(StoreTest, DirectoryFailuresReachTheCaller) {
  store->add_vector("agent", "e1", "v:1");
  std::filesystem::remove_all(store->_get_agent_path("agent"));
  write_file_atomic(store->_get_agent_path("agent"), "not a directory");
  EXPECT_THROW(store->delete_vector("agent", "e1"), OSError);
  EXPECT_THROW(store->_save_vectors("agent", VectorMap()), OSError);
  EXPECT_THROW(store->add_vectors_batch("agent", Json::array({memory("e2", "text")})), OSError);
  EXPECT_EQ(store->get_vector("agent", "e1"), create_vector(std::vector<double>{1}));

  std::filesystem::create_directories(store->_get_vectors_path("stuck") + "/inside");
  EXPECT_THROW(store->clear_vectors("stuck"), OSError);
}

TEST_F(StoreTest, ConcurrentAddsAndDeletesLoseNothing) {
  constexpr int kThreads = 8, kIds = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kIds; ++i) {
        std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
        store->add_vector("agent", id, "v:" + std::to_string(i + 1));
        if (i % 2 == 1) store->delete_vector("agent", id);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kIds; i += 2)
      expected.insert("t" + std::to_string(t) + "-" + std::to_string(i));
  }
  std::vector<std::string> on_disk = ids_of(make_store()->_load_vectors("agent"));
  EXPECT_EQ(std::set<std::string>(on_disk.begin(), on_disk.end()), expected);
  EXPECT_EQ(on_disk.size(), expected.size());
  EXPECT_EQ(ids_of(*store->cached_vectors_for_testing("agent")), on_disk);
}

// Stores of separate processes share the vectors file: each sees the others' saves before it
// changes the file, and their writes exclude one another.
TEST_F(StoreTest, StoresOfSeveralProcessesLoseNothing) {
  std::unique_ptr<LocalAmbrel> other = make_store();
  store->add_vector("agent", "first", "v:1");
  EXPECT_EQ(other->get_vector("agent", "first"), create_vector(std::vector<double>{1}));
  store->add_vector("agent", "second", "v:2");  // the other store's cache is now old
  EXPECT_EQ(other->get_vector("agent", "second"), create_vector(std::vector<double>{2}));
  other->add_vector("agent", "third", "v:3");
  EXPECT_TRUE(store->delete_vector("agent", "third"));
  EXPECT_EQ(ids_of(make_store()->_load_vectors("agent")),
            (std::vector<std::string>{"first", "second"}));

  constexpr int kProcesses = 3, kIds = 25;
  store.reset();
  other.reset();
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::unique_ptr<LocalAmbrel> own = make_store();
      for (int i = 0; i < kIds; ++i) {
        std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
        if (!own->add_vector("agent", id, "v:" + std::to_string(i + 1))) _exit(1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<std::string> on_disk = ids_of(make_store()->_load_vectors("agent"));
  EXPECT_EQ(on_disk.size(), 2u + kProcesses * kIds);
}

}  // namespace
}  // namespace vantory
