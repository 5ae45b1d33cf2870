// The vector store's vectors files and the host's memory entries, each written by a process
// killed with SIGKILL while it saves: after every kill the files load and every acknowledged
// write is there.
#include <set>
#include <string>

#include "apps/host/memory_entries.h"
#include "memory/ambrel/local_ambrel.h"
#include "tests/reliability/crash_fixture.h"
#include "tests/reliability/kill_loop.h"

namespace vantory::testing {
namespace {

std::string entry_id(std::int64_t id) { return "entry-" + std::to_string(id); }

TEST_F(CrashConsistency, VectorsFileSurvivesKillsDuringSaves) {
  const std::string root = dir_ + "/.vantory_data";
  std::set<std::int64_t> acknowledged;
  std::int64_t next = 0;
  const int rounds = kill_rounds(25);
  for (int round = 0; round < rounds; ++round) {
    std::unique_ptr<LocalAmbrel> store;  // the child's, made at its first write
    KilledRun run = run_until_killed(
        [&](std::int64_t id) {
          if (!store) {
            auto client = std::make_shared<LocalServiceClient>(root + "/.embedding_cache");
            store = std::make_unique<LocalAmbrel>(root, client);
          }
          if (!store->add_vector("agent", entry_id(id), text_of(id))) {
            throw std::runtime_error("add_vector failed");
          }
        },
        next, std::uniform_int_distribution<int>(1, 8)(random_));
    ASSERT_EQ(run.failure, "") << "round " << round;
    acknowledged.insert(run.acknowledged.begin(), run.acknowledged.end());
    if (!run.acknowledged.empty()) next = run.acknowledged.back() + 1;

    auto client = std::make_shared<LocalServiceClient>(dir_ + "/checker_cache");
    LocalAmbrel reader(root, client);
    VectorMap vectors = reader._load_vectors("agent");
    for (std::int64_t id : acknowledged) {
      const StoredVector* stored = vectors.find(entry_id(id));
      ASSERT_NE(stored, nullptr) << entry_id(id) << " lost in round " << round;
      ASSERT_EQ(stored->vector().tolist(), embedding_of(id).tolist()) << entry_id(id);
    }
  }
  RecordProperty("acknowledged_writes", static_cast<int>(acknowledged.size()));
}

TEST_F(CrashConsistency, MemoryEntriesSurviveKillsDuringSaves) {
  const std::string agent_dir = dir_ + "/.vantory_data/agents/agent";
  std::set<std::int64_t> acknowledged;
  std::int64_t next = 0;
  const int rounds = kill_rounds(25);
  for (int round = 0; round < rounds; ++round) {
    KilledRun run = run_until_killed(
        [&](std::int64_t id) {
          // A write the kill cut off before its report is made again: it adds nothing twice.
          host::MemoryEntryFile(agent_dir).update([&](Json& entries) {
            for (const Json& entry : entries) {
              if (entry["id"] == entry_id(id)) return false;
            }
            entries.push_back({{"id", entry_id(id)}, {"content", text_of(id)}});
            return true;
          });
        },
        next, std::uniform_int_distribution<int>(1, 8)(random_));
    ASSERT_EQ(run.failure, "") << "round " << round;
    acknowledged.insert(run.acknowledged.begin(), run.acknowledged.end());
    if (!run.acknowledged.empty()) next = run.acknowledged.back() + 1;

    Json entries = host::MemoryEntryFile(agent_dir).read();  // throws when damaged
    std::multiset<std::string> ids;
    for (const Json& entry : entries) ids.insert(entry["id"].get<std::string>());
    for (std::int64_t id : acknowledged) {
      ASSERT_EQ(ids.count(entry_id(id)), 1u) << entry_id(id) << " in round " << round;
    }
  }
  RecordProperty("acknowledged_writes", static_cast<int>(acknowledged.size()));
}

}  // namespace
}  // namespace vantory::testing
