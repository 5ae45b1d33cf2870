// Ranking memory entries by the lexical overlap of their text, keywords, topic and persons
// with a query.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>

#include "common/error.h"
#include "common/rounding.h"
#include "common/unicode.h"
#include "memory/ambrel/internal/memory_entry.h"
#include "memory/ambrel/internal/substring_finder.h"
#include "memory/ambrel/internal/word_set_finder.h"
#include "memory/ambrel/local_ambrel.h"

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

// Up to this many distinct query words, each is searched for on its own (fast for the short
// queries people type); beyond, all of them in one pass over each text.
constexpr std::size_t kFewWords = 8;

// The distinct words of a query, and which of them occur in a text.
class QueryWords {
 public:
  explicit QueryWords(std::vector<std::string_view> distinct) : words_(std::move(distinct)) {
    if (words_.size() > kFewWords) {
      set_finder_.emplace(words_);
    } else {
      for (std::string_view word : words_) finders_.emplace_back(word);
    }
  }

  std::size_t size() const { return words_.size(); }
  std::string_view operator[](std::size_t i) const { return words_[i]; }

  // Sets found[i] for every word that occurs in `text` (the others are left as they are).
  void mark_occurring(std::string_view text, std::vector<char>& found) const {
    if (set_finder_) {
      set_finder_->for_each_occurring(text, [&](std::size_t i) { found[i] = 1; });
      return;
    }
    for (std::size_t i = 0; i < finders_.size(); ++i) {
      if (!found[i] && finders_[i].occurs_in(text)) found[i] = 1;
    }
  }

  // Sets found[i] for every word that holds one of `parts` (none of them empty).
  void mark_holding(std::span<const std::string> parts, std::vector<char>& found) const {
    if (parts.empty()) return;
    if (!set_finder_) {
      for (std::size_t i = 0; i < words_.size(); ++i) {
        for (const std::string& part : parts) {
          if (words_[i].find(part) != std::string_view::npos) {
            found[i] = 1;
            break;
          }
        }
      }
      return;
    }
    std::vector<std::string_view> views(parts.begin(), parts.end());
    WordSetFinder part_finder(views);
    for (std::size_t i = 0; i < words_.size(); ++i) {
      if (found[i]) continue;
      part_finder.for_each_occurring(words_[i], [&](std::size_t) { found[i] = 1; });
    }
  }

 private:
  std::vector<std::string_view> words_;
  std::vector<SubstringFinder> finders_;
  std::optional<WordSetFinder> set_finder_;
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
  if (query.size() > kMaxKeywordQueryBytes) {
    throw ValueError("the query is " + std::to_string(query.size()) +
                     " bytes long; keyword search takes queries of at most " +
                     std::to_string(kMaxKeywordQueryBytes) + " bytes");
  }
  const std::string query_lower = to_lower(query);
  const std::vector<std::string_view> all_words = split_whitespace(query_lower);
  // The query words in order, repeats included (each counts again), as indexes of distinct
  // words, with what a match in the text adds: 0.3 + 0.05 per code point.
  std::vector<std::size_t> word_index;
  std::vector<std::string_view> distinct;
  std::vector<double> text_bonus;
  std::unordered_map<std::string_view, std::size_t> index_of;
  for (bool skip_stopwords : {true, false}) {
    for (std::string_view word : all_words) {
      std::size_t length = code_point_count(word);
      if (length <= 2 || (skip_stopwords && STOPWORDS.count(word))) continue;
      auto [it, added] = index_of.try_emplace(word, distinct.size());
      if (added) {
        distinct.push_back(word);
        text_bonus.push_back(0.3 + 0.05 * static_cast<double>(length));
      }
      word_index.push_back(it->second);
    }
    if (!word_index.empty()) break;
  }
  if (word_index.empty()) return {};
  std::string phrase;
  for (std::size_t d : word_index) {
    if (!phrase.empty()) phrase.push_back(' ');
    phrase.append(distinct[d]);
  }
  // Boyer-Moore finds the first occurrence in time linear in both lengths.
  const std::boyer_moore_searcher phrase_searcher(phrase.begin(), phrase.end());
  auto holds_phrase = [&](const std::string& text) {
    return std::search(text.begin(), text.end(), phrase_searcher) != text.end();
  };
  const QueryWords words(std::move(distinct));

  std::vector<RankedEntry> ranked;
  std::vector<char> in_text, in_keyword, in_topic, in_person;
  std::string content, topic;
  std::vector<std::string> keyword_buffer, person_buffer;
  for (std::size_t i = 0; i < memories.size(); ++i) {
    EntryFields fields = read_fields(memories[i], i);
    assign_lower(content, fields.text);
    in_text.assign(words.size(), 0);
    words.mark_occurring(content, in_text);
    std::size_t matched = 0;
    for (std::size_t d : word_index) matched += in_text[d] != 0;
    // Only an entry whose text holds a query word can be ranked: the rest is left unscored.
    if (matched == 0) continue;
    // Lowered first: filling a buffer may move its storage, so data() is read after.
    const std::size_t keyword_count = assign_lowered(keyword_buffer, fields.keywords);
    const std::size_t person_count = assign_lowered(person_buffer, fields.persons);
    std::span<const std::string> keywords(keyword_buffer.data(), keyword_count);
    std::span<const std::string> persons(person_buffer.data(), person_count);
    assign_lower(topic, fields.topic);

    // A keyword matches a word that it holds or that holds it; the empty keyword is held by
    // every word.
    in_keyword.assign(words.size(), 0);
    bool empty_keyword = false;
    for (const std::string& kw : keywords) {
      if (kw.empty()) empty_keyword = true;
      words.mark_occurring(kw, in_keyword);
    }
    if (empty_keyword) {
      in_keyword.assign(words.size(), 1);
    } else {
      words.mark_holding(keywords, in_keyword);
    }
    in_topic.assign(words.size(), 0);
    words.mark_occurring(topic, in_topic);
    in_person.assign(words.size(), 0);
    for (const std::string& person : persons) words.mark_occurring(person, in_person);

    double score = 0.0;
    if (word_index.size() > 1 && holds_phrase(content)) score += 2.0;
    for (std::size_t d : word_index) {
      double word_score = 0.0;
      if (in_text[d]) word_score += text_bonus[d];
      if (in_keyword[d]) word_score += 0.6;
      if (in_topic[d]) word_score += 0.4;
      if (in_person[d]) word_score += 0.5;
      score += word_score;
    }
    double match_ratio = static_cast<double>(matched) / static_cast<double>(word_index.size());
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
