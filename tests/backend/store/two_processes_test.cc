// Two processes writing to one root at once: both finish, nothing is lost, the database and
// its keyword index stay intact.
#include <sys/wait.h>
#include <unistd.h>

#include "backend/storage/database.h"
#include "backend_fixture.h"

namespace vantory::testing {
namespace {

constexpr int kFilesPerProcess = 40;

// Indexes, searches, re-indexes and invalidates; answers the process's exit status.
int write_concurrently(const std::string& root, const std::string& name) {
  try {
    Components c(root);
    for (int i = 0; i < kFilesPerProcess; ++i) {
      std::string path = name + "/file" + std::to_string(i) + ".py";
      std::string f = "f" + std::to_string(i);
      Json chunks = Json::array({chunk(f, "function", "def " + f + "(): return '" + name + "'"),
                                 chunk("shared", "function", "def shared(): pass")});
      // One agent of its own and one shared by both processes.
      c.builder->process_file_chunks(name, path, chunks, "python");
      c.builder->process_file_chunks("shared", path, chunks, "python");
      c.retriever->search("shared", "shared", 5, nullptr);
      if (i % 10 == 9) c.store->invalidate_with_vectors("shared", path);
      c.filesystem->commit_snapshot("shared", name);
    }
    return 0;
  } catch (const std::exception& e) {
    fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
    return 1;
  }
}

TEST_F(BackendTest, TwoProcessesWriteOneRootSafely) {
  c_.reset();  // no connection crosses the fork
  std::vector<pid_t> children;
  for (const char* name : {"alpha", "beta"}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(write_concurrently(root_, name));
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  open();
  EXPECT_EQ(store().list_code_mems("alpha", 100, 0)["total"], kFilesPerProcess);
  EXPECT_EQ(store().list_code_mems("beta", 100, 0)["total"], kFilesPerProcess);
  EXPECT_EQ(store().list_code_mems("shared", 200, 0)["total"], 2 * (kFilesPerProcess - 4));
  Json usage = store().get_usage_report("shared");
  EXPECT_EQ(usage["vectors"], 2 * (kFilesPerProcess - 4) + 1);  // f<i> of each file, one shared
  EXPECT_EQ(usage["searches"]["count"], 2 * kFilesPerProcess);
  EXPECT_EQ(usage["snapshots"], 2 * kFilesPerProcess);

  backend::Database db(root_);
  backend::Statement check = db.prepare("PRAGMA integrity_check");
  ASSERT_TRUE(check.step());
  EXPECT_EQ(check.column_text(0), "ok");
  EXPECT_NO_THROW(db.exec("INSERT INTO chunk_fts(chunk_fts) VALUES('integrity-check')"));
}

// Processes that open one new root at the same moment all get a working database: the switch
// to the write-ahead log, which does not wait for a busy database by itself, is tried again.
TEST_F(BackendTest, ProcessesOpeningANewRootTogetherAllSucceed) {
  constexpr int kRounds = 15;
  constexpr int kProcesses = 4;
  c_.reset();
  for (int round = 0; round < kRounds; ++round) {
    const std::string root = dir_ + "/round" + std::to_string(round);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(ready[1]);
        char go;
        if (read(ready[0], &go, 1) != 0) _exit(3);  // end of file: all start at once
        try {
          backend::Database db(root);
          backend::Statement mode = db.prepare("PRAGMA journal_mode");
          _exit(mode.step() && mode.column_text(0) == "wal" ? 0 : 2);
        } catch (const std::exception& e) {
          fprintf(stderr, "%s\n", e.what());
          _exit(1);
        }
      }
      children.push_back(pid);
    }
    close(ready[0]);
    close(ready[1]);  // the end of the pipe starts every child
    for (pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status));
      ASSERT_EQ(WEXITSTATUS(status), 0) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace vantory::testing
