// Ranking memory entries by the lexical overlap of their text, keywords, topic and persons
// with a query.
#include <cstdint>
#include <limits>
#include <span>

#include "common/rounding.h"
#include "common/unicode.h"
#include "memory/ambrel/local_ambrel.h"
#include "memory/ambrel/memory_entry.h"
#include "memory/ambrel/substring_finder.h"

namespace vantory {

// clang-format off
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
// clang-format on

namespace {

struct QueryWord {
  QueryWord(std::string_view word, std::size_t code_points)
      : text(word), text_bonus(0.3 + 0.05 * static_cast<double>(code_points)), finder(word) {}

  bool occurs_in(std::string_view haystack) const { return finder.occurs_in(haystack); }

  std::string_view text;
  // What a match in the entry's text adds: 0.3 + 0.05 per code point.
  double text_bonus;
  SubstringFinder finder;
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
  // One pass over the members, told apart by length first: entries have many members and
  // this runs for each of them.
  for (const auto& [name, value] : mem.get_ref<const Json::object_t&>()) {
    std::string_view key = name;
    switch (key.size()) {
      case 20:
        if (key == "lossless_restatement") lossless = &value;
        break;
      case 7:
        if (key == "content") {
          content = &value;
        } else if (key == "persons") {
          persons = &value;
        }
        break;
      case 8:
        if (key == "keywords") keywords = &value;
        break;
      case 5:
        if (key == "topic") topic = &value;
        break;
      case 10:
        if (key == "importance") importance = &value;
        break;
      default: break;
    }
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

// Lower-cases each string of `items` into `out`, whose strings keep their storage from one
// entry to the next; answers how many there are.
std::size_t assign_lowered(std::vector<std::string>& out, const Json::array_t* items) {
  if (items == nullptr) return 0;
  if (out.size() < items->size()) out.resize(items->size());
  for (std::size_t i = 0; i < items->size(); ++i) {
    assign_lower(out[i], (*items)[i].get_ref<const std::string&>());
  }
  return items->size();
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
      words.emplace_back(word, length);
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
  std::string content, topic;
  std::vector<std::string> keyword_buffer, person_buffer;
  for (std::size_t i = 0; i < memories.size(); ++i) {
    EntryFields fields = read_fields(memories[i], i);
    assign_lower(content, fields.text);
    std::size_t matched = 0;
    for (std::size_t w = 0; w < words.size(); ++w) {
      in_text[w] = words[w].occurs_in(content);
      matched += in_text[w];
    }
    // Only an entry whose text holds a query word can be ranked: the rest is left unscored.
    if (matched == 0) continue;
    // Lowered first: filling a buffer may move its storage, so data() is read after.
    const std::size_t keyword_count = assign_lowered(keyword_buffer, fields.keywords);
    const std::size_t person_count = assign_lowered(person_buffer, fields.persons);
    std::span<const std::string> keywords(keyword_buffer.data(), keyword_count);
    std::span<const std::string> persons(person_buffer.data(), person_count);
    assign_lower(topic, fields.topic);

    double score = 0.0;
    if (words.size() > 1 && contains(content, phrase)) score += 2.0;
    for (std::size_t w = 0; w < words.size(); ++w) {
      const QueryWord& query_word = words[w];
      std::string_view word = query_word.text;
      double word_score = 0.0;
      if (in_text[w]) word_score += query_word.text_bonus;
      for (const std::string& kw : keywords) {
        if (query_word.occurs_in(kw) || contains(word, kw)) {
          word_score += 0.6;
          break;
        }
      }
      if (query_word.occurs_in(topic)) word_score += 0.4;
      for (const std::string& person : persons) {
        if (query_word.occurs_in(person)) {
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
