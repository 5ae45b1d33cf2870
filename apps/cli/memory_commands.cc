// The commands over free-text memories: remember, recall, memories, forget.
#include <string>

#include "apps/cli/command.h"
#include "apps/cli/readable_json.h"
#include "apps/cli/table.h"
#include "apps/host/memory_tools.h"
#include "common/json_text.h"

namespace vantory::cli {

namespace {

std::string show_remembered(const Json& answer) {
  std::string id = scalar_text(member(answer, "id"));
  std::string out = answer.contains("near_duplicate")    ? "Updated " + id + " (it said the same)\n"
                    : answer.contains("updated")         ? "Updated " + id + "\n"
                    : member(answer, "replaced") == true ? "Replaced " + id + "\n"
                                                         : "Remembered " + id + "\n";
  if (answer.contains("warning")) out += "  note: " + scalar_text(answer["warning"]) + "\n";
  return out;
}

// remember --update ID: only what the command line gives changes.
int run_update(Invocation& invocation) {
  if (invocation.has("id")) throw UsageError("--update and --id do not go together");
  Json arguments = {{"id", invocation.text("update")}};
  if (!invocation.operands.empty()) arguments["content"] = invocation.joined_operands();
  if (invocation.has("keyword")) arguments["keywords"] = invocation.texts("keyword");
  if (invocation.has("person")) arguments["persons"] = invocation.texts("person");
  if (invocation.has("topic")) arguments["topic"] = invocation.text("topic");
  if (invocation.has("importance")) arguments["importance"] = invocation.number("importance", 0.5);
  return show(invocation, invocation.host->call_tool("memory_update", arguments), show_remembered);
}

int run_remember(Invocation& invocation) {
  if (invocation.has("update")) return run_update(invocation);
  if (invocation.operands.empty()) throw UsageError("missing TEXT...");
  Json arguments = {{"content", invocation.joined_operands()},
                    {"keywords", invocation.texts("keyword")},
                    {"persons", invocation.texts("person")},
                    {"topic", invocation.text("topic")},
                    {"importance", invocation.number("importance", 0.5)}};
  if (invocation.has("id")) arguments["id"] = invocation.text("id");
  return show(invocation, invocation.host->call_tool("memory_add", arguments), show_remembered);
}

std::string show_recall(const Json& answer) {
  const Json& results = member(answer, "results");
  if (results.empty()) {
    return "Nothing remembered matches \"" + scalar_text(member(answer, "query")) + "\" (" +
           scalar_text(member(answer, "searched")) + " memories searched).\n";
  }
  Table table({"SCORE", "MEANING", "WORDS", "ID", "MEMORY"});
  for (const Json& result : results) {
    table.add_row({score_text(member(result, "hybrid_score")),
                   score_text(member(result, "semantic_score")),
                   score_text(member(result, "keyword_score")), scalar_text(member(result, "id")),
                   one_line(host::memory_text(result))});
  }
  return table.render(0, terminal_width());
}

int run_recall(Invocation& invocation) {
  Json arguments = {{"query", invocation.joined_operands()},
                    {"top_k", invocation.integer("top-k", 5)}};
  return show(invocation, invocation.host->call_tool("memory_search", arguments), show_recall);
}

std::string show_memories(const Json& answer) {
  const Json& memories = member(answer, "memories");
  if (memories.empty()) return "No memories yet.\n";
  Table table({"ID", "ADDED", "TOPIC", "MEMORY"});
  for (const Json& entry : memories) {
    table.add_row({scalar_text(member(entry, "id")), scalar_text(member(entry, "created_at")),
                   scalar_text(member(entry, "topic")), one_line(host::memory_text(entry))});
  }
  std::string out = table.render(0, terminal_width());
  if (member(answer, "has_more") == true) {
    out += "(" + scalar_text(answer["count"]) + " of " + scalar_text(answer["total"]) +
           "; --offset shows more)\n";
  }
  return out;
}

int run_memories(Invocation& invocation) {
  Json arguments = {{"limit", invocation.integer("limit", 50)},
                    {"offset", invocation.integer("offset", 0)}};
  return show(invocation, invocation.host->call_tool("memory_list", arguments), show_memories);
}

int run_forget(Invocation& invocation) {
  Json answer = invocation.host->call_tool("memory_delete", {{"id", invocation.operands[0]}});
  return show(invocation, answer,
              [](const Json& a) { return "Forgot " + scalar_text(member(a, "id")) + "\n"; });
}

}  // namespace

std::vector<Command> memory_commands() {
  return {
      {"remember",
       "TEXT...",
       "remember a note, or correct one",
       "Stores TEXT as a memory of the agent, with the embedding of it from the service\n"
       "named by REMOTE_EMBEDDING_URL (see serve-embeddings). A TEXT that repeats a note\n"
       "the agent has (the same words, or embeddings at least 0.95 alike and half the words\n"
       "shared) updates that note.\n"
       "With --update ID, changes the note ID: its text when TEXT is given, and the topic,\n"
       "keywords, persons or importance given; the rest stays.",
       {{"topic", "TOPIC", "the note's topic"},
        {"keyword", "WORD", "a keyword of the note", true},
        {"person", "NAME", "a person the note is about", true},
        {"importance", "X", "from 0 to 1 (default 0.5)"},
        {"id", "ID", "replace the note with this id"},
        {"update", "ID", "correct the note ID instead of adding one"}},
       0,
       kAnyNumber,
       run_remember},
      {"recall",
       "QUERY...",
       "find notes by meaning and keywords",
       "Hybrid search over the agent's notes: the meaning of QUERY (through the embedding\n"
       "service) mixed with its words.",
       {{"top-k", "N", "the most notes to show (default 5)"}},
       1,
       kAnyNumber,
       run_recall},
      {"memories",
       "",
       "list the agent's notes",
       "The agent's notes in the order they were added.",
       {{"limit", "N", "the most notes to list (default 50)"},
        {"offset", "N", "how many notes to pass over first"}},
       0,
       0,
       run_memories},
      {"forget",
       "ID",
       "forget a note",
       "Deletes the note ID and its vector (memories lists the ids).",
       {},
       1,
       1,
       run_forget},
  };
}

}  // namespace vantory::cli
