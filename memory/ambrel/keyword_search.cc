// Ranking memory entries by the lexical overlap of their text, keywords, topic and persons
// with a query.
#include <limits>

#include "common/rounding.h"
#include "common/unicode.h"
#include "memory/ambrel/local_ambrel.h"
#include "memory/ambrel/memory_entry.h"

namespace vantory {

const std::unordered_set<std::string_view> LocalAmbrel::STOPWORDS = {
    "a", "an", "the", "is", "are", "was", "were", "be", "been", "being", "have", "has", "had",
    "do", "does", "did", "will", "would", "could", "should", "may", "might", "must", "shall",
    "can", "need", "to", "of", "in", "for", "on", "with", "at", "by", "from", "as", "into",
    "through", "during", "before", "after", "and", "but", "if", "or", "because", "until",
    "while", "about", "against", "up", "down", "out", "off", "over", "under", "i", "me", "my",
    "we", "our", "you", "your", "he", "him", "his", "she", "her", "it", "its", "they", "them",
    "their", "what", "which", "who", "whom", "this", "that", "these", "those", "am", "how",
    "when", "where", "why", "all", "each", "few", "more", "most", "other", "some", "such", "no",
    "nor", "not", "only", "own", "same", "so", "than", "too", "very", "just", "user", "agent",
    "memory", "loves", "like", "likes"};

namespace {

struct QueryWord {
  std::string_view text;
  // What a match in the entry's text adds: 0.3 + 0.05 per code point.
  double text_bonus;
};

// The members of one entry that the scoring reads, checked for their types.
struct EntryFields {
  std::string_view text;
  const Json::array_t* keywords = nullptr;
  const Json::array_t* persons = nullptr;
  std::string_view topic;
  double importance_factor = 1.5;
};

const std::string& string_member(const Json* value, std::size_t position, const char* name) {
  if (!value->is_string()) throw_member_type(position, name, "a string", *value);
  return value->get_ref<const std::string&>();
}

const Json::array_t* string_list(const Json* value, std::size_t position, const char* name) {
  if (value == nullptr) return nullptr;
  if (value->is_array()) {
    const Json::array_t& items = value->get_ref<const Json::array_t&>();
    bool all_strings = true;
    for (const Json& item : items) all_strings = all_strings && item.is_string();
    if (all_strings) return &items;
  }
  throw_member_type(position, name, "an array of strings", *value);
}

// 1 + importance, with an integer importance added exactly before it becomes a double.
double importance_factor(const Json& value, std::size_t position) {
  switch (value.type()) {
    case Json::value_t::number_float: return 1.0 + value.get<double>();
    case Json::value_t::number_integer: {
      std::int64_t i = value.get<std::int64_t>();
      return i == std::numeric_limits<std::int64_t>::max() ? 0x1p63 : static_cast<double>(i + 1);
    }
    case Json::value_t::number_unsigned: {
      std::uint64_t u = value.get<std::uint64_t>();
      return u == std::numeric_limits<std::uint64_t>::max() ? 0x1p64 : static_cast<double>(u + 1);
    }
    case Json::value_t::boolean: return value.get<bool>() ? 2.0 : 1.0;
    default: throw_member_type(position, "importance", "a number", value);
  }
}

EntryFields read_fields(const Json& mem, std::size_t position) {
  require_object(mem, position);
  const Json* lossless = nullptr;
  const Json* content = nullptr;
  const Json* keywords = nullptr;
  const Json* persons = nullptr;
  const Json* topic = nullptr;
  const Json* importance = nullptr;
  for (const auto& [name, value] : mem.get_ref<const Json::object_t&>()) {
    if (name == "lossless_restatement") lossless = &value;
    else if (name == "content") content = &value;
    else if (name == "keywords") keywords = &value;
    else if (name == "persons") persons = &value;
    else if (name == "topic") topic = &value;
    else if (name == "importance") importance = &value;
  }
  EntryFields fields;
  if (lossless != nullptr && !is_empty_value(*lossless)) {
    fields.text = string_member(lossless, position, "lossless_restatement");
  } else if (content != nullptr) {
    fields.text = string_member(content, position, "content");
  }
  fields.keywords = string_list(keywords, position, "keywords");
  fields.persons = string_list(persons, position, "persons");
  if (topic != nullptr) fields.topic = string_member(topic, position, "topic");
  if (importance != nullptr) fields.importance_factor = importance_factor(*importance, position);
  return fields;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

std::vector<std::string> lowered(const Json::array_t* items) {
  std::vector<std::string> out;
  if (items == nullptr) return out;
  out.reserve(items->size());
  for (const Json& item : *items) out.push_back(to_lower(item.get_ref<const std::string&>()));
  return out;
}

}  // namespace

std::vector<RankedEntry> LocalAmbrel::rank_keyword(const std::string& query,
                                                   const Json::array_t& memories,
                                                   std::int64_t top_k) {
  const std::string query_lower = to_lower(query);
  const std::vector<std::string_view> all_words = split_whitespace(query_lower);
  std::vector<QueryWord> words;
  for (bool skip_stopwords : {true, false}) {
    for (std::string_view word : all_words) {
      std::size_t length = code_point_count(word);
      if (length <= 2 || (skip_stopwords && STOPWORDS.count(word))) continue;
      words.push_back({word, 0.3 + 0.05 * static_cast<double>(length)});
    }
    if (!words.empty()) break;
  }
  if (words.empty()) return {};
  std::string phrase;
  for (const QueryWord& word : words) {
    if (!phrase.empty()) phrase.push_back(' ');
    phrase.append(word.text);
  }

  std::vector<RankedEntry> ranked;
  std::vector<bool> in_text(words.size());
  for (std::size_t i = 0; i < memories.size(); ++i) {
    EntryFields fields = read_fields(memories[i], i);
    const std::string content = to_lower(fields.text);
    std::size_t matched = 0;
    for (std::size_t w = 0; w < words.size(); ++w) {
      in_text[w] = contains(content, words[w].text);
      matched += in_text[w];
    }
    // Only an entry whose text holds a query word can be ranked: the rest is left unscored.
    if (matched == 0) continue;
    const std::vector<std::string> keywords = lowered(fields.keywords);
    const std::vector<std::string> persons = lowered(fields.persons);
    const std::string topic = to_lower(fields.topic);

    double score = 0.0;
    if (words.size() > 1 && contains(content, phrase)) score += 2.0;
    for (std::size_t w = 0; w < words.size(); ++w) {
      std::string_view word = words[w].text;
      double word_score = 0.0;
      if (in_text[w]) word_score += words[w].text_bonus;
      for (const std::string& kw : keywords) {
        if (contains(kw, word) || contains(word, kw)) {
          word_score += 0.6;
          break;
        }
      }
      if (contains(topic, word)) word_score += 0.4;
      for (const std::string& person : persons) {
        if (contains(person, word)) {
          word_score += 0.5;
          break;
        }
      }
      score += word_score;
    }
    double match_ratio = static_cast<double>(matched) / static_cast<double>(words.size());
    score *= 0.5 + match_ratio;
    score *= fields.importance_factor;
    if (score > 0.3) ranked.push_back({round_places(score, 3), i});
  }
  keep_top(ranked, top_k);
  return ranked;
}

Json LocalAmbrel::keyword_search(const std::string& query, const Json& memories,
                                 std::int64_t top_k) {
  const Json::array_t* list = memory_list(memories);
  if (list == nullptr) return Json::array();
  return ranked_records(*list, rank_keyword(query, *list, top_k), "keyword_score");
}

}  // namespace vantory
