#include "apps/host/memory_tools.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

#include "apps/host/memory_entries.h"

namespace vantory::host {

namespace {

using Store = std::function<std::shared_ptr<LocalAmbrel>()>;

Json error_object(const std::string& message) {
  return {{"status", "error"}, {"message", message}};
}

std::string utc_now() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

MemoryEntryFile entry_file(LocalAmbrel& ambrel, const std::string& agent_id) {
  return MemoryEntryFile(ambrel._get_agent_path(agent_id));
}

Json add(LocalAmbrel& ambrel, const Json& a) {
  const std::string agent_id = a["agent_id"].get<std::string>();
  Json entry = {{"id", a["id"].is_null() ? new_memory_id() : a["id"].get<std::string>()},
                {"content", a["content"]}};
  if (a["lossless_restatement"].is_string()) {
    entry["lossless_restatement"] = a["lossless_restatement"];
  }
  entry["keywords"] = a["keywords"];
  entry["persons"] = a["persons"];
  entry["topic"] = a["topic"];
  entry["importance"] = a["importance"];
  const std::string id = entry["id"].get<std::string>();
  const std::string text = memory_text(entry);
  if (id.empty()) return error_object("a memory id must not be empty");
  if (text.empty()) return error_object("a memory needs content");

  bool replaced = false;
  entry_file(ambrel, agent_id).update([&](Json& entries) {
    auto same = std::find_if(entries.begin(), entries.end(),
                             [&](const Json& old) { return old.value("id", Json()) == id; });
    if (same == entries.end()) {
      entry["created_at"] = utc_now();
      entries.push_back(entry);
    } else {
      replaced = true;
      entry["created_at"] = same->value("created_at", Json(utc_now()));
      entry["updated_at"] = utc_now();
      *same = entry;
    }
    return true;
  });

  std::optional<std::vector<double>> vector = ambrel.add_vector(agent_id, id, text);
  bool embedded = vector && std::any_of(vector->begin(), vector->end(),
                                        [](double x) { return x != 0.0; });
  // A zero vector would keep the entry out of semantic search for good; without one, the
  // entry is embedded again by the first search that finds the service working.
  if (vector && !embedded) ambrel.delete_vector(agent_id, id);

  Json answer = {{"status", "ok"}, {"id", id}, {"replaced", replaced}, {"embedded", embedded}};
  if (!embedded) {
    answer["warning"] =
        "the embedding service gave no embedding (is REMOTE_EMBEDDING_URL set?); keyword "
        "search finds this memory, and a later search embeds it";
  }
  answer["entry"] = std::move(entry);
  return answer;
}

Json search(LocalAmbrel& ambrel, const Json& a) {
  const std::string agent_id = a["agent_id"].get<std::string>();
  Json entries = entry_file(ambrel, agent_id).read();
  Json results = ambrel.hybrid_search(agent_id, a["query"].get<std::string>(), entries,
                                      a["top_k"].get<std::int64_t>(),
                                      a["semantic_weight"].get<double>(),
                                      a["keyword_weight"].get<double>(),
                                      a["threshold"].get<double>());
  return {{"status", "ok"},
          {"query", a["query"]},
          {"count", results.size()},
          {"searched", entries.size()},
          {"results", std::move(results)}};
}

Json list(LocalAmbrel& ambrel, const Json& a) {
  std::int64_t limit = a["limit"].get<std::int64_t>();
  std::int64_t offset = a["offset"].get<std::int64_t>();
  if (limit < 0 || offset < 0) return error_object("limit and offset must not be negative");
  Json entries = entry_file(ambrel, a["agent_id"].get<std::string>()).read();
  auto total = static_cast<std::int64_t>(entries.size());
  Json page = Json::array();
  for (std::int64_t i = offset; i < total && i - offset < limit; ++i) page.push_back(entries[i]);
  std::int64_t count = static_cast<std::int64_t>(page.size());
  return {{"status", "ok"},   {"memories", std::move(page)}, {"total", total},
          {"count", count},   {"limit", limit},              {"offset", offset},
          {"has_more", offset + count < total}};
}

Json remove(LocalAmbrel& ambrel, const Json& a) {
  const std::string agent_id = a["agent_id"].get<std::string>();
  const std::string id = a["id"].get<std::string>();
  bool found = false;
  entry_file(ambrel, agent_id).update([&](Json& entries) {
    auto same = std::find_if(entries.begin(), entries.end(),
                             [&](const Json& old) { return old.value("id", Json()) == id; });
    if (same == entries.end()) return false;
    entries.erase(same);
    found = true;
    return true;
  });
  if (!found) return error_object("no memory with id '" + id + "'");
  bool vector_deleted = ambrel.delete_vector(agent_id, id);
  return {{"status", "ok"}, {"id", id}, {"deleted", true}, {"vector_deleted", vector_deleted}};
}

}  // namespace

std::string memory_text(const Json& entry) {
  for (const char* key : {"lossless_restatement", "content"}) {
    auto it = entry.find(key);
    if (it != entry.end() && it->is_string() && !it->get_ref<const std::string&>().empty()) {
      return it->get<std::string>();
    }
  }
  return "";
}

std::string new_memory_id() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx",
                static_cast<unsigned long long>(generator()));
  return std::string("mem-") + digits;
}

std::vector<ToolDefinition> memory_tools(const HostConfig& config, Store ambrel) {
  const ToolArgument agent{"agent_id", "string", "", false, config.agent_id,
                           "The agent whose memories are used. Defaults to the server's agent "
                           "id."};
  auto run = [ambrel](Json (*operation)(LocalAmbrel&, const Json&)) {
    return [ambrel, operation](const Json& a, const ProgressFn&) { return operation(*ambrel(), a); };
  };
  return {
      {"memory_add",
       "Remember a note: store a memory entry for the agent and the embedding of its text. "
       "Giving the id of an existing entry replaces it.",
       {agent,
        {"content", "string", "", true, nullptr, "What to remember."},
        {"lossless_restatement", "string|null", "", false, nullptr,
         "A self-contained restatement of the content; embedded and searched instead of it."},
        {"keywords", "array", "string", false, Json::array(), "Keywords of the note."},
        {"persons", "array", "string", false, Json::array(), "People the note is about."},
        {"topic", "string", "", false, "", "The note's topic."},
        {"importance", "number", "", false, 0.5, "From 0 to 1; weighs keyword matches."},
        {"id", "string|null", "", false, nullptr, "The entry id; null makes a new one."}},
       run(add)},
      {"memory_search",
       "Find the agent's notes by meaning and keywords (hybrid search). Answers the entries "
       "with their semantic_score, keyword_score and hybrid_score, best first.",
       {agent,
        {"query", "string", "", true, nullptr, "What to look for."},
        {"top_k", "integer", "", false, 5, "The most notes to answer."},
        {"semantic_weight", "number", "", false, 0.6, "The weight of meaning."},
        {"keyword_weight", "number", "", false, 0.4, "The weight of keywords."},
        {"threshold", "number", "", false, 0.0, "The lowest hybrid score admitted."}},
       run(search)},
      {"memory_list", "List the agent's notes in the order they were added.",
       {agent,
        {"limit", "integer", "", false, 50, "The most notes to list."},
        {"offset", "integer", "", false, 0, "How many notes to pass over first."}},
       run(list)},
      {"memory_delete", "Forget one of the agent's notes and its vector.",
       {agent, {"id", "string", "", true, nullptr, "The id of the note."}}, run(remove)},
  };
}

}  // namespace vantory::host
