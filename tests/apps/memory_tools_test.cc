#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "apps/host/memory_entries.h"
#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"
#include "tests/apps/host_fixture.h"

namespace vantory::host {
namespace {

class MemoryToolsTest : public testing::HostTest {
 protected:
  Json add(const Json& arguments) { return host_->call_tool("memory_add", arguments); }
  std::string agent_file(const std::string& name) { return dir_ / ("data/agents/tester/" + name); }
};

TEST_F(MemoryToolsTest, AddStoresTheEntryBesideItsVector) {
  Json added = add({{"content", "The deploy runs every night"},
                    {"keywords", {"deploy"}},
                    {"topic", "ops"},
                    {"importance", 0.9}});
  ASSERT_EQ(added["status"], "ok") << added;
  EXPECT_EQ(added["embedded"], true);
  std::string id = added["id"].get<std::string>();
  EXPECT_EQ(id.rfind("mem-", 0), 0u);

  Json entries = parse_json(read_file(agent_file("memories.json")));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["id"], id);
  EXPECT_EQ(entries[0]["content"], "The deploy runs every night");
  EXPECT_EQ(entries[0]["topic"], "ops");
  EXPECT_EQ(entries[0]["importance"], 0.9);
  EXPECT_TRUE(entries[0].contains("created_at"));
  EXPECT_TRUE(parse_json(read_file(agent_file("vectors.json"))).contains(id));
}

TEST_F(MemoryToolsTest, SearchListAndDelete) {
  std::vector<std::string> ids;
  for (const char* text : {"Alice reviews every pull request on Mondays",
                           "The database backups live in the cold storage bucket",
                           "Deployments are frozen during the holidays"}) {
    ids.push_back(add({{"content", text}})["id"].get<std::string>());
  }
  Json found = host_->call_tool("memory_search", {{"query", "where are database backups"}});
  ASSERT_EQ(found["status"], "ok");
  EXPECT_EQ(found["searched"], 3);
  EXPECT_EQ(found["results"][0]["id"], ids[1]);
  EXPECT_TRUE(found["results"][0].contains("hybrid_score"));

  Json page = host_->call_tool("memory_list", {{"limit", 2}, {"offset", 1}});
  EXPECT_EQ(page["total"], 3);
  EXPECT_EQ(page["count"], 1 + 1);
  EXPECT_EQ(page["memories"][0]["id"], ids[1]);
  EXPECT_EQ(page["has_more"], false);
  EXPECT_EQ(host_->call_tool("memory_list", {{"limit", -1}})["status"], "error");

  Json deleted = host_->call_tool("memory_delete", {{"id", ids[1]}});
  EXPECT_EQ(deleted["vector_deleted"], true);
  EXPECT_EQ(host_->call_tool("memory_list", Json::object())["total"], 2);
  EXPECT_FALSE(parse_json(read_file(agent_file("vectors.json"))).contains(ids[1]));
  Json again = host_->call_tool("memory_delete", {{"id", ids[1]}});
  EXPECT_EQ(again, Json({{"status", "error"}, {"message", "no memory with id '" + ids[1] + "'"}}));
}

TEST_F(MemoryToolsTest, AnIdGivenAgainReplacesItsEntry) {
  add({{"content", "first wording"}, {"id", "note-1"}});
  Json replaced = add({{"content", "second wording"}, {"id", "note-1"}});
  EXPECT_EQ(replaced["replaced"], true);
  Json listed = host_->call_tool("memory_list", Json::object());
  ASSERT_EQ(listed["total"], 1);
  EXPECT_EQ(listed["memories"][0]["content"], "second wording");
  EXPECT_TRUE(listed["memories"][0].contains("updated_at"));
}

TEST_F(MemoryToolsTest, ARepeatedNoteUpdatesTheNoteItRepeats) {
  Json first = add({{"content", "Alice reviews pull requests on Mondays"}, {"keywords", {"a"}}});
  Json again = add({{"content", "  alice reviews pull requests\non MONDAYS "},
                    {"keywords", {"b", "a"}},
                    {"topic", "review"}});
  EXPECT_EQ(again["id"], first["id"]);
  EXPECT_EQ(again["replaced"], true);
  EXPECT_EQ(again["near_duplicate"], Json({{"id", first["id"]}, {"similarity", 1.0}}));
  EXPECT_EQ(again["entry"]["keywords"], Json({"a", "b"}));
  EXPECT_EQ(again["entry"]["topic"], "review");

  // A different note, and the same text under an id of its own, are notes of their own.
  add({{"content", "The backups live in the cold storage bucket"}});
  Json kept = add({{"content", "Alice reviews pull requests on Mondays"}, {"id", "own"}});
  EXPECT_FALSE(kept.contains("near_duplicate"));
  EXPECT_EQ(host_->call_tool("memory_list", Json::object())["total"], 3);
}

TEST_F(MemoryToolsTest, UpdateChangesWhatIsGivenAndEmbedsTheNewText) {
  Json added = add({{"content", "The deploy runs every night"},
                    {"lossless_restatement", "The deploy job runs nightly at two"},
                    {"keywords", {"deploy"}}});
  const Json id = added["id"];
  Json before = host_->call_tool("get_vector", {{"entry_id", id}});
  Json updated =
      host_->call_tool("memory_update", {{"id", id}, {"content", "The deploy runs every hour"}});
  ASSERT_EQ(updated["status"], "ok") << updated;
  EXPECT_EQ(updated["updated"], Json({"content"}));
  EXPECT_EQ(updated["embedded"], true);
  const Json& entry = updated["entry"];
  EXPECT_FALSE(entry.contains("lossless_restatement")) << "it restated the old content";
  EXPECT_EQ(entry["keywords"], Json({"deploy"}));
  EXPECT_EQ(entry["created_at"], added["entry"]["created_at"]);
  EXPECT_TRUE(entry.contains("updated_at"));
  EXPECT_EQ(parse_json(read_file(agent_file("memories.json"))), Json::array({entry}));
  EXPECT_NE(host_->call_tool("get_vector", {{"entry_id", id}}), before);

  struct Case {
    Json arguments;
    std::string message;
  };
  const Case refused[] = {
      {{{"id", "nope"}, {"topic", "x"}}, "no memory with id 'nope'"},
      {{{"id", id}},
       "nothing to update: give content, lossless_restatement, keywords, persons, topic or "
       "importance"},
      {{{"id", id}, {"content", ""}}, "a memory needs content"},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(host_->call_tool("memory_update", c.arguments),
              Json({{"status", "error"}, {"message", c.message}}));
  }
  EXPECT_EQ(parse_json(read_file(agent_file("memories.json"))), Json::array({entry}));
}

TEST_F(MemoryToolsTest, RefusesEntriesWithoutText) {
  EXPECT_EQ(add({{"content", ""}})["status"], "error");
  EXPECT_EQ(add({{"content", "x"}, {"id", ""}})["status"], "error");
  EXPECT_FALSE(path_exists(agent_file("memories.json")));
}

TEST_F(MemoryToolsTest, NeverOverwritesADamagedFile) {
  testing::write_text(agent_file("memories.json"), "[{\"id\": \"kept\"}, 3]");
  EXPECT_THROW(host_->call_tool("memory_list", Json::object()), ValueError);
  // A change keeps the damaged file beside and starts a new one.
  EXPECT_EQ(add({{"content", "new"}})["status"], "ok");
  EXPECT_EQ(host_->call_tool("memory_list", Json::object())["total"], 1);
  std::size_t kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "data/agents/tester")) {
    if (entry.path().filename().string().rfind("memories.json.damaged-", 0) != 0) continue;
    ++kept;
    EXPECT_EQ(read_file(entry.path()), "[{\"id\": \"kept\"}, 3]");
  }
  EXPECT_EQ(kept, 1u);
}

TEST_F(MemoryToolsTest, OneAgentIdPerFolder) {
  auto list = [&](const std::string& agent) {
    return host_->call_tool("memory_list", {{"agent_id", agent}});
  };
  EXPECT_EQ(add({{"agent_id", "a/b"}, {"content", "x"}})["status"], "ok");
  for (const std::string& other : {std::string("a b"), std::string("a\tb"), std::string("a:b"),
                                   std::string("a\0b", 3), std::string("a_b")}) {
    EXPECT_THROW(list(other), ValueError) << other;
  }
  EXPECT_EQ(list("a/b")["total"], 1);
  EXPECT_THROW(list(""), ValueError);
  EXPECT_THROW(list(std::string(256, 'x')), ValueError);
  EXPECT_EQ(list(std::string(255, 'x'))["total"], 0);
  // A folder without the record (an older version's) goes to the first id that uses it.
  std::filesystem::create_directories(dir_ / "data/agents/old_one");
  testing::write_text(dir_ / "data/agents/old_one/memories.json", "[{\"id\": \"m\"}]");
  EXPECT_EQ(list("old one")["total"], 1);
  EXPECT_THROW(list("old_one"), ValueError);
}

TEST_F(MemoryToolsTest, ConcurrentAddsLoseNothing) {
  MemoryEntryFile file(dir_ / "data/agents/tester");
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&file, w] {
      for (int i = 0; i < 25; ++i) {
        file.update([&](Json& entries) {
          entries.push_back({{"id", std::to_string(w) + "-" + std::to_string(i)}});
          return true;
        });
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(file.read().size(), 100u);
}

class MemoryToolsWithoutServiceTest : public MemoryToolsTest {
 protected:
  MemoryToolsWithoutServiceTest() {
    reset_ambrel();
    reset_embedding_client();
    ::setenv("REMOTE_EMBEDDING_URL", "http://127.0.0.1:1/gradio_api/call/embed_dense", 1);
  }
};

TEST_F(MemoryToolsWithoutServiceTest, KeepsTheEntryWithoutAZeroVector) {
  Json added = add({{"content", "remember the milk"}});
  EXPECT_EQ(added["status"], "ok");
  EXPECT_EQ(added["embedded"], false);
  EXPECT_TRUE(added.contains("warning"));
  EXPECT_TRUE(host_->call_tool("get_vector", {{"entry_id", added["id"]}}).is_null());
  Json found = host_->call_tool("memory_search", {{"query", "milk"}});
  ASSERT_EQ(found["count"], 1);
  EXPECT_EQ(found["results"][0]["id"], added["id"]);
}

TEST_F(MemoryToolsTest, AnUpdateThatCannotBeEmbeddedKeepsNoStaleVector) {
  Json added = add({{"content", "The office opens at nine"}});
  ASSERT_EQ(added["embedded"], true);
  reset_ambrel();
  reset_embedding_client();
  testing::ScopedEnv broken("REMOTE_EMBEDDING_URL",
                            "http://127.0.0.1:1/gradio_api/call/embed_dense");
  Json changed = host_->call_tool("memory_update",
                                  {{"id", added["id"]}, {"content", "The office opens at ten"}});
  EXPECT_EQ(changed["embedded"], false);
  // The old vector would find the note by the hour it no longer says.
  EXPECT_TRUE(host_->call_tool("get_vector", {{"entry_id", added["id"]}}).is_null());
}

}  // namespace
}  // namespace vantory::host
