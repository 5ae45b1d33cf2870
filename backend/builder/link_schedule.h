// LinkSchedule: keeps each agent's term links (term_links.h) learned as its units are stored, at a
// cost that stays proportional to what was stored.
//
// Links are learned again once the units stored since they were last learned reach half the number
// they were learned at (and at least kMinUnitsToLearn), so a code base indexed from nothing is
// learned a logarithmic number of times and the work adds up to a small multiple of one learning.
// What is left over is learned when the schedule is flushed (at the end of each run of batched
// writes, such as the indexing of a tree, and when its builder goes away), if it amounts to a
// tenth of the code base or the agent has no links yet: a tree indexed in one run is learned
// once, at its end. Searches never learn.
//
// Thread safety: none; owned by one builder.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace vantory::backend {

class Database;

inline constexpr std::int64_t kMinUnitsToLearn = 200;

class LinkSchedule {
 public:
  // Notes that `units` units of `agent_id` were written, and learns its links again when they
  // are due. Throws RuntimeError when the database fails.
  void note_stored(Database& db, const std::string& agent_id, std::int64_t units);

  // Notes that `units` units of `agent_id` were written in a transaction still open: they are
  // learned from by the next learn_due or flush after it is committed.
  void add(Database& db, const std::string& agent_id, std::int64_t units);

  // Learns the links of the agents that are due (see note_stored). Throws RuntimeError when
  // the database fails.
  void learn_due(Database& db);

  // Learns the links of every agent with enough units noted since its last learning. Throws
  // RuntimeError when the database fails.
  void flush(Database& db);

 private:
  struct Agent {
    std::int64_t learned_at = -1;  // units at the last learning; -1 until read
    std::int64_t pending = 0;      // units noted since
  };
  void learn(Database& db, const std::string& agent_id, Agent& agent);

  std::unordered_map<std::string, Agent> agents_;
};

}  // namespace vantory::backend
