// A watched tree kept in the code memory: the watcher's batches applied by an IndexUpdater to a
// real Tarnel, and the same through the MCP server's FolderWatches.
#include "apps/host/tree_watcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "apps/host/index_updater.h"
#include "apps/mcp/folder_watches.h"
#include "tests/apps/host_fixture.h"

namespace vantory::host {
namespace {

namespace fs = std::filesystem;

class TreeWatcherTest : public testing::HostTest {
 protected:
  TreeWatcherTest() { fs::create_directories(root_); }

  // A watcher that hands on a batch after `quiet` without changes.
  void watch(std::chrono::milliseconds quiet = std::chrono::milliseconds(50)) {
    watcher_ =
        std::make_unique<TreeWatcher>(root_, SourceFilter{}, WatchOptions{quiet, quiet * 40});
    updater_ = std::make_unique<IndexUpdater>(
        root_, "tester",
        [this](const std::function<void(Tarnel&)>& work) { work(host_->tarnel()); });
  }

  Json apply_next() { return updater_->apply(watcher_->next_batch()); }

  std::vector<std::string> indexed() {
    std::vector<std::string> paths;
    Json listed = host_->tarnel().list_indexed_files("tester", 1000);
    for (const Json& file : listed["files"]) {
      paths.push_back(file["file_path"].get<std::string>().substr(root_.size() + 1));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  // indexed, updated, unchanged, removed, failed
  static std::vector<std::int64_t> counts(const Json& answer) {
    std::vector<std::int64_t> values;
    for (const char* key : {"indexed", "updated", "unchanged", "removed", "failed"}) {
      values.push_back(answer[key].get<std::int64_t>());
    }
    return values;
  }

  const std::string root_ = dir_ / "repo";
  std::unique_ptr<TreeWatcher> watcher_;
  std::unique_ptr<IndexUpdater> updater_;
};

TEST_F(TreeWatcherTest, FollowsEditsNewFoldersDeletionsAndRenames) {
  testing::write_text(root_ + "/a.py", "def alpha():\n    return 1\n");
  testing::write_text(root_ + "/b.py", "def beta():\n    return 2\n");
  watch();
  Json first = apply_next();
  EXPECT_EQ(first["rescan"], true);
  EXPECT_EQ(counts(first), (std::vector<std::int64_t>{2, 0, 0, 0, 0}));

  testing::write_text(root_ + "/a.py",
                      "def alpha():\n    return 1\n\ndef gamma():\n    return 3\n");
  EXPECT_EQ(counts(apply_next()), (std::vector<std::int64_t>{0, 1, 0, 0, 0}));
  Json hits = host_->tarnel().search_codebase("tester", "gamma", 1);
  EXPECT_EQ(hits["results"][0]["chunk"]["name"], "gamma");

  // A folder made with a file in it at once: the file may be there before its folder's watch.
  fs::create_directories(root_ + "/pkg/sub");
  testing::write_text(root_ + "/pkg/sub/c.py", "def gamma_c():\n    return 4\n");
  EXPECT_EQ(counts(apply_next()), (std::vector<std::int64_t>{1, 0, 0, 0, 0}));

  fs::remove(root_ + "/b.py");
  EXPECT_EQ(counts(apply_next()), (std::vector<std::int64_t>{0, 0, 0, 1, 0}));

  fs::rename(root_ + "/a.py", root_ + "/pkg/d.py");
  EXPECT_EQ(counts(apply_next()), (std::vector<std::int64_t>{1, 0, 0, 1, 0}));
  EXPECT_EQ(indexed(), (std::vector<std::string>{"pkg/d.py", "pkg/sub/c.py"}));

  // A folder moved away takes what was indexed below it.
  fs::rename(root_ + "/pkg", dir_ / "elsewhere");
  EXPECT_EQ(counts(apply_next()), (std::vector<std::int64_t>{0, 0, 0, 2, 0}));
  EXPECT_TRUE(indexed().empty());
}

// An editor's save through a temporary file and a checkout-like burst over new folders, written
// while the watcher waits, come as one batch, with what indexing leaves out left out here too.
TEST_F(TreeWatcherTest, TakesABurstAsOneBatch) {
  testing::write_text(root_ + "/.gitignore", "*.log\n");
  testing::write_text(root_ + "/main.py", "def main():\n    pass\n");
  watch(std::chrono::milliseconds(1000));
  apply_next();

  std::vector<std::string> expected = {root_ + "/main.py"};
  std::thread writer([&] {
    testing::write_text(root_ + "/.main.py.swp", "swap");
    testing::write_text(root_ + "/main.py.tmp", "def main():\n    return 0\n");
    fs::rename(root_ + "/main.py.tmp", root_ + "/main.py");
    fs::remove(root_ + "/.main.py.swp");
    for (int folder = 0; folder < 5; ++folder) {
      for (int file = 0; file < 10; ++file) {
        std::string path = root_ + "/m" + std::to_string(folder) + "/f" + std::to_string(file);
        testing::write_text(path + ".py", "def f():\n    return " + std::to_string(file) + "\n");
        testing::write_text(path + ".log", "log\n");
        expected.push_back(path + ".py");
        // Paced like a checkout on a busy disk, well inside the quiet time.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    testing::write_text(root_ + "/build/out.py", "x = 1\n");
  });
  WatchBatch batch = watcher_->next_batch();
  writer.join();
  EXPECT_FALSE(batch.rescan);
  std::sort(batch.changed.begin(), batch.changed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(batch.changed, expected);
  EXPECT_EQ(counts(updater_->apply(batch)), (std::vector<std::int64_t>{50, 1, 0, 0, 0}));
}

TEST_F(TreeWatcherTest, EndsWhenTheTreeIsDeletedOrStopped) {
  testing::write_text(root_ + "/a.py", "x = 1\n");
  testing::write_text(root_ + "/sub/b.py", "y = 2\n");
  watch();
  apply_next();
  fs::remove_all(root_);
  WatchBatch batch = watcher_->next_batch();
  EXPECT_EQ(batch.ended, root_ + " was deleted");
  EXPECT_EQ(counts(updater_->apply(batch)), (std::vector<std::int64_t>{0, 0, 0, 2, 0}));
  EXPECT_EQ(watcher_->next_batch().ended, batch.ended);

  fs::create_directories(root_);
  watch();
  watcher_->next_batch();
  std::thread stopper([this] { watcher_->stop(); });
  EXPECT_EQ(watcher_->next_batch().ended, TreeWatcher::kStopped);
  stopper.join();
  EXPECT_THROW(TreeWatcher(dir_ / "missing"), OSError);
}

// Inside the server the watch's work runs as jobs of the code-memory lane; a search through the
// server's tools sees what it indexed.
TEST_F(TreeWatcherTest, TheServerKeepsAWatchedFolderCurrent) {
  testing::write_text(root_ + "/a.py", "def alpha():\n    return 1\n");
  std::mutex mutex;
  std::condition_variable applied;
  std::deque<Json> answers;
  mcp::CallScheduler scheduler(2, 8);
  {
    mcp::FolderWatches watches(*host_, scheduler, {root_}, {std::chrono::milliseconds(50)},
                               [&](const WatchBatch&, const Json& answer) {
                                 std::lock_guard<std::mutex> lock(mutex);
                                 answers.push_back(answer);
                                 applied.notify_all();
                               });
    auto next = [&] {
      std::unique_lock<std::mutex> lock(mutex);
      applied.wait(lock, [&] { return !answers.empty(); });
      Json answer = answers.front();
      answers.pop_front();
      return answer;
    };
    EXPECT_EQ(next()["indexed"], 1);
    // Moved in whole, so the watch cannot see it half written.
    testing::write_text(dir_ / "b.py", "def zebra_crossing():\n    return 2\n");
    fs::rename(dir_ / "b.py", root_ + "/b.py");
    EXPECT_EQ(next()["indexed"], 1);
    Json hits = host_->call_tool("search_codebase", {{"query", "zebra_crossing"}, {"top_k", 1}});
    EXPECT_EQ(hits["results"][0]["chunk"]["name"], "zebra_crossing");
  }
  EXPECT_THROW(mcp::FolderWatches(*host_, scheduler, {"/"}), PermissionError);
}

}  // namespace
}  // namespace vantory::host
