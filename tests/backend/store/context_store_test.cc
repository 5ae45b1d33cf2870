// The context store through the component interfaces: persistence, freshness,
// invalidation, imports, paging and the agent-data sections.
#include "backend/store/context_store.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>

#include "backend/storage/hash_keys.h"
#include "backend/storage/packed_texts.h"
#include "backend/storage/schema.h"
#include "backend/text/word_filter.h"
#include "backend/vectors/vector_rows.h"
#include "backend_fixture.h"
#include "common/error.h"
#include "common/json_text.h"
#include "common/sha256.h"
#include "schema_v2_database.h"

namespace vantory::testing {
namespace {

// Replaces the test's database with one made by `sql`, as an older build would
// have left it.
void write_database_at(const std::string& root, const std::string& sql) {
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open((root + "/" + backend::kDatabaseFileName).c_str(), &raw), SQLITE_OK);
  char* error = nullptr;
  int rc = sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &error);
  std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(raw);
  ASSERT_EQ(rc, SQLITE_OK) << message;
}

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

class ContextStoreTest : public BackendTest {
 protected:
  void write_database(const std::string& sql) {
    c_.reset();
    write_database_at(root_, sql);
  }
};

TEST_F(ContextStoreTest, ContextsPersistInIndexingOrderWithFileFacts) {
  std::string a = write("pkg/a.py", "import os\nimport pkg.b\n\ndef run(x):\n    return x\n");
  std::string b = write("pkg/b.py", "def helper():\n    pass\n");
  index(a, Json::array({chunk("run", "function", "def run(x):\n    return x", {"helper"})}));
  index(b, Json::array({chunk("helper", "function", "def helper():\n    pass")}));
  // Re-indexing a keeps its place.
  Json answer = index(dir_ + "/pkg//./a.py",
                      Json::array({chunk("run", "function", "def run(x):  return x")}));
  EXPECT_EQ(answer["status"], "indexed");
  EXPECT_EQ(answer["file_path"], a);
  EXPECT_EQ(answer["reused_chunks"], 1);  // white space alone does not change the hash
  EXPECT_EQ(answer["new_chunks"], 0);

  open();
  Json stored_contexts = contexts();
  ASSERT_EQ(stored_contexts.size(), 2u);
  EXPECT_EQ(stored_contexts[0]["file_path"], a);
  EXPECT_EQ(stored_contexts[1]["file_path"], b);
  const Json& first = stored_contexts[0];
  EXPECT_EQ(first["language"], "python");
  EXPECT_EQ(first["chunks"][0]["content"], "def run(x):  return x");
  EXPECT_EQ(first["chunks"][0]["hash_id"], sha256_hex("def run(x): return x"));
  EXPECT_EQ(strings(first["imports"], "module"), (std::vector<std::string>{"os", "pkg.b"}));
  EXPECT_EQ(strings(first["external_imports"]), std::vector<std::string>{"os"});
  EXPECT_EQ(first["file_size"], 49);
  EXPECT_EQ(first["file_hash"].get<std::string>().size(), 64u);
  EXPECT_TRUE(contexts("other agent").empty());
}

TEST_F(ContextStoreTest, LoadedContextsFollowWritesOfOtherInstances) {
  index("a.py", Json::array({chunk("a", "function", "def a(): pass")}));
  ASSERT_EQ(contexts().size(), 1u);
  Components other(root_);
  other.builder->process_file_chunks("agent", "b.py", Json::array({chunk("b", "block", "b")}),
                                     "python");
  EXPECT_EQ(contexts().size(), 2u);
  other.builder->process_file_chunks("agent", "a.py", Json::array({chunk("a2", "block", "a2")}),
                                     "python");
  EXPECT_EQ(contexts()[0]["chunks"][0]["name"], "a2");
  other.store->delete_code_mem("agent", "b.py");
  EXPECT_EQ(contexts().size(), 1u);
  EXPECT_TRUE(contexts("other agent").empty());
}

TEST_F(ContextStoreTest, SuppliedHashIdsAndUnknownKeysAreKept) {
  Json given = chunk("f", "function", "def f(): pass");
  given["hash_id"] = "my-id";
  given["extra"] = {{"nested", Json::array({1, 2.5, nullptr})}};
  Json empty_content = chunk("g", "block", "");
  index("nowhere/f.py", Json::array({given, empty_content}));
  Json stored = contexts()[0]["chunks"];
  EXPECT_EQ(stored[0], given);
  EXPECT_FALSE(stored[1].contains("hash_id"));  // nothing to hash

  // Keywords and hash ids the store keeps apart come back in their places, and those it
  // cannot keep apart come back as given.
  Json records = Json::array();
  for (Json keywords : {Json::array({"alpha", "beta"}), Json::array(), Json::array({"two words"}),
                        Json::array({"", "x"}), Json::array({1, "x"}), Json("text")}) {
    Json record = chunk("k" + std::to_string(records.size()), "function", "def k(): pass");
    record["keywords"] = keywords;
    record["extra"] = {{"keywords", Json::array({"nested"})}, {"hash_id", "inner"}};
    if (records.size() % 2) record["hash_id"] = "own-" + std::to_string(records.size());
    records.push_back(record);
  }
  index("nowhere/k.py", records);
  stored = contexts()[1]["chunks"];
  ASSERT_EQ(stored.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    Json expected = records[i];
    if (i % 2 == 0) expected["hash_id"] = stored[i]["hash_id"];  // filled in, at the end
    EXPECT_EQ(dump_json(stored[i]), dump_json(expected));
  }
  open();
  EXPECT_EQ(contexts()[1]["chunks"], stored);

  // Ids of 64 characters that are not lowercase hex digits are kept as the text they are.
  Json ids = Json::array();
  for (std::string id : {std::string(64, 'A'), std::string(63, 'a') + "g",
                         std::string(63, '0') + ":", std::string(64, '9')}) {
    Json record = chunk("i" + std::to_string(ids.size()), "function", "def i(): pass");
    record["hash_id"] = id;
    ids.push_back(record);
  }
  index("nowhere/i.py", ids);
  open();
  EXPECT_EQ(contexts()[2]["chunks"], ids);
}

TEST_F(ContextStoreTest, FreshnessFollowsTheFileOnDisk) {
  std::string path = write("m.py", "x = 1\n");
  index(path, Json::array({chunk("x", "block", "x = 1")}));
  auto freshness = [&] {
    Json answer = store().retrieve_file_context("agent", path);
    EXPECT_EQ(answer["status"], "cache_hit");
    return answer["freshness"].get<std::string>() +
           (answer.contains("stale_reason") ? "/" + answer["stale_reason"].get<std::string>() : "");
  };
  EXPECT_EQ(freshness(), "fresh");
  struct utimbuf times = {1000000000, 1000000000};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
  EXPECT_EQ(freshness(), "fresh");  // touched, same content
  write("m.py", "x = 2\n");
  EXPECT_EQ(freshness(), "stale/modified");
  std::filesystem::remove(path);
  EXPECT_EQ(freshness(), "stale/deleted");

  // Chunks supplied for a path with no file are fresh until a file appears there.
  index(dir_ + "/later.py", Json::array({chunk("y", "block", "y = 1")}));
  EXPECT_EQ(store().retrieve_file_context("agent", dir_ + "/later.py")["freshness"], "fresh");
  write("later.py", "y = 1\n");
  EXPECT_EQ(store().retrieve_file_context("agent", dir_ + "/later.py")["stale_reason"], "created");

  Json miss = store().retrieve_file_context("agent", dir_ + "/never.py");
  EXPECT_EQ(miss["status"], "cache_miss");
}

TEST_F(ContextStoreTest, RetrievalAnswersTheCodeFlowAndCountsAccesses) {
  index("svc.py",
        Json::array({chunk("imports", "import", "import db"),
                     chunk("Store.save", "method", "...", {"self.check", "db.put"}),
                     chunk("Store.check", "method", "..."),
                     chunk("main", "function", "...", {"Store.save", "db.put", "db.put"})}));
  store().retrieve_file_context("agent", "svc.py");
  Json answer = store().retrieve_file_context("agent", "./svc.py");
  EXPECT_EQ(answer["access_count"], 2);
  const Json& units = answer["code_flow"]["units"];
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0]["name"], "Store.save");
  EXPECT_EQ(strings(units[0]["calls"]), (std::vector<std::string>{"self.check", "db.put"}));
  EXPECT_EQ(strings(units[0]["called_by"]), std::vector<std::string>{"main"});
  EXPECT_EQ(strings(units[1]["called_by"]), std::vector<std::string>{"Store.save"});
  EXPECT_EQ(strings(units[2]["calls"]), (std::vector<std::string>{"Store.save", "db.put"}));
  EXPECT_EQ(answer["code_flow"]["call_count"], 5);
}

TEST_F(ContextStoreTest, InvalidationAnswersTheVectorIdsItRemoved) {
  Json shared = chunk("shared", "function", "def shared(): pass");
  index("a.py", Json::array({chunk("a1", "function", "def a1(): pass"), shared, shared}));
  index("b.py", Json::array({shared}));

  Json answer = store().invalidate_with_vectors("agent", "./a.py");
  EXPECT_EQ(answer["removed"], true);
  EXPECT_THAT(strings(answer["hash_ids"]),
              UnorderedElementsAre(sha256_hex("def a1(): pass"), sha256_hex("def shared(): pass")));
  c_->ambrel->delete_vectors("agent", answer["hash_ids"]);
  // b.py still holds the shared chunk, so its vector survives; a1's is gone.
  Json usage = store().get_usage_report("agent");
  EXPECT_EQ(usage["vectors"], 1);
  EXPECT_EQ(usage["files_indexed"], 1);

  Json missing = store().invalidate_with_vectors("agent", "a.py");
  EXPECT_EQ(missing["removed"], false);
  EXPECT_THAT(missing["hash_ids"], IsEmpty());
}

TEST_F(ContextStoreTest, InvalidateStaleRemovesChangedAndVanishedFilesOnly) {
  std::string keep = write("keep.py", "k = 1\n");
  std::string change = write("change.py", "c = 1\n");
  std::string gone = write("gone.py", "g = 1\n");
  index(keep, Json::array({chunk("k", "block", "k = 1")}));
  index(change, Json::array({chunk("c", "block", "c = 1")}));
  index(gone, Json::array({chunk("g", "block", "g = 1")}));
  write("change.py", "c = 22\n");
  std::filesystem::remove(gone);

  Json answer = store().invalidate_stale("agent");
  EXPECT_EQ(answer["invalidated"], 2);
  EXPECT_EQ(strings(answer["files"]), (std::vector<std::string>{change, gone}));
  EXPECT_THAT(strings(answer["hash_ids"]),
              UnorderedElementsAre(sha256_hex("c = 1"), sha256_hex("g = 1")));
  Json left = contexts();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["file_path"], keep);
  EXPECT_EQ(store().invalidate_stale("agent")["invalidated"], 0);
}

TEST_F(ContextStoreTest, ImportersAreFoundByModuleStem) {
  index("app/main.py", Json::array({chunk("m", "block", "import lib.util\nimport requests\n")}));
  index("app/other.py", Json::array({chunk("o", "block", "import util\n")}));
  index("app/third.py", Json::array({chunk("t", "block", "import utility\nimport lib\n")}));
  index("lib/util.py", Json::array({chunk("u", "block", "import os.path\n")}));
  index("lib/__init__.py", Json::array({chunk("i", "block", "")}));

  EXPECT_EQ(strings(store().find_importers("agent", "util"), "file_path"),
            (std::vector<std::string>{"app/main.py", "app/other.py"}));
  EXPECT_EQ(strings(store().find_importers("agent", "lib"), "file_path"),
            std::vector<std::string>{"app/third.py"});
  EXPECT_THAT(store().find_importers("agent", "nothing"), IsEmpty());
  EXPECT_EQ(strings(store().get_file_imports("agent", "./app//main.py"), "module"),
            (std::vector<std::string>{"lib.util", "requests"}));
  EXPECT_THAT(store().get_file_imports("agent", "missing.py"), IsEmpty());

  // External imports are worked out against everything indexed now, whatever the order.
  std::map<std::string, std::vector<std::string>> externals;
  for (const Json& context : contexts()) {
    externals[context["file_path"]] = strings(context["external_imports"]);
  }
  EXPECT_EQ(externals["app/main.py"], std::vector<std::string>{"requests"});
  EXPECT_EQ(externals["app/other.py"], std::vector<std::string>{});
  EXPECT_EQ(externals["app/third.py"], std::vector<std::string>{"utility"});
  EXPECT_EQ(externals["lib/util.py"], std::vector<std::string>{"os"});
}

TEST_F(ContextStoreTest, ListingPagesThroughTheFilesWithTotals) {
  for (int i = 0; i < 5; ++i) {
    index("f" + std::to_string(i) + ".py", Json::array({chunk("x", "block", std::to_string(i))}));
  }
  struct Case {
    std::int64_t limit, offset;
    std::vector<std::string> files;
    bool has_more;
  };
  for (const Case& c :
       std::vector<Case>{{2, 0, {"f0.py", "f1.py"}, true},
                         {2, 4, {"f4.py"}, false},
                         {50, 0, {"f0.py", "f1.py", "f2.py", "f3.py", "f4.py"}, false},
                         {3, 9, {}, false},
                         {0, 0, {}, true},
                         {-1, -5, {}, true}}) {
    Json page = store().list_code_mems("agent", c.limit, c.offset);
    EXPECT_EQ(strings(page["files"], "file_path"), c.files) << c.limit << "/" << c.offset;
    EXPECT_EQ(page["total"], 5);
    EXPECT_EQ(page["count"], c.files.size());
    EXPECT_EQ(page["has_more"], c.has_more) << c.limit << "/" << c.offset;
  }
  EXPECT_TRUE(store().delete_code_mem("agent", "./f1.py"));
  EXPECT_FALSE(store().delete_code_mem("agent", "f1.py"));
  EXPECT_EQ(store().list_code_mems("agent", 50, 0)["total"], 4);
}

TEST_F(ContextStoreTest, SavingAgentDataReplacesTheContexts) {
  index("a.py", Json::array({chunk("a", "function", "def a(): pass")}));
  index("b.py", Json::array({chunk("b", "function", "def b(): pass")}));
  store().retrieve_file_context("agent", "b.py");
  Json stored_contexts = contexts();
  Json reordered = Json::array({stored_contexts[1], stored_contexts[0]});
  reordered[0]["note"] = "kept";
  reordered.push_back(stored_contexts[1]);  // a repeated path keeps its first place
  store()._save_agent_data("agent", "file_contexts", reordered);

  Json loaded = contexts();
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(loaded[0]["file_path"], "b.py");
  EXPECT_FALSE(loaded[0].contains("note"));  // the later record of b.py won
  EXPECT_EQ(loaded[1], stored_contexts[0]);
  EXPECT_EQ(store().list_code_mems("agent", 50, 0)["files"][0]["access_count"], 1);
  EXPECT_EQ(store().get_usage_report("agent")["vectors"], 2);
  // Import records of saved contexts answer importer queries.
  reordered = contexts();
  reordered[0]["imports"] = Json::array({{{"module", "pkg.helpers"}}});
  store()._save_agent_data("agent", "file_contexts", reordered);
  EXPECT_EQ(strings(store().find_importers("agent", "helpers"), "file_path"),
            std::vector<std::string>{"b.py"});

  store()._save_agent_data("agent", "file_contexts", Json::array());
  EXPECT_TRUE(contexts().empty());
  EXPECT_EQ(store().get_usage_report("agent")["vectors"], 0);

  store()._save_agent_data("agent", "notes", {{"k", "v"}});
  EXPECT_EQ(*store()._load_agent_data("agent", "notes"), Json({{"k", "v"}}));
  EXPECT_TRUE(store()._load_agent_data("agent", "other")->is_null());

  EXPECT_THROW(store()._save_agent_data("agent", "file_contexts", 5), TypeError);
  EXPECT_THROW(store()._save_agent_data("agent", "file_contexts", Json::array({1})), TypeError);
}

TEST_F(ContextStoreTest, GlobalIndexDropsOneAgentAlone) {
  index("a.py", Json::array({chunk("a", "block", "a")}), "python", "one");
  index("b.py", Json::array({chunk("b", "block", "b")}), "python", "two");
  index("d.py", Json::array({chunk("d", "block", "d"), chunk("e", "block", "e")}), "python",
        "two");
  EXPECT_TRUE(context_store()._global_index["one"].contains("a.py"));
  EXPECT_EQ(context_store()._global_index["two"]["b.py"]["chunk_count"], 1);

  // Another instance learns of a third agent; this one's stale copy must not erase it.
  Components other(root_);
  other.builder->process_file_chunks("three", "c.py", Json::array({chunk("c", "block", "c")}),
                                     "python");
  store().drop_global_index_entries("one");
  store()._save_global_index();
  open();
  EXPECT_FALSE(context_store()._global_index.contains("one"));
  // Read back, each agent holds its own entries and only those.
  auto paths = [&](const char* agent) {
    std::vector<std::string> out;
    for (const auto& item : context_store()._global_index[agent].items()) out.push_back(item.key());
    return out;
  };
  EXPECT_EQ(paths("two"), (std::vector<std::string>{"b.py", "d.py"}));
  EXPECT_EQ(paths("three"), std::vector<std::string>{"c.py"});
  EXPECT_EQ(context_store()._global_index["two"]["d.py"]["chunk_count"], 2);
  context_store()._global_index = 3;
  EXPECT_THROW(store()._save_global_index(), TypeError);
}

// Writes keep the agent's object current, in place, even after a caller changed it.
TEST_F(ContextStoreTest, GlobalIndexFollowsWritesAfterCallersChangeIt) {
  auto one = [](const char* name) { return Json::array({chunk(name, "block", name)}); };
  auto keys = [&] {
    std::vector<std::string> out;
    for (const auto& item : context_store()._global_index["agent"].items()) {
      out.push_back(item.key());
    }
    return out;
  };
  for (const char* path : {"a.py", "b.py", "c.py"}) index(path, one(path));
  index("b.py", Json::array({chunk("b", "block", "b"), chunk("b2", "block", "b2")}));
  EXPECT_EQ(keys(), (std::vector<std::string>{"a.py", "b.py", "c.py"}));
  EXPECT_EQ(context_store()._global_index["agent"]["b.py"]["chunk_count"], 2);

  // Replaced by one of the same size: c.py is found where the caller put it.
  context_store()._global_index["agent"] = {{"c.py", 0}, {"x.py", 0}, {"y.py", 0}};
  index("c.py", one("c2"));
  index("d.py", one("d"));
  EXPECT_EQ(keys(), (std::vector<std::string>{"c.py", "x.py", "y.py", "d.py"}));
  EXPECT_EQ(context_store()._global_index["agent"]["c.py"]["chunk_count"], 1);

  store().delete_code_mem("agent", "c.py");
  index("d.py", Json::array({chunk("d", "block", "d"), chunk("d2", "block", "d2")}));
  index("c.py", one("c3"));
  EXPECT_EQ(keys(), (std::vector<std::string>{"x.py", "y.py", "d.py", "c.py"}));
  EXPECT_EQ(context_store()._global_index["agent"]["d.py"]["chunk_count"], 2);
}

TEST_F(ContextStoreTest, BadRecordsAreRefusedWithoutDamage) {
  index("good.py", Json::array({chunk("g", "block", "good")}));
  Json deep = Json::array();
  for (int i = 0; i < 1100; ++i) deep = Json::array({deep});
  Json nested = chunk("n", "block", "x");
  nested["deep"] = deep;
  EXPECT_THROW(index("bad.py", Json::array({nested})), ValueError);
  EXPECT_THROW(index("bad.py", Json::array({1})), TypeError);
  EXPECT_THROW(index("bad.py", Json({{"not", "an array"}})), TypeError);

  // Invalid UTF-8 is stored as text with replacement characters, and reads back.
  index("latin1.py", Json::array({chunk("caf\xe9", "block", "s = 'caf\xe9'")}));
  open();
  Json stored_contexts = contexts();
  ASSERT_EQ(stored_contexts.size(), 2u);
  EXPECT_EQ(stored_contexts[1]["chunks"][0]["content"], "s = 'caf\xef\xbf\xbd'");
}

TEST_F(ContextStoreTest, ContextsAreSharedUntilTheyChangeThenReadAgainWhereTheyChanged) {
  std::string a = write("pkg/a.py", "import helpers\n\ndef run():\n    pass\n");
  index(a, Json::array({chunk("run", "function", "def run():\n    pass")}));
  index("pkg/b.py", Json::array({chunk("b", "function", "def b(): pass")}));
  std::shared_ptr<const Json> first = store()._load_agent_data("agent", "file_contexts");
  EXPECT_EQ(store()._load_agent_data("agent", "file_contexts").get(), first.get());
  EXPECT_EQ((*first)[0]["external_imports"], Json::array({"helpers"}));

  // Whether or not a caller still holds the earlier answer, the new one is what a store
  // opened afresh reads, and the earlier one stays as it was.
  struct Step {
    const char* name;
    std::function<void()> change;
    bool hold;
  };
  const Step steps[] = {
      {"a file that makes an import internal",
       [&] {
         index(write("pkg/helpers.py", "X = 1\n"), Json::array({chunk("X", "block", "X = 1")}));
       },
       false},
      {"a file indexed with other chunks",
       [&] { index("pkg/b.py", Json::array({chunk("b2", "function", "def b2(): pass")})); }, false},
      {"a file indexed with other chunks while the answer is held",
       [&] { index("pkg/b.py", Json::array({chunk("b3", "function", "def b3(): pass")})); }, true},
      {"a file removed", [&] { store().delete_code_mem("agent", "pkg/b.py"); }, false},
      {"another process's write",
       [&] {
         Components other(root_);
         other.builder->process_file_chunks("agent", "pkg/c.py",
                                            Json::array({chunk("c", "block", "c = 3")}), "python");
       },
       false},
      {"contexts saved in another order",
       [&] {
         Json contexts = *store()._load_agent_data("agent", "file_contexts");
         std::reverse(contexts.begin(), contexts.end());
         store()._save_agent_data("agent", "file_contexts", contexts);
       },
       true},
  };
  for (const Step& step : steps) {
    std::shared_ptr<const Json> held;
    if (step.hold) held = store()._load_agent_data("agent", "file_contexts");
    Json held_value = held ? *held : Json();
    step.change();
    std::shared_ptr<const Json> now = store()._load_agent_data("agent", "file_contexts");
    Components fresh(root_);
    EXPECT_EQ(*now, *fresh.store->_load_agent_data("agent", "file_contexts")) << step.name;
    if (held) {
      EXPECT_EQ(*held, held_value) << step.name;
    }
  }
  EXPECT_EQ(contexts().back()["file_path"], a);
  EXPECT_EQ(contexts().back()["external_imports"], Json::array());
}

TEST_F(ContextStoreTest, AVersionOneDatabaseIsUpgraded) {
  write_database(std::string(kSchemaVersion2Database) +
                 "DROP INDEX contexts_by_chunk_key; DROP INDEX vectors_by_embedder; "
                 "ALTER TABLE contexts DROP COLUMN chunk_key; "
                 "ALTER TABLE contexts DROP COLUMN vectors_complete; "
                 "ALTER TABLE contexts DROP COLUMN revision; PRAGMA user_version = 1;");
  open();
  ASSERT_EQ(contexts().size(), 1u);
  Json chunks = contexts()[0]["chunks"];
  EXPECT_EQ(chunks[0]["name"], "parse_config");
  EXPECT_EQ(index("/src/app/config.py", chunks)["reused_chunks"], 2);
  backend::Database db(root_);
  backend::Statement version = db.prepare("PRAGMA user_version");
  ASSERT_TRUE(version.step());
  EXPECT_EQ(version.column_int(0), backend::kSchemaVersion);
}

TEST_F(ContextStoreTest, AVersionTwoDatabaseIsUpgradedWithNothingLost) {
  write_database(kSchemaVersion2Database);
  open();
  const std::string path = "/src/app/config.py";
  ASSERT_EQ(contexts().size(), 1u);
  const Json& chunks = contexts()[0]["chunks"];
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0]["content"], "def parse_config(path):\n    return json.load(open(path))");
  EXPECT_EQ(chunks[0]["keywords"], Json::array({"json"}));
  EXPECT_EQ(chunks[1]["name"], "RequestHandler");
  EXPECT_EQ(store().get_file_imports("agent", path), Json::array({{{"module", "json"}}}));

  // The keyword index was rebuilt from the chunks; the vectors are read as they
  // were stored.
  Json found = c_->retriever->search("agent", "settings parse", 2, nullptr);
  ASSERT_FALSE(found["results"].empty());
  EXPECT_EQ(found["results"][0]["chunk"]["name"], "parse_config");
  EXPECT_EQ(index(path, chunks)["reused_chunks"], 2);

  // What the index was told to forget matches what it holds.
  EXPECT_TRUE(store().delete_code_mem("agent", path));
  backend::Database db(root_);
  EXPECT_NO_THROW(db.exec("INSERT INTO chunk_fts(chunk_fts) VALUES('integrity-check')"));
  backend::Statement terms = db.prepare("SELECT COUNT(*) FROM chunk_vocab");
  ASSERT_TRUE(terms.step());
  EXPECT_EQ(terms.column_int(0), 0);
}

TEST_F(ContextStoreTest, AVersionThreeDatabaseKeepsItsHashIdsAndVectors) {
  // Version 3 kept every hash id as text, and had no dictionaries.
  std::string path = write("app.py", "def load(): pass\n");
  Json chunks = Json::array({chunk("load", "function", "def load(): pass"),
                             chunk("save", "function", "def save(): pass")});
  chunks[1]["hash_id"] = "caller-id";
  index(path, chunks);
  Json before = contexts();
  c_.reset();
  {
    backend::Database db(root_);
    db.exec(
        "UPDATE chunks SET hash_id = lower(hex(hash_id)) WHERE typeof(hash_id) = 'blob'; "
        "UPDATE vectors SET hash_id = lower(hex(hash_id)) WHERE typeof(hash_id) = 'blob'; "
        "DROP TABLE text_dictionaries; DROP INDEX chunks_by_body_of; DROP INDEX chunks_by_hash; "
        "ALTER TABLE chunks DROP COLUMN body_of; "
        "CREATE INDEX chunks_by_hash ON chunks(agent_id, hash_id); "
        "DROP INDEX contexts_by_word_count; ALTER TABLE contexts DROP COLUMN words; "
        "ALTER TABLE contexts DROP COLUMN word_count; DROP INDEX contexts_by_chunk_count; "
        "PRAGMA user_version = 3;");
  }
  open();
  EXPECT_EQ(contexts(), before);
  {
    // The upgrade gives each file the words of its stored chunks.
    backend::Database db(root_);
    backend::Statement words = db.prepare("SELECT words, word_count FROM contexts");
    ASSERT_TRUE(words.step());
    backend::WordFilter filter = backend::WordFilter::from_bytes(words.column_blob(0));
    EXPECT_EQ(words.column_int(1), 4);  // def, load, pass, save
    EXPECT_TRUE(filter.may_hold("load") && filter.may_hold("save"));
    backend::Statement plan =
        db.prepare("EXPLAIN QUERY PLAN SELECT COALESCE(SUM(chunk_count), 0) FROM contexts");
    ASSERT_TRUE(plan.step());
    EXPECT_THAT(plan.column_text(3), ::testing::HasSubstr("contexts_by_chunk_count"));
  }
  EXPECT_EQ(index(path, chunks)["reused_chunks"], 2);
  backend::Database db(root_);
  backend::Statement kinds = db.prepare(
      "SELECT group_concat(kind, ' ') FROM (SELECT typeof(hash_id) AS kind FROM chunks "
      "UNION ALL SELECT typeof(hash_id) FROM vectors ORDER BY 1)");
  ASSERT_TRUE(kinds.step());
  EXPECT_EQ(kinds.column_text(0), "blob blob text text");
}

TEST_F(ContextStoreTest, BodiesPackedWithATrainedDictionaryReadBackEverywhere) {
  // Enough units for the first dictionary, then a file packed with it.
  auto file_chunks = [](int file, int count) {
    Json chunks = Json::array();
    for (int i = 0; i < count; ++i) {
      std::string name = "handle_request_" + std::to_string(file) + "_" + std::to_string(i);
      chunks.push_back(chunk(name, "function",
                             "def " + name + "(request, timeout=30):\n    # retries " +
                                 std::to_string(i * 7919 % 1000) +
                                 "\n    return send(request, timeout)"));
    }
    return chunks;
  };
  for (int file = 0; file < 11; ++file) {
    index(write("m" + std::to_string(file) + ".py", "x"), file_chunks(file, 100));
  }
  std::string last = write("last.py", "x");
  index(last, file_chunks(99, 20));
  {
    backend::Database db(root_);
    backend::Statement packed = db.prepare(
        "SELECT (SELECT COUNT(*) FROM text_dictionaries), "
        "(SELECT COUNT(*) FROM chunks WHERE hex(substr(body, 1, 1)) = '44')");
    ASSERT_TRUE(packed.step());
    EXPECT_EQ(packed.column_int(0), 1);
    EXPECT_GE(packed.column_int(1), 20);
  }
  Json before = contexts();
  open();
  EXPECT_EQ(contexts(), before);
  EXPECT_EQ(c_->retriever->search("agent", "handle_request_99_3", 1, nullptr)["results"][0]
                ["chunk"]["name"],
            "handle_request_99_3");
  // The keyword index is told exactly what to forget.
  EXPECT_TRUE(store().delete_code_mem("agent", last));
  backend::Database db(root_);
  EXPECT_NO_THROW(db.exec("INSERT INTO chunk_fts(chunk_fts) VALUES('integrity-check')"));
}

TEST_F(ContextStoreTest, ANewerDatabaseIsRefused) {
  c_.reset();
  backend::Database db(root_);
  db.exec("PRAGMA user_version = 99");
  EXPECT_THROW(backend::ContextStore store(root_), RuntimeError);
}

}  // namespace
}  // namespace vantory::testing

namespace vantory::testing {
namespace {

TEST_F(BackendTest, ReportsCountWhatWasIndexedAndServed) {
  std::string a = write("a.py", std::string(400, '#'));  // 100 tokens on disk
  std::string b = write("b.py", std::string(80, '#'));
  index(a, Json::array({chunk("alpha", "function", "def alpha(): return 1"),  // 5 tokens
                        chunk("beta", "function", "def beta(): return 2")}));
  index(b, Json::array({chunk("alpha", "function", "def alpha(): return 1")}));
  store().retrieve_file_context("agent", a);
  store().retrieve_file_context("agent", "missing.py");
  Json found = c_->retriever->search("agent", "alpha", 5, nullptr);
  ASSERT_EQ(found["results"].size(), 2u);

  Json savings = store().get_token_savings_report("agent");
  EXPECT_EQ(savings["indexed_file_tokens"], 120);
  EXPECT_EQ(savings["searches"]["tokens_served"], 10);          // two 21-byte hits
  EXPECT_EQ(savings["searches"]["tokens_if_files_read"], 120);  // a.py and b.py, once each
  EXPECT_EQ(savings["retrievals"]["count"], 1);
  EXPECT_EQ(savings["retrievals"]["tokens_if_files_read"], 100);
  std::int64_t served = savings["tokens_served"];
  EXPECT_EQ(served, 10 + savings["retrievals"]["tokens_served"].get<std::int64_t>());
  EXPECT_EQ(savings["tokens_saved"], 220 - served);

  Json usage = store().get_usage_report("agent");
  EXPECT_EQ(usage["indexing"]["runs"], 2);
  EXPECT_EQ(usage["indexing"]["chunks_embedded"], 2);
  EXPECT_EQ(usage["indexing"]["chunks_reused"], 1);  // b.py's alpha is a.py's
  EXPECT_EQ(usage["vectors"], 2);
  EXPECT_EQ(usage["access"]["most_accessed"][0]["file_path"], a);
  EXPECT_EQ(usage["access"]["retrieval_misses"], 1);
  EXPECT_EQ(usage["searches"]["results_served"], 2);

  write("a.py", "changed");
  std::filesystem::remove(b);
  Json stats = store().get_detailed_cache_stats("agent");
  EXPECT_EQ(stats["stale_files"], 2);
  EXPECT_EQ(stats["hit_rate"], 0.5);
  EXPECT_EQ(stats["files"][0]["stale_reason"], "modified");
  EXPECT_EQ(stats["files"][1]["stale_reason"], "deleted");
  EXPECT_THAT(strings(stats["recommendations"]),
              ::testing::ElementsAre("Re-index 1 changed file with delta_update: " + a,
                                     ::testing::HasSubstr("1 file that no longer exists")));
}

TEST_F(BackendTest, TextsAndVectorsReadBackExactly) {
  backend::Database db(root_);
  backend::TextDictionaries& dictionaries = db.text_dictionaries();
  std::string long_text(5000, 'x');
  for (const std::vector<std::string_view>& texts : std::vector<std::vector<std::string_view>>{
           {}, {""}, {"a", "", "b"}, {long_text, "tail"}, {std::string_view("\0\xff", 2)}}) {
    std::vector<std::string> back = backend::unpack_texts(backend::pack_texts(texts), dictionaries);
    EXPECT_EQ(back, std::vector<std::string>(texts.begin(), texts.end()));
  }
  EXPECT_LT(backend::pack_texts({long_text}).size(), 100u);
  for (const char* damaged : {"", "Q",
                              "R\x05"
                              "ab",
                              "Z\x01\x02", "D\x07\x01\x02"}) {
    EXPECT_THROW(backend::unpack_texts(damaged, dictionaries), RuntimeError) << damaged;
  }

  std::vector<float> sparse(256, 0.0f), dense(256, 0.25f), decoded(256);
  sparse[0] = -1.5f;
  sparse[255] = 0.125f;
  for (const std::vector<float>& vector : {sparse, dense, std::vector<float>(256, 0.0f)}) {
    std::string blob = backend::encode_vector(vector);
    ASSERT_TRUE(backend::decode_vector(blob, 256, decoded.data()));
    EXPECT_EQ(decoded, vector);
  }
  EXPECT_EQ(backend::encode_vector(sparse).size(), 12u);

  // Stored unless held: a held vector is neither replaced nor counted as stored.
  std::string hash = sha256_hex("held");
  EXPECT_TRUE(backend::insert_vector_unless_held(db, "agent", hash, "local", sparse));
  EXPECT_FALSE(backend::insert_vector_unless_held(db, "agent", hash, "local", dense));
  EXPECT_TRUE(backend::insert_vector_unless_held(db, "other", hash, "local", dense));
  EXPECT_EQ(backend::hashes_with_vectors(db, "agent", "local", {hash, hash, "missing"}),
            std::unordered_set<std::string>{hash});
  backend::Statement held = db.prepare("SELECT vector FROM vectors WHERE agent_id = 'agent'");
  ASSERT_TRUE(held.step());
  EXPECT_EQ(held.column_blob(0), backend::encode_vector(sparse));

  // Hash ids come back as given, whichever form the database keeps them in.
  std::string lower = sha256_hex("x");
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& id : {lower, upper, lower.substr(1), std::string("caller-id")}) {
    backend::Statement st = db.prepare("SELECT ?1, typeof(?1)");
    backend::bind_hash_id(st, 1, id);
    ASSERT_TRUE(st.step());
    EXPECT_EQ(backend::column_hash_id(st, 0), id);
    EXPECT_EQ(st.column_text(1), id == lower ? "blob" : "text") << id;
  }
  EXPECT_FALSE(backend::decode_vector(std::string(7, '\0'), 256, decoded.data()));
}

}  // namespace
}  // namespace vantory::testing
