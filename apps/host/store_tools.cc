#include "apps/host/store_tools.h"

#include <string>

namespace vantory::host {

namespace {

using Store = std::function<std::shared_ptr<LocalAmbrel>()>;

std::string text(const Json& arguments, const char* name) {
  return arguments[name].get<std::string>();
}

Json vector_answer(const std::optional<std::vector<double>>& numbers) {
  return numbers ? Json(*numbers) : Json(nullptr);
}

}  // namespace

std::vector<ToolDefinition> store_tools(const HostConfig& config, Store ambrel) {
  const ToolArgument agent{"agent_id", "string", "", false, config.agent_id,
                           "The agent whose vectors are used. Defaults to the server's agent id."};
  const ToolArgument entry_id{"entry_id", "string", "", true, nullptr,
                              "The id of the memory entry the vector belongs to."};
  const ToolArgument query{"query", "string", "", true, nullptr, "What to look for."};
  const ToolArgument memories{"memories", "array", "object", true, nullptr,
                              "The memory entries to rank: objects with id, "
                              "lossless_restatement or content, keywords, persons, topic, "
                              "importance; other members pass into the results."};
  const ToolArgument top_k{"top_k", "integer", "", false, 5,
                           "The most results to answer; a negative value drops that many from "
                           "the end."};
  const ToolArgument threshold{"threshold", "number", "", false, 0.0,
                               "The lowest score admitted."};

  return {
      {"add_vector",
       "Embed a text and store the vector under a memory entry's id, replacing the entry's old "
       "vector. Answers the stored numbers, or null when embedding failed.",
       {agent, entry_id, {"text", "string", "", true, nullptr, "The text to embed."}},
       [ambrel](const Json& a, const ProgressFn&) {
         return vector_answer(
             ambrel()->add_vector(text(a, "agent_id"), text(a, "entry_id"), text(a, "text")));
       }},
      {"add_vectors_batch",
       "Embed and store the vectors of the memory entries that have none yet (by id; from "
       "lossless_restatement, else content), writing the agent's vectors file once. Answers "
       "the number of vectors added.",
       {agent, {"entries", "array", "object", true, nullptr, "The memory entries to embed."}},
       [ambrel](const Json& a, const ProgressFn&) {
         return Json(ambrel()->add_vectors_batch(text(a, "agent_id"), a["entries"]));
       }},
      {"get_vector", "The stored vector of a memory entry as an array of numbers, or null.",
       {agent, entry_id},
       [ambrel](const Json& a, const ProgressFn&) {
         auto vector = ambrel()->get_vector(text(a, "agent_id"), text(a, "entry_id"));
         return vector ? Json(vector->tolist()) : Json(nullptr);
       }},
      {"delete_vector",
       "Remove the stored vector of a memory entry. Answers true when there was one.",
       {agent, entry_id},
       [ambrel](const Json& a, const ProgressFn&) {
         return Json(ambrel()->delete_vector(text(a, "agent_id"), text(a, "entry_id")));
       }},
      {"clear_vectors", "Delete every stored vector of the agent. Answers null.", {agent},
       [ambrel](const Json& a, const ProgressFn&) {
         ambrel()->clear_vectors(text(a, "agent_id"));
         return Json(nullptr);
       }},
      {"get_stats",
       "The agent's vector count, the embedding dimension and the size of the embedding cache.",
       {agent},
       [ambrel](const Json& a, const ProgressFn&) {
         return ambrel()->get_stats(text(a, "agent_id"));
       }},
      {"semantic_search",
       "Rank memory entries by the cosine similarity of their vectors to the query's "
       "embedding (semantic_score); entries without a vector are embedded and stored first.",
       {agent, query, memories, top_k, threshold},
       [ambrel](const Json& a, const ProgressFn&) {
         return ambrel()->semantic_search(text(a, "agent_id"), text(a, "query"), a["memories"],
                                          a["top_k"].get<std::int64_t>(),
                                          a["threshold"].get<double>());
       }},
      {"keyword_search",
       "Rank memory entries by keyword overlap with the query (keyword_score): words matched "
       "in the text, keywords, topic and persons, with a bonus for the whole phrase.",
       {query, memories, top_k},
       [](const Json& a, const ProgressFn&) {
         return LocalAmbrel::keyword_search(text(a, "query"), a["memories"],
                                            a["top_k"].get<std::int64_t>());
       }},
      {"hybrid_search",
       "Rank memory entries by a weighted mix of semantic and keyword search, each scaled so "
       "its best score is 1 (hybrid_score).",
       {agent, query, memories, top_k,
        {"semantic_weight", "number", "", false, 0.6, "The weight of the semantic score."},
        {"keyword_weight", "number", "", false, 0.4, "The weight of the keyword score."},
        threshold},
       [ambrel](const Json& a, const ProgressFn&) {
         return ambrel()->hybrid_search(text(a, "agent_id"), text(a, "query"), a["memories"],
                                        a["top_k"].get<std::int64_t>(),
                                        a["semantic_weight"].get<double>(),
                                        a["keyword_weight"].get<double>(),
                                        a["threshold"].get<double>());
       }},
  };
}

}  // namespace vantory::host
