#include "apps/host/memory_tools.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <set>

#include "apps/host/memory_entries.h"
#include "common/error_answer.h"
#include "common/unicode.h"

namespace vantory::host {

namespace {

using Store = std::function<std::shared_ptr<LocalAmbrel>()>;

std::string utc_now() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

MemoryEntryFile entry_file(LocalAmbrel& ambrel, const std::string& agent_id) {
  return MemoryEntryFile(ambrel.agent_directory(agent_id));
}

// The text of a note as compared for sameness: lower-cased, white space collapsed.
std::string normalised(const std::string& text) { return to_lower(collapse_whitespace(text)); }

// The lower-cased words (runs of letters and digits) of a text.
std::set<std::string> words_of(const std::string& text) {
  std::set<std::string> words;
  std::string lower = to_lower(text);
  std::string word;
  for (std::size_t pos = 0; pos < lower.size();) {
    char32_t c = next_code_point(lower, pos);
    if (is_alnum(c)) {
      append_utf8(word, c);
    } else if (!word.empty()) {
      words.insert(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.insert(std::move(word));
  return words;
}

// True when the two texts share at least half of all the words either holds.
bool share_most_words(const std::string& a, const std::string& b) {
  std::set<std::string> left = words_of(a), right = words_of(b);
  std::size_t shared = 0;
  for (const std::string& word : left) shared += right.count(word);
  std::size_t either = left.size() + right.size() - shared;
  return either > 0 && 2 * shared >= either;
}

// The note of the agent that `text` repeats: one with the same normalised text, else one whose
// embedding is at least kNearDuplicateSimilarity alike and whose text shares at least half of
// the words. The shared words keep a service that answers one vector for every text from
// merging notes that have nothing in common. {"id", "similarity"}, or null.
Json near_duplicate(LocalAmbrel& ambrel, const std::string& agent_id, const Json& entries,
                    const std::string& text) {
  const std::string wanted = normalised(text);
  for (const Json& old : entries) {
    const Json id = old.value("id", Json());
    if (id.is_string() && normalised(memory_text(old)) == wanted) {
      return {{"id", id}, {"similarity", 1.0}};
    }
  }
  for (const Json& close :
       ambrel.semantic_search(agent_id, text, entries, 5, kNearDuplicateSimilarity)) {
    if (share_most_words(memory_text(close), text)) {
      return {{"id", close["id"]}, {"similarity", close["semantic_score"]}};
    }
  }
  return nullptr;
}

// The members of both string arrays, `older` first, each once.
Json merged(const Json& older, const Json& newer) {
  Json out = Json::array();
  for (const Json* list : {&older, &newer}) {
    if (!list->is_array()) continue;
    for (const Json& item : *list) {
      if (std::find(out.begin(), out.end(), item) == out.end()) out.push_back(item);
    }
  }
  return out;
}

// Embeds the note's text under its id. A note the service gives no embedding keeps no vector
// at all: a zero vector would keep it out of semantic search for good, and the vector of a
// text it replaced would find it by words it no longer holds; without one, the first search
// that finds the service working embeds it. Answers whether it was embedded.
bool embed_note(LocalAmbrel& ambrel, const std::string& agent_id, const std::string& id,
                const std::string& text) {
  std::optional<std::vector<double>> vector = ambrel.add_vector(agent_id, id, text);
  bool embedded =
      vector && std::any_of(vector->begin(), vector->end(), [](double x) { return x != 0.0; });
  if (!embedded) ambrel.delete_vector(agent_id, id);
  return embedded;
}

// Ends the answer of a note written: a warning when it has no embedding, then the note.
Json with_entry(Json answer, Json entry) {
  if (answer["embedded"] == false) {
    answer["warning"] =
        "the embedding service gave no embedding (is REMOTE_EMBEDDING_URL set?); keyword "
        "search finds this memory, and a later search embeds it";
  }
  answer["entry"] = std::move(entry);
  return answer;
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
  std::string id = entry["id"].get<std::string>();
  const std::string text = memory_text(entry);
  if (id.empty()) return error_answer("a memory id must not be empty");
  if (text.empty()) return error_answer("a memory needs content");

  MemoryEntryFile file = entry_file(ambrel, agent_id);
  Json duplicate = nullptr;
  if (a["id"].is_null()) {
    Json known = Json::array();
    try {
      known = file.read();
    } catch (const ValueError&) {
      // A damaged file holds no duplicate: the update below keeps it aside.
    }
    duplicate = near_duplicate(ambrel, agent_id, known, text);
  }
  if (!duplicate.is_null()) entry["id"] = id = duplicate["id"].get<std::string>();

  bool replaced = false;
  file.update([&](Json& entries) {
    auto same = std::find_if(entries.begin(), entries.end(),
                             [&](const Json& old) { return old.value("id", Json()) == id; });
    if (same == entries.end()) {
      entry["created_at"] = utc_now();
      entries.push_back(entry);
    } else {
      replaced = true;
      if (!duplicate.is_null()) {
        entry["keywords"] = merged(same->value("keywords", Json()), entry["keywords"]);
        entry["persons"] = merged(same->value("persons", Json()), entry["persons"]);
        if (entry["topic"] == "") entry["topic"] = same->value("topic", Json(""));
      }
      entry["created_at"] = same->value("created_at", Json(utc_now()));
      entry["updated_at"] = utc_now();
      *same = entry;
    }
    return true;
  });

  bool embedded = embed_note(ambrel, agent_id, id, text);
  Json answer = {{"status", "ok"}, {"id", id}, {"replaced", replaced}, {"embedded", embedded}};
  if (!duplicate.is_null() && replaced) {
    answer["near_duplicate"] = duplicate;
    answer["note"] = "updated the note " + id +
                     ", which already said this, instead of adding another (memory_update "
                     "changes a note; an id adds a separate one)";
  }
  return with_entry(std::move(answer), std::move(entry));
}

Json update(LocalAmbrel& ambrel, const Json& a) {
  const std::string agent_id = a["agent_id"].get<std::string>();
  const std::string id = a["id"].get<std::string>();
  Json changes = Json::object();
  for (const char* key :
       {"content", "lossless_restatement", "keywords", "persons", "topic", "importance"}) {
    if (!a[key].is_null()) changes[key] = a[key];
  }
  if (changes.empty()) {
    return error_answer(
        "nothing to update: give content, lossless_restatement, keywords, persons, topic or "
        "importance");
  }

  Json entry;
  std::string old_text;
  std::string failure;
  entry_file(ambrel, agent_id).update([&](Json& entries) {
    auto same = std::find_if(entries.begin(), entries.end(),
                             [&](const Json& old) { return old.value("id", Json()) == id; });
    if (same == entries.end()) {
      failure = "no memory with id '" + id + "'";
      return false;
    }
    old_text = memory_text(*same);
    Json changed = *same;
    // A restatement restates the content it came with: new content without one drops it.
    if (changes.contains("content") && !changes.contains("lossless_restatement")) {
      changed.erase("lossless_restatement");
    }
    for (const auto& [key, value] : changes.items()) changed[key] = value;
    if (memory_text(changed).empty()) {
      failure = "a memory needs content";
      return false;
    }
    changed["updated_at"] = utc_now();
    *same = changed;
    entry = std::move(changed);
    return true;
  });
  if (!failure.empty()) return error_answer(failure);

  const std::string text = memory_text(entry);
  Json answer = {{"status", "ok"}, {"id", id}, {"updated", Json::array()}};
  for (const auto& [key, value] : changes.items()) answer["updated"].push_back(key);
  bool reembed = text != old_text || !ambrel.get_vector(agent_id, id);
  bool embedded = reembed ? embed_note(ambrel, agent_id, id, text) : true;
  answer["embedded"] = embedded;
  return with_entry(std::move(answer), std::move(entry));
}

Json search(LocalAmbrel& ambrel, const Json& a) {
  const std::string agent_id = a["agent_id"].get<std::string>();
  Json entries = entry_file(ambrel, agent_id).read();
  Json results =
      ambrel.hybrid_search(agent_id, a["query"].get<std::string>(), entries,
                           a["top_k"].get<std::int64_t>(), a["semantic_weight"].get<double>(),
                           a["keyword_weight"].get<double>(), a["threshold"].get<double>());
  return {{"status", "ok"},
          {"query", a["query"]},
          {"count", results.size()},
          {"searched", entries.size()},
          {"results", std::move(results)}};
}

Json list(LocalAmbrel& ambrel, const Json& a) {
  std::int64_t limit = a["limit"].get<std::int64_t>();
  std::int64_t offset = a["offset"].get<std::int64_t>();
  if (limit < 0 || offset < 0) return error_answer("limit and offset must not be negative");
  Json entries = entry_file(ambrel, a["agent_id"].get<std::string>()).read();
  auto total = static_cast<std::int64_t>(entries.size());
  Json page = Json::array();
  for (std::int64_t i = offset; i < total && i - offset < limit; ++i) page.push_back(entries[i]);
  std::int64_t count = static_cast<std::int64_t>(page.size());
  return {{"status", "ok"},
          {"memories", std::move(page)},
          {"total", total},
          {"count", count},
          {"limit", limit},
          {"offset", offset},
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
  if (!found) return error_answer("no memory with id '" + id + "'");
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
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(generator()));
  return std::string("mem-") + digits;
}

std::vector<ToolDefinition> memory_tools(const HostConfig& config, Store ambrel) {
  const ToolArgument agent =
      optional_argument("agent_id", "string", config.agent_id,
                        "The agent whose memories are used. Defaults to the server's agent id.");
  auto run = [ambrel](Json (*operation)(LocalAmbrel&, const Json&)) {
    return
        [ambrel, operation](const Json& a, const ProgressFn&) { return operation(*ambrel(), a); };
  };
  return {
      {"memory_add",
       "Remember a note: store a memory entry for the agent and the embedding of its text. "
       "Giving the id of an existing entry replaces it. Without an id, a note that repeats "
       "one the agent already has (the same text, ignoring case and spacing, or embeddings "
       "at least 0.95 alike and half the words shared) updates that note instead of adding "
       "another, and the answer says so (near_duplicate).",
       {agent, required_argument("content", "string", "What to remember."),
        optional_argument(
            "lossless_restatement", "string|null", nullptr,
            "A self-contained restatement of the content; embedded and searched instead of it."),
        optional_argument("keywords", "array", Json::array(), "Keywords of the note.", "string"),
        optional_argument("persons", "array", Json::array(), "People the note is about.", "string"),
        optional_argument("topic", "string", "", "The note's topic."),
        optional_argument("importance", "number", 0.5, "From 0 to 1; weighs keyword matches."),
        optional_argument("id", "string|null", nullptr, "The entry id; null makes a new one.")},
       run(add)},
      {"memory_update",
       "Correct one of the agent's notes: the members given replace the note's own (new "
       "content without a lossless_restatement drops the old restatement), the note is "
       "embedded again when its text changed, and the file is replaced at once. Answers the "
       "members updated and the note.",
       {agent, required_argument("id", "string", "The id of the note."),
        optional_argument("content", "string|null", nullptr, "The new text; null keeps it."),
        optional_argument("lossless_restatement", "string|null", nullptr,
                          "A new self-contained restatement; null keeps or drops it as above."),
        optional_argument("keywords", "array|null", nullptr, "New keywords; null keeps them.",
                          "string"),
        optional_argument("persons", "array|null", nullptr, "New persons; null keeps them.",
                          "string"),
        optional_argument("topic", "string|null", nullptr, "A new topic; null keeps it."),
        optional_argument("importance", "number|null", nullptr,
                          "A new importance from 0 to 1; null keeps it.")},
       run(update)},
      {"memory_search",
       "Find the agent's notes by meaning and keywords (hybrid search). Answers the entries "
       "with their semantic_score, keyword_score and hybrid_score, best first.",
       {agent, required_argument("query", "string", "What to look for."),
        optional_argument("top_k", "integer", 5, "The most notes to answer."),
        optional_argument("semantic_weight", "number", 0.6, "The weight of meaning."),
        optional_argument("keyword_weight", "number", 0.4, "The weight of keywords."),
        optional_argument("threshold", "number", 0.0, "The lowest hybrid score admitted.")},
       run(search)},
      {"memory_list",
       "List the agent's notes in the order they were added.",
       {agent, optional_argument("limit", "integer", 50, "The most notes to list."),
        optional_argument("offset", "integer", 0, "How many notes to pass over first.")},
       run(list)},
      {"memory_delete",
       "Forget one of the agent's notes and its vector.",
       {agent, required_argument("id", "string", "The id of the note.")},
       run(remove)},
  };
}

}  // namespace vantory::host
