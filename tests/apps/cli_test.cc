// The vantory command line, run as a person or a script would run it.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>

#include "common/files.h"
#include "common/json_text.h"
#include "tests/apps/test_support.h"

namespace vantory::testing {
namespace {

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    write_text(dir_ / "src/app.py",
               "import util\n\ndef save_user(user):\n    return util.store(user)\n");
    write_text(dir_ / "src/util.py", "import app\n\ndef store(record):\n    return record\n");
  }

  RunResult vantory(std::vector<std::string> args) {
    args.insert(args.begin(), VANTORY_BIN);
    // No embedding service: the coding commands must not need one.
    return run(args, dir_.path(), {{"REMOTE_EMBEDDING_URL", ""}, {"VANTORY_AGENT_ID", ""}});
  }

  TempDir dir_;
};

// Standard error as one line, without the libraries' diagnostics.
std::string reason_of(const std::string& err) {
  std::string reason;
  std::size_t start = 0;
  while (start < err.size()) {
    std::size_t end = err.find('\n', start);
    std::string line = err.substr(start, end - start);
    if (line.rfind("[Embedding]", 0) != 0 && !line.empty()) reason += line + "\n";
    start = end == std::string::npos ? err.size() : end + 1;
  }
  return reason;
}

TEST_F(CliTest, ExitStatusAndReasonOfFailures) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* reason;
  };
  const Case cases[] = {
      {{}, 2, nullptr},
      {{"frobnicate"}, 2, "vantory: unknown command 'frobnicate' (see vantory --help)\n"},
      {{"search"}, 2, "vantory search: missing QUERY... (see vantory search --help)\n"},
      {{"search", "--top-k", "many", "x"},
       2,
       "vantory search: --top-k needs an integer, not 'many' (see vantory search --help)\n"},
      {{"search", "--colour", "x"},
       2,
       "vantory search: unknown option '--colour' (see vantory search --help)\n"},
      {{"diff", "a"}, 2, "vantory diff: missing A B (see vantory diff --help)\n"},
      {{"cycles", "extra"},
       2,
       "vantory cycles: takes no operands, got 'extra' (see vantory cycles --help)\n"},
      {{"--agent"}, 2, "vantory: --agent needs a value (see vantory --help)\n"},
      {{"--max-file-size", "1T", "cycles"},
       2,
       "vantory: max file size '1T' is not a size (bytes, or a number with K, M or G: 512K, 4M) "
       "(see vantory --help)\n"},
      {{"index", "no/such/dir"},
       1,
       "vantory: [Errno 2] No such file or directory: 'no/such/dir'\n"},
      {{"call", "search_codebase", R"({"query": 5})"},
       1,
       "vantory call: TypeError: search_codebase() argument 'query' must be string, not "
       "integer\n"},
      {{"call", "nope"},
       2,
       "vantory call: no tool 'nope' (vantory tools lists them) (see vantory call --help)\n"},
      {{"forget", "mem-0"}, 1, "vantory: no memory with id 'mem-0'\n"},
      {{"watch", "no/such/dir"},
       1,
       "vantory watch: OSError: [Errno 2] No such file or directory: 'no/such/dir'\n"},
      {{"watch", "--debounce", "1", "src"},
       2,
       "vantory watch: --debounce must be from 10 to 60000 ms (see vantory watch --help)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    RunResult result = vantory(c.args);
    EXPECT_EQ(result.status, c.status) << result.err;
    if (c.reason) {
      EXPECT_EQ(reason_of(result.err), c.reason);
    }
  }

  // Paths outside the working directory, or the --root folders, are not read.
  RunResult outside = vantory({"index", "/etc"});
  EXPECT_EQ(outside.status, 1);
  EXPECT_EQ(
      reason_of(outside.err),
      "vantory index: PermissionError: '/etc' is outside the allowed roots: " + dir_.path() + "\n");
  EXPECT_EQ(vantory({"--root", "/etc", "--root", "src", "summary", "src/app.py"}).status, 0);
  EXPECT_EQ(vantory({"--root", "src", "index", "."}).status, 1);
}

TEST_F(CliTest, HelpEverywhere) {
  RunResult general = vantory({"--help"});
  EXPECT_EQ(general.status, 0);
  EXPECT_NE(general.out.find("commands:"), std::string::npos);
  for (const char* command : {"index", "watch", "search", "summary", "graph", "cycles", "usage",
                              "stats", "snapshot", "diff", "remember", "recall", "memories",
                              "forget", "serve-embeddings", "mcp", "call", "tools"}) {
    RunResult help = vantory({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: vantory ") + command, 0), 0u) << help.out;
    EXPECT_NE(general.out.find(std::string("  ") + command), std::string::npos) << command;
  }
  EXPECT_EQ(vantory({"help", "search"}).out, vantory({"search", "--help"}).out);
}

TEST_F(CliTest, IndexDryRunListsTheFilesAndWritesNothing) {
  RunResult preview = vantory({"index", "--dry-run", "--exclude", "util.py", "src"});
  ASSERT_EQ(preview.status, 0) << preview.err;
  EXPECT_EQ(preview.out.rfind("Would index 1 file below src, 62 bytes:\n  src/app.py\n", 0), 0u)
      << preview.out;
  EXPECT_NE(preview.out.find("(excluded 1)"), std::string::npos) << preview.out;
  EXPECT_FALSE(std::filesystem::exists(dir_ / ".vantory_coding"));
}

TEST_F(CliTest, JsonAnswersOfACodingSession) {
  RunResult indexed = vantory({"--json", "index", "src"});
  ASSERT_EQ(indexed.status, 0) << indexed.err;
  Json counts = parse_json(indexed.out);
  EXPECT_EQ(counts["indexed"], 2);
  EXPECT_EQ(indexed.out.back(), '\n');

  Json hits = parse_json(vantory({"search", "save", "user", "--json", "--top-k", "1"}).out);
  EXPECT_EQ(hits["results"][0]["chunk"]["name"], "save_user");
  EXPECT_EQ(hits["results"].size(), 1u);

  // The graph keeps what it learnt of the contexts past the call: the program still ends
  // cleanly once the backend library is closed.
  RunResult graphed = vantory({"graph", "src/app.py", "--json"});
  ASSERT_EQ(graphed.status, 0) << graphed.err;
  Json graph = parse_json(graphed.out);
  EXPECT_EQ(graph["results"]["src/app.py"]["imports"], Json({"util"}));
  Json cycles = parse_json(vantory({"cycles", "--json"}).out);
  EXPECT_EQ(cycles["has_circular_deps"], true);

  Json first = parse_json(vantory({"snapshot", "--json", "--message", "one"}).out);
  write_text(dir_ / "src/util.py", "def store(record):\n    return [record]\n");
  ASSERT_EQ(vantory({"index", "src"}).status, 0);
  Json second = parse_json(vantory({"snapshot", "--json"}).out);
  Json diff = parse_json(vantory({"diff", first["sha"], second["sha"], "--json"}).out);
  EXPECT_EQ(diff["diff"]["modified"], Json({"src/util.py"}));

  // A second agent sees nothing of the first one's code.
  Json other = parse_json(vantory({"--agent", "other", "--json", "stats"}).out);
  EXPECT_EQ(other["total_files"], 0);
}

// watch indexes the tree, then one line per change, until interrupted or the tree is gone.
TEST_F(CliTest, WatchFollowsChangesUntilInterruptedOrTheTreeIsGone) {
  std::map<std::string, std::string> environment = {{"REMOTE_EMBEDDING_URL", ""},
                                                    {"VANTORY_AGENT_ID", ""}};
  std::string line;
  {
    Subprocess watch({VANTORY_BIN, "watch", "src", "--debounce", "50"}, dir_.path(), environment);
    ASSERT_TRUE(watch.read_line(line)) << watch.stderr_text();
    EXPECT_EQ(line.rfind("Indexed src: 2 files (2 indexed) in ", 0), 0u) << line;
    // Moved in whole, so the watch cannot see it half written.
    write_text(dir_ / "added.py", "def zebra_crossing():\n    return 1\n");
    std::filesystem::rename(dir_ / "added.py", dir_ / "src/added.py");
    ASSERT_TRUE(watch.read_line(line)) << watch.stderr_text();
    EXPECT_NE(line.find(" 1 indexed in "), std::string::npos) << line;
    watch.kill(SIGINT);
    EXPECT_EQ(watch.wait(), 0) << watch.stderr_text();
  }
  Json hits = parse_json(vantory({"search", "zebra_crossing", "--json", "--top-k", "1"}).out);
  EXPECT_EQ(hits["results"][0]["chunk"]["name"], "zebra_crossing");

  Subprocess watch({VANTORY_BIN, "watch", "src"}, dir_.path(), environment);
  ASSERT_TRUE(watch.read_line(line)) << watch.stderr_text();
  EXPECT_EQ(line.rfind("Indexed src: 3 files (3 unchanged) in ", 0), 0u) << line;
  std::filesystem::remove_all(dir_ / "src");
  ASSERT_TRUE(watch.read_line(line)) << watch.stderr_text();
  EXPECT_NE(line.find(" 3 removed in "), std::string::npos) << line;
  EXPECT_EQ(watch.wait(), 1);
  EXPECT_EQ(reason_of(watch.stderr_text()), "vantory watch: src was deleted; watching ended\n");
  EXPECT_EQ(parse_json(vantory({"--json", "stats"}).out)["total_files"], 0);
}

TEST_F(CliTest, LibraryLinesOnlyWhenAskedFailuresAlways) {
  const std::string loaded = "[Embedding] numpy not available, using pure Python vectors\n";
  RunResult quiet = vantory({"search", "x"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(vantory({"--verbose", "search", "x"}).err, loaded);
  RunResult logged = vantory({"search", "x", "--log-file", dir_ / "logs/vantory.log"});
  EXPECT_EQ(logged.status, 1) << "the log's folder does not exist";
  EXPECT_EQ(logged.err.rfind("vantory search: OSError: ", 0), 0u) << logged.err;
  ASSERT_EQ(vantory({"search", "x", "--log-file", dir_ / "vantory.log"}).err, "");
  EXPECT_EQ(read_file(dir_ / "vantory.log"), loaded);

  // A failing service is a failure: its line shows, beside the command's own warning.
  RunResult offline = run({VANTORY_BIN, "remember", "a", "note"}, dir_.path(),
                          {{"REMOTE_EMBEDDING_URL", "http://127.0.0.1:1/embed"}});
  EXPECT_EQ(offline.status, 0);
  EXPECT_EQ(offline.err.rfind("[Embedding] API URL error: ", 0), 0u) << offline.err;
  EXPECT_EQ(offline.err.find("numpy"), std::string::npos) << offline.err;
}

TEST_F(CliTest, HumanOutputIsAlignedColumns) {
  ASSERT_EQ(vantory({"index", "src"}).status, 0);
  RunResult search = vantory({"search", "store", "record"});
  ASSERT_EQ(search.status, 0);
  std::size_t header_where = search.out.find("WHERE");
  std::size_t line_start = search.out.find('\n') + 1;
  ASSERT_NE(header_where, std::string::npos);
  EXPECT_EQ(search.out.substr(line_start + header_where, 4), "src/") << search.out;
  EXPECT_EQ(vantory({"cycles"}).out, "1 circular import among 2 modules:\n  app -> util -> app\n");
}

}  // namespace
}  // namespace vantory::testing
