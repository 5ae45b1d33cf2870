#include "backend/store/context_store.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "backend/store/code_flow.h"
#include "backend/store/reports.h"
#include "backend/vectors/vector_rows.h"
#include "common/error.h"
#include "common/json_text.h"
#include "common/message_text.h"
#include "common/paths.h"

namespace vantory::backend {

namespace {

constexpr const char* kFileContexts = "file_contexts";

// Tokens of a text by the four-bytes-per-token estimate.
std::int64_t tokens_of(std::size_t bytes) { return static_cast<std::int64_t>(bytes / 4); }

}  // namespace

ContextStore::ContextStore(const std::string& root_path, std::shared_ptr<ChunkCache> chunk_cache)
    : ContextStore(std::make_shared<BackendCore>(root_path, std::move(chunk_cache))) {}

ContextStore::ContextStore(std::shared_ptr<BackendCore> core)
    : core_(std::move(core)),
      root_path_(core_->root_path()),
      chunk_cache_(core_->chunk_cache()),
      db_(core_->database()),
      table_(core_->contexts()) {
  load_global_index();
  if (chunk_cache_) chunk_cache_->attach(root_path_);
  core_->set_indexed_listener([this](const std::string& agent_id, const std::string& path) {
    note_indexed(agent_id, path);
  });
}

ContextStore::~ContextStore() {
  core_->set_indexed_listener({});
  if (chunk_cache_) chunk_cache_->detach(root_path_);
}

void ContextStore::load_global_index() {
  _global_index = Json::object();
  global_positions_.clear();
  Statement st = db_.prepare(
      "SELECT agent_id, file_path, entry FROM global_index ORDER BY agent_id, file_path");
  // The rows come by agent, each path of an agent once: each entry is appended to its agent's
  // object. Set by key, each would be compared with every entry before it (an object keeps its
  // keys in order, unhashed), which took seconds for a tree of 70,000 files.
  std::string agent;
  Json::object_t* entries = nullptr;
  while (st.step()) {
    if (entries == nullptr || st.column_text_view(0) != agent) {
      agent = st.column_text(0);
      Json& slot = _global_index[agent];
      slot = Json::object();
      entries = &slot.get_ref<Json::object_t&>();
    }
    entries->emplace_back(st.column_text(1), parse_json(st.column_text_view(2)));
  }
}

Json ContextStore::retrieve_file_context(const std::string& agent_id,
                                         const std::string& file_path) {
  std::string path = normalize_path(file_path);
  std::optional<ContextRow> row = table_.find(agent_id, path);
  if (!row) {
    Transaction tx(db_);
    table_.ensure_agent(agent_id);
    db_.prepare("UPDATE agents SET retrieval_misses = retrieval_misses + 1 WHERE agent_id = ?1")
        .bind(1, agent_id)
        .run();
    tx.commit();
    return {{"status", "cache_miss"}, {"file_path", path}};
  }
  // Freshness may hash the file: done before the write lock is taken.
  Freshness freshness = check_freshness(row->facts, path);
  Json code_flow = build_code_flow(table_.chunk_records(row->id), table_.import_records(row->id));
  std::int64_t served = tokens_of(dump_json(code_flow).size());
  std::int64_t file_bytes = stat_file(path).size.value_or(row->facts.size.value_or(0));
  std::int64_t baseline = tokens_of(static_cast<std::size_t>(file_bytes));
  Transaction tx(db_);
  table_.ensure_agent(agent_id);
  db_.prepare(
         "UPDATE contexts SET access_count = access_count + 1, last_access = ?2, "
         "tokens_served = tokens_served + ?3, tokens_baseline = tokens_baseline + ?4 "
         "WHERE id = ?1")
      .bind(1, row->id)
      .bind(2, now_seconds())
      .bind(3, served)
      .bind(4, baseline)
      .run();
  db_.prepare("UPDATE agents SET retrievals = retrievals + 1 WHERE agent_id = ?1")
      .bind(1, agent_id)
      .run();
  tx.commit();

  Json answer = {{"status", "cache_hit"},
                 {"file_path", path},
                 {"language", row->language},
                 {"freshness", freshness_name(freshness)}};
  if (freshness != Freshness::kFresh) answer["stale_reason"] = staleness_reason(freshness);
  answer["code_flow"] = std::move(code_flow);
  answer["chunk_count"] = row->chunk_count;
  answer["access_count"] = row->access_count + 1;
  answer["indexed_at"] = row->indexed_at;
  answer["context_hash"] = row->context_hash;
  return answer;
}

std::shared_ptr<const Json> ContextStore::_load_agent_data(const std::string& agent_id,
                                                           const std::string& section) {
  if (section == kFileContexts) {
    ReadTransaction snapshot(db_);
    std::int64_t generation = table_.generation(agent_id);
    if (agent_id == cached_agent_ && generation == cached_generation_ && cached_contexts_) {
      return cached_contexts_;
    }
    // The cache's offer shares the contexts too: withdrawn first, so that they can be
    // reused when no caller holds them any more.
    if (chunk_cache_) chunk_cache_->offer(root_path_, nullptr, {});
    ContextTable::Loaded* earlier = nullptr;
    if (agent_id == cached_agent_ && cached_contexts_ && cached_contexts_.use_count() == 1) {
      cached_rows_.contexts = std::move(*cached_contexts_);
      earlier = &cached_rows_;
    }
    cached_contexts_.reset();
    ContextTable::Loaded loaded = table_.load(agent_id, earlier);
    cached_contexts_ = std::make_shared<Json>(std::move(loaded.contexts));
    cached_rows_ = std::move(loaded);
    cached_rows_.contexts = Json::array();
    cached_agent_ = agent_id;
    cached_generation_ = generation;
    if (chunk_cache_) chunk_cache_->offer(root_path_, cached_contexts_, cached_rows_.chunk_keys);
    return cached_contexts_;
  }
  Statement st = db_.prepare("SELECT value FROM sections WHERE agent_id = ?1 AND section = ?2");
  st.bind(1, agent_id).bind(2, section);
  return std::make_shared<const Json>(st.step() ? parse_json(st.column_text_view(0))
                                                : Json(nullptr));
}

void ContextStore::_save_agent_data(const std::string& agent_id, const std::string& section,
                                    const Json& value) {
  if (section != kFileContexts) {
    Transaction tx(db_);
    db_.prepare("INSERT OR REPLACE INTO sections(agent_id, section, value) VALUES(?1, ?2, ?3)")
        .bind(1, agent_id)
        .bind(2, section)
        .bind(3, dump_json(value))
        .run();
    tx.commit();
    return;
  }
  if (!value.is_array()) {
    throw TypeError(std::string("file_contexts must be a list, not ") + type_name(value));
  }
  // Normalise the paths first: the order of first appearance is kept, the last record wins.
  std::vector<std::string> order;
  std::unordered_map<std::string, Json> latest;
  for (const Json& context : value) {
    if (!context.is_object()) {
      throw TypeError(std::string("a file context must be a dict, not ") + type_name(context));
    }
    auto path_it = context.find("file_path");
    std::string path;
    if (path_it != context.end() && !path_it->is_null()) {
      if (!path_it->is_string()) {
        throw TypeError(std::string("a file context's 'file_path' must be a str, not ") +
                        type_name(*path_it));
      }
      path = normalize_path(path_it->get<std::string>());
    } else {
      path = normalize_path("");
    }
    Json normalised = context;
    normalised["file_path"] = path;
    if (!latest.count(path)) order.push_back(path);
    latest[path] = std::move(normalised);
  }

  Transaction tx(db_);
  std::unordered_map<std::string, ContextRow> kept;
  for (ContextRow& row : table_.rows(agent_id)) {
    if (latest.count(row.file_path)) kept.emplace(row.file_path, std::move(row));
  }
  table_.clear(agent_id);
  for (const std::string& path : order) {
    table_.put(agent_id, latest[path]);
    auto it = kept.find(path);
    if (it == kept.end()) continue;
    db_.prepare(
           "UPDATE contexts SET access_count = ?3, last_access = ?4, tokens_served = ?5, "
           "tokens_baseline = ?6 WHERE agent_id = ?1 AND file_path = ?2")
        .bind(1, agent_id)
        .bind(2, path)
        .bind(3, it->second.access_count)
        .bind(4, it->second.last_access)
        .bind(5, it->second.tokens_served)
        .bind(6, it->second.tokens_baseline)
        .run();
  }
  drop_all_unreferenced_vectors(db_, agent_id);
  tx.commit();
  _global_index.erase(agent_id);
  global_positions_.erase(agent_id);
  for (const std::string& path : order) note_indexed(agent_id, path);
}

void ContextStore::_save_global_index() {
  if (!_global_index.is_object()) {
    throw TypeError(std::string("_global_index must be a dict, not ") + type_name(_global_index));
  }
  for (const auto& [agent, entries] : _global_index.items()) {
    if (!entries.is_object()) {
      throw TypeError("the global index entries of " + agent + " must be a dict, not " +
                      type_name(entries));
    }
  }
  Transaction tx(db_);
  for (const std::string& agent : dropped_agents_) {
    if (_global_index.contains(agent)) continue;
    db_.prepare("DELETE FROM global_index WHERE agent_id = ?1").bind(1, agent).run();
  }
  for (const auto& [agent, entries] : _global_index.items()) {
    for (const auto& [path, entry] : entries.items()) {
      db_.prepare(
             "INSERT OR REPLACE INTO global_index(agent_id, file_path, entry) VALUES(?1, ?2, ?3)")
          .bind(1, agent)
          .bind(2, path)
          .bind(3, dump_json(entry))
          .run();
    }
  }
  tx.commit();
  dropped_agents_.clear();
}

void ContextStore::drop_global_index_entries(const std::string& agent_id) {
  if (_global_index.is_object()) _global_index.erase(agent_id);
  global_positions_.erase(agent_id);
  dropped_agents_.insert(agent_id);
}

void ContextStore::note_indexed(const std::string& agent_id, const std::string& file_path) {
  Statement st =
      db_.prepare("SELECT entry FROM global_index WHERE agent_id = ?1 AND file_path = ?2");
  st.bind(1, agent_id).bind(2, file_path);
  if (!_global_index.is_object()) _global_index = Json::object();
  bool stored = st.step();
  if (!stored && !_global_index.contains(agent_id)) return;
  Json& agent = _global_index[agent_id];
  if (agent.is_null()) agent = Json::object();
  if (!agent.is_object()) {  // a caller put something else there: fails as it would
    if (stored) {
      agent[file_path] = parse_json(st.column_text_view(0));
    } else {
      agent.erase(file_path);
    }
    return;
  }
  auto& entries = agent.get_ref<Json::object_t&>();
  std::size_t at = global_position(agent_id, entries, file_path);
  if (!stored) {
    if (at == entries.size()) return;
    agent.erase(file_path);
    global_positions_.erase(agent_id);  // the paths after it moved
  } else if (at < entries.size()) {
    (entries.begin() + at)->second = parse_json(st.column_text_view(0));
  } else {
    entries.emplace_back(file_path, parse_json(st.column_text_view(0)));
    note_global_append(agent_id, entries);
  }
}

std::size_t ContextStore::global_position(const std::string& agent_id,
                                          const Json::object_t& entries,
                                          const std::string& path) {
  GlobalPositions& positions = global_positions_[agent_id];
  bool trusted = positions.object == &entries && positions.size == entries.size() &&
                 (entries.empty() || entries.back().first == positions.last);
  if (!trusted) {
    positions = GlobalPositions{&entries, entries.size(), {}, {}};
    positions.by_hash.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      positions.by_hash.emplace(std::hash<std::string>{}((entries.begin() + i)->first), i);
    }
    if (!entries.empty()) positions.last = entries.back().first;
  }
  // The first of equal paths, as the object's own look-up finds.
  std::size_t at = entries.size();
  auto [first, end] = positions.by_hash.equal_range(std::hash<std::string>{}(path));
  for (auto it = first; it != end; ++it) {
    if (it->second < at && (entries.begin() + it->second)->first == path) at = it->second;
  }
  return at;
}

void ContextStore::note_global_append(const std::string& agent_id,
                                      const Json::object_t& entries) {
  GlobalPositions& positions = global_positions_[agent_id];
  positions.by_hash.emplace(std::hash<std::string>{}(entries.back().first), entries.size() - 1);
  positions.size = entries.size();
  positions.last = entries.back().first;
}

bool ContextStore::delete_code_mem(const std::string& agent_id, const std::string& file_path) {
  std::string path = normalize_path(file_path);
  Transaction tx(db_);
  bool removed = table_.remove(agent_id, path).has_value();
  tx.commit();
  if (removed) note_indexed(agent_id, path);
  return removed;
}

Json ContextStore::list_code_mems(const std::string& agent_id, std::int64_t limit,
                                  std::int64_t offset) {
  limit = std::max<std::int64_t>(limit, 0);
  offset = std::max<std::int64_t>(offset, 0);
  std::vector<ContextRow> rows = table_.rows(agent_id);
  auto total = static_cast<std::int64_t>(rows.size());
  Json files = Json::array();
  for (std::int64_t i = offset; i < total && i < offset + limit; ++i) {
    const ContextRow& row = rows[static_cast<std::size_t>(i)];
    files.push_back({{"file_path", row.file_path},
                     {"language", row.language},
                     {"chunk_count", row.chunk_count},
                     {"file_size", row.facts.size ? Json(*row.facts.size) : Json(nullptr)},
                     {"indexed_at", row.indexed_at},
                     {"access_count", row.access_count}});
  }
  std::int64_t count = static_cast<std::int64_t>(files.size());
  return {{"status", "ok"},
          {"files", std::move(files)},
          {"total", total},
          {"count", count},
          {"limit", limit},
          {"offset", offset},
          {"has_more", offset + count < total}};
}

Json ContextStore::get_token_savings_report(const std::string& agent_id) {
  return token_savings_report(db_, table_, agent_id);
}

std::optional<Json> ContextStore::stored_chunks(const std::string& agent_id,
                                                const std::string& file_path) {
  std::optional<ContextRow> row = table_.find(agent_id, file_path);
  if (!row) return std::nullopt;
  return table_.chunk_records(row->id);
}

Json ContextStore::get_detailed_cache_stats(const std::string& agent_id) {
  return detailed_cache_stats(db_, table_, agent_id);
}

Json ContextStore::get_usage_report(const std::string& agent_id) {
  return usage_report(db_, table_, agent_id);
}

Json ContextStore::invalidate_with_vectors(const std::string& agent_id,
                                           const std::string& file_path) {
  std::string path = normalize_path(file_path);
  Transaction tx(db_);
  std::optional<ContextRow> row = table_.find(agent_id, path);
  std::optional<std::vector<std::string>> hashes = table_.remove(agent_id, path);
  tx.commit();
  if (!hashes) {
    return {{"removed", false},
            {"hash_ids", Json::array()},
            {"file_path", path},
            {"chunks_removed", 0}};
  }
  note_indexed(agent_id, path);
  return {{"removed", true},
          {"hash_ids", *hashes},
          {"file_path", path},
          {"chunks_removed", row ? row->chunk_count : 0}};
}

Json ContextStore::invalidate_stale(const std::string& agent_id) {
  std::vector<ContextRow> rows = table_.rows(agent_id);
  std::vector<std::string> stale;
  for (const ContextRow& row : rows) {
    if (check_freshness(row.facts, row.file_path) != Freshness::kFresh) {
      stale.push_back(row.file_path);
    }
  }
  Json hash_ids = Json::array();
  Json files = Json::array();
  std::unordered_set<std::string> seen;
  Transaction tx(db_);
  for (const std::string& path : stale) {
    std::optional<std::vector<std::string>> hashes = table_.remove(agent_id, path);
    if (!hashes) continue;  // removed meanwhile by another writer
    for (const std::string& hash : *hashes) {
      if (seen.insert(hash).second) hash_ids.push_back(hash);
    }
    files.push_back(path);
  }
  tx.commit();
  for (const Json& path : files) note_indexed(agent_id, path.get<std::string>());
  std::size_t invalidated = files.size();
  return {{"hash_ids", std::move(hash_ids)},
          {"invalidated", invalidated},
          {"files", std::move(files)},
          {"checked", rows.size()}};
}

Json ContextStore::get_file_imports(const std::string& agent_id, const std::string& file_path) {
  std::optional<ContextRow> row = table_.find(agent_id, normalize_path(file_path));
  return row ? table_.import_records(row->id) : Json::array();
}

Json ContextStore::find_importers(const std::string& agent_id, const std::string& module_name) {
  Statement st = db_.prepare(
      "SELECT c.file_path, i.module FROM imports i JOIN contexts c ON c.id = i.context_id "
      "WHERE i.agent_id = ?1 AND i.stem = ?2 ORDER BY c.seq, i.ord");
  st.bind(1, agent_id).bind(2, module_name);
  Json importers = Json::array();
  std::unordered_set<std::string> seen;
  while (st.step()) {
    std::string path = st.column_text(0);
    if (!seen.insert(path).second) continue;
    importers.push_back({{"file_path", path}, {"module", st.column_text(1)}});
  }
  return importers;
}

}  // namespace vantory::backend
