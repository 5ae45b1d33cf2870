// Several vantory-mcp servers on one coding root and one data root, indexing, searching and
// adding memories at the same time: every call succeeds, nothing is lost or doubled, and the
// database stays intact.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "apps/embeddings/local_embedding_service.h"
#include "backend/storage/database.h"
#include "common/files.h"
#include "common/json_text.h"
#include "tests/apps/test_support.h"

namespace vantory::testing {
namespace {

constexpr int kServers = 3;
constexpr int kRounds = 12;

std::string request(int id, const std::string& method, const Json& params) {
  return dump_json({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}) + "\n";
}

std::string call(int id, const std::string& tool, const Json& arguments) {
  return request(id, "tools/call", {{"name", tool}, {"arguments", arguments}});
}

std::string own_file(int server, int round) {
  return "repo/server" + std::to_string(server) + "/module" + std::to_string(round) + ".py";
}

std::string shared_file(int round) { return "repo/shared/common" + std::to_string(round) + ".py"; }

std::string memory_id(int server, int round) {
  return "note-" + std::to_string(server) + "-" + std::to_string(round);
}

// One server's session: each round indexes a file of its own and one that every server
// indexes, searches the code, remembers a note and searches the notes.
std::string session(int server) {
  std::string input = request(0, "initialize", {{"protocolVersion", "2025-11-25"},
                                                {"capabilities", Json::object()},
                                                {"clientInfo", {{"name", "load"}, {"version", "1"}}}});
  input += "{\"jsonrpc\": \"2.0\", \"method\": \"notifications/initialized\"}\n";
  int id = 1;
  for (int round = 0; round < kRounds; ++round) {
    input += call(id++, "index_file", {{"file_path", own_file(server, round)}});
    input += call(id++, "index_file", {{"file_path", shared_file(round)}});
    input += call(id++, "search_codebase", {{"query", "helper value"}});
    input += call(id++, "memory_add", {{"id", memory_id(server, round)},
                                       {"content", "server " + std::to_string(server) +
                                                       " remembers round " + std::to_string(round)},
                                       {"keywords", {"round"}}});
    input += call(id++, "memory_search", {{"query", "remembers round"}});
  }
  return input;
}

Json structured(const Json& response) { return response["result"]["structuredContent"]; }

TEST(ConcurrentLoad, ServersSharingRootsLoseAndDoubleNothing) {
  TempDir dir;
  for (int round = 0; round < kRounds; ++round) {
    for (int server = 0; server < kServers; ++server) {
      write_text(dir / own_file(server, round),
                 "def f" + std::to_string(round) + "(value):\n    return helper(value)\n");
    }
    write_text(dir / shared_file(round), "def helper(value):\n    return value\n");
  }
  embeddings::LocalEmbeddingService service(0, 64);
  std::map<std::string, std::string> environment = {
      {"VANTORY_CODING_ROOT", dir / "coding"},
      {"VANTORY_DATA_ROOT", dir / "data"},
      {"VANTORY_AGENT_ID", "load"},
      {"REMOTE_EMBEDDING_URL", service.gradio_url()}};

  std::vector<std::unique_ptr<Subprocess>> servers;
  for (int server = 0; server < kServers; ++server) {
    servers.push_back(std::make_unique<Subprocess>(std::vector<std::string>{VANTORY_MCP_BIN},
                                                   dir.path(), environment));
  }
  // Every session is sent before any answer is read: the servers work at the same time.
  for (int server = 0; server < kServers; ++server) {
    ASSERT_TRUE(servers[server]->write(session(server)));
    servers[server]->close_stdin();
  }
  std::vector<std::string> outputs(kServers);
  std::vector<std::thread> readers;
  for (int server = 0; server < kServers; ++server) {
    readers.emplace_back([&, server] { outputs[server] = servers[server]->read_all(); });
  }
  for (std::thread& reader : readers) reader.join();

  for (int server = 0; server < kServers; ++server) {
    SCOPED_TRACE("server " + std::to_string(server));
    EXPECT_EQ(servers[server]->wait(), 0) << servers[server]->stderr_text();
    int answered = 0;
    std::size_t start = 0;
    const std::string& out = outputs[server];
    while (start < out.size()) {
      std::size_t end = out.find('\n', start);
      Json response = parse_json(out.substr(start, end - start));
      start = end == std::string::npos ? out.size() : end + 1;
      ++answered;
      ASSERT_FALSE(response.contains("error")) << response.dump();
      if (response["id"] == 0) continue;
      ASSERT_EQ(response["result"]["isError"], false) << response.dump().substr(0, 400);
      const Json& content = structured(response);
      ASSERT_NE(content.value("status", ""), "error") << content.dump().substr(0, 400);
    }
    EXPECT_EQ(answered, 1 + 5 * kRounds);
  }

  // What the servers left, read back through one more server.
  std::string check = call(1, "memory_list", {{"limit", 1000}}) +
                      call(2, "list_indexed_files", {{"limit", 1000}});
  RunResult after = run({VANTORY_MCP_BIN}, dir.path(), environment, check);
  ASSERT_EQ(after.status, 0) << after.err;
  // The two calls share nothing, so their answers may come in either order.
  std::size_t newline = after.out.find('\n');
  Json first = parse_json(after.out.substr(0, newline));
  Json second = parse_json(after.out.substr(newline + 1));
  if (first["id"] == 2) std::swap(first, second);
  Json memories = structured(first);
  Json files = structured(second);

  std::multiset<std::string> ids;
  for (const Json& entry : memories["memories"]) ids.insert(entry["id"].get<std::string>());
  std::multiset<std::string> expected_ids;
  for (int server = 0; server < kServers; ++server) {
    for (int round = 0; round < kRounds; ++round) expected_ids.insert(memory_id(server, round));
  }
  EXPECT_EQ(ids, expected_ids);

  Json vectors = parse_json(read_file(dir / "data/agents/load/vectors.json"));
  std::multiset<std::string> vector_ids;
  for (const auto& [id, numbers] : vectors.items()) vector_ids.insert(id);
  EXPECT_EQ(vector_ids, expected_ids) << "vectors lost or doubled";

  std::multiset<std::string> paths;
  for (const Json& file : files["files"]) paths.insert(file["file_path"].get<std::string>());
  EXPECT_EQ(paths.size(), static_cast<std::size_t>((kServers + 1) * kRounds));
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());

  backend::Database db(dir / "coding");
  backend::Statement integrity = db.prepare("PRAGMA integrity_check");
  ASSERT_TRUE(integrity.step());
  EXPECT_EQ(integrity.column_text(0), "ok");
  EXPECT_NO_THROW(db.exec("INSERT INTO chunk_fts(chunk_fts) VALUES('integrity-check')"));
}

}  // namespace
}  // namespace vantory::testing
