#include "backend/builder/link_schedule.h"

#include <algorithm>

#include "backend/retriever/term_links.h"

namespace vantory::backend {

void LinkSchedule::note_stored(Database& db, const std::string& agent_id, std::int64_t units) {
  add(db, agent_id, units);
  learn_due(db);
}

void LinkSchedule::add(Database& db, const std::string& agent_id, std::int64_t units) {
  Agent& agent = agents_[agent_id];
  if (agent.learned_at < 0) agent.learned_at = term_links_size(db, agent_id);
  agent.pending += units;
}

void LinkSchedule::learn_due(Database& db) {
  for (auto& [agent_id, agent] : agents_) {
    if (agent.pending >= std::max(kMinUnitsToLearn, agent.learned_at / 2)) {
      learn(db, agent_id, agent);
    }
  }
}

void LinkSchedule::flush(Database& db) {
  for (auto& [agent_id, agent] : agents_) {
    if (agent.pending > 0 && (agent.learned_at <= 0 || agent.pending * 10 >= agent.learned_at)) {
      learn(db, agent_id, agent);
    }
  }
}

void LinkSchedule::learn(Database& db, const std::string& agent_id, Agent& agent) {
  agent.learned_at = rebuild_term_links(db, agent_id);
  agent.pending = 0;
}

}  // namespace vantory::backend
