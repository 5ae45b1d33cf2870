#include "backend/filesystem/snapshots.h"

#include <map>

#include "backend/storage/database.h"
#include "backend/store/context_table.h"
#include "backend/store/file_facts.h"
#include "common/json_text.h"
#include "common/sha256.h"

namespace vantory::backend {

namespace {

std::map<std::string, std::string> manifest_of(Database& db, const std::string& agent_id,
                                               const std::string& sha) {
  Statement st = db.prepare("SELECT manifest FROM snapshots WHERE agent_id = ?1 AND sha = ?2");
  st.bind(1, agent_id).bind(2, sha);
  std::map<std::string, std::string> files;
  if (!st.step()) return files;
  for (const Json& entry : parse_json(st.column_text_view(0))) {
    files[entry.at("file_path").get<std::string>()] = entry.at("context_hash").get<std::string>();
  }
  return files;
}

}  // namespace

std::string commit_snapshot(Database& db, const std::string& agent_id, const std::string& message) {
  ContextTable table(db);
  Transaction tx(db);
  table.ensure_agent(agent_id);
  std::map<std::string, const ContextRow*> by_path;
  std::vector<ContextRow> rows = table.rows(agent_id);
  for (const ContextRow& row : rows) by_path[row.file_path] = &row;

  std::optional<std::string> parent;
  {
    Statement head = db.prepare("SELECT head_snapshot FROM agents WHERE agent_id = ?1");
    head.bind(1, agent_id);
    if (head.step()) parent = head.column_optional_text(0);
  }

  Json manifest = Json::array();
  std::string addressed = "parent " + parent.value_or("") + "\nmessage " + message + "\n";
  for (const auto& [path, row] : by_path) {
    manifest.push_back({{"file_path", path},
                        {"context_hash", row->context_hash},
                        {"language", row->language},
                        {"chunk_count", row->chunk_count}});
    addressed += path;
    addressed += '\0';
    addressed += row->context_hash;
    addressed += '\n';
  }
  std::string sha = sha256_hex(addressed);
  db.prepare(
        "INSERT OR IGNORE INTO snapshots(agent_id, sha, parent, message, created_at, manifest) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
      .bind(1, agent_id)
      .bind(2, sha)
      .bind(3, parent)
      .bind(4, message)
      .bind(5, now_seconds())
      .bind(6, dump_json(manifest))
      .run();
  db.prepare("UPDATE agents SET head_snapshot = ?2 WHERE agent_id = ?1")
      .bind(1, agent_id)
      .bind(2, sha)
      .run();
  tx.commit();
  return sha;
}

std::optional<std::string> resolve_snapshot(Database& db, const std::string& agent_id,
                                            const std::string& id) {
  if (id.size() < kMinSnapshotPrefix) {
    Statement st = db.prepare("SELECT sha FROM snapshots WHERE agent_id = ?1 AND sha = ?2");
    st.bind(1, agent_id).bind(2, id);
    return st.step() ? std::optional<std::string>(st.column_text(0)) : std::nullopt;
  }
  // The identifiers that start with `id` sort right from `id` on.
  Statement st = db.prepare(
      "SELECT sha FROM snapshots WHERE agent_id = ?1 AND sha >= ?2 ORDER BY sha LIMIT 2");
  st.bind(1, agent_id).bind(2, id);
  std::optional<std::string> found;
  while (st.step()) {
    std::string sha = st.column_text(0);
    if (sha.compare(0, id.size(), id) != 0) break;
    if (sha == id) return sha;
    if (found) return std::nullopt;  // ambiguous
    found = std::move(sha);
  }
  return found;
}

Json diff_snapshots(Database& db, const std::string& agent_id, const std::string& from,
                    const std::string& to) {
  std::optional<std::string> a = resolve_snapshot(db, agent_id, from);
  std::optional<std::string> b = resolve_snapshot(db, agent_id, to);
  if (!a || !b) return nullptr;
  std::map<std::string, std::string> before = manifest_of(db, agent_id, *a);
  std::map<std::string, std::string> after = manifest_of(db, agent_id, *b);
  Json added = Json::array(), removed = Json::array(), modified = Json::array();
  std::int64_t unchanged = 0;
  for (const auto& [path, hash] : after) {
    auto it = before.find(path);
    if (it == before.end()) {
      added.push_back(path);
    } else if (it->second != hash) {
      modified.push_back(path);
    } else {
      ++unchanged;
    }
  }
  for (const auto& [path, hash] : before) {
    if (!after.count(path)) removed.push_back(path);
  }
  std::string summary = std::to_string(added.size()) + " added, " + std::to_string(removed.size()) +
                        " removed, " + std::to_string(modified.size()) + " modified, " +
                        std::to_string(unchanged) + " unchanged";
  return {{"from", *a},
          {"to", *b},
          {"added", std::move(added)},
          {"removed", std::move(removed)},
          {"modified", std::move(modified)},
          {"unchanged", unchanged},
          {"summary", std::move(summary)}};
}

}  // namespace vantory::backend
