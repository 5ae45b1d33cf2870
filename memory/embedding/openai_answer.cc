// Reading an OpenAI-format embeddings answer: matched item by item from a parsed answer, or
// read straight from the text when it has the plain form services give.
#include "memory/embedding/internal/openai_answer.h"

#include <algorithm>
#include <map>

#include "common/error.h"
#include "common/json_number.h"
#include "common/message_text.h"

namespace vantory {

namespace {

bool is_number_list(const Json& value) {
  if (!value.is_array() || value.empty()) return false;
  for (const Json& x : value) {
    if (!x.is_number()) return false;
  }
  return true;
}

// A cursor over the plain form. Every reading step answers false where the text leaves that
// form; the caller then gives up on the whole answer.
class PlainReader {
 public:
  explicit PlainReader(std::string_view text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  bool at_end() {
    skip_space();
    return p_ == end_;
  }

  bool take(char c) {
    skip_space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // A string without escapes or control characters.
  bool string(std::string_view& out) {
    if (!take('"')) return false;
    const char* first = p_;
    while (p_ != end_ && *p_ != '"') {
      if (*p_ == '\\' || static_cast<unsigned char>(*p_) < 0x20) return false;
      ++p_;
    }
    if (p_ == end_) return false;
    out = std::string_view(first, static_cast<std::size_t>(p_ - first));
    ++p_;
    return true;
  }

  // A finite number. Integers of more than 15 digits are left to the general reader, which
  // keeps them as integers before they become floats.
  bool number(double& value) {
    skip_space();
    const char* last = read_json_double(p_, end_, value);
    if (last == nullptr) return false;
    if (std::find_if(p_, last, [](char c) { return c == '.' || c == 'e' || c == 'E'; }) ==
            last &&
        last - p_ - (*p_ == '-') > 15) {
      return false;
    }
    p_ = last;
    return true;
  }

  // An index: a plain decimal of at most nine digits.
  bool index(std::size_t& value) {
    skip_space();
    const char* first = p_;
    value = 0;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9' && p_ - first < 9) {
      value = value * 10 + static_cast<std::size_t>(*p_ - '0');
      ++p_;
    }
    if (p_ == first || (*first == '0' && p_ - first > 1)) return false;
    return p_ == end_ || (*p_ != '.' && *p_ != 'e' && *p_ != 'E' && (*p_ < '0' || *p_ > '9'));
  }

  // [number, ...], not empty, appended to `out` as floats.
  bool numbers(std::vector<float>& out) {
    if (!take('[')) return false;
    do {
      double value;
      if (!number(value)) return false;
      out.push_back(static_cast<float>(value));
    } while (take(','));
    return take(']');
  }

  // Any value of the plain form (what an answer holds besides its embeddings: "object",
  // "model", "usage"), nested at most a few levels.
  bool skip_value(int depth = 0) {
    skip_space();
    if (p_ == end_ || depth > kMaxSkippedDepth) return false;
    std::string_view text;
    double value;
    switch (*p_) {
      case '"': return string(text);
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      case '[':
        ++p_;
        if (take(']')) return true;
        do {
          if (!skip_value(depth + 1)) return false;
        } while (take(','));
        return take(']');
      case '{':
        ++p_;
        if (take('}')) return true;
        do {
          if (!string(text) || !take(':') || !skip_value(depth + 1)) return false;
        } while (take(','));
        return take('}');
      default: return number(value);
    }
  }

 private:
  static constexpr int kMaxSkippedDepth = 8;

  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  const char* p_;
  const char* end_;
};

// One item of "data": {"index": i, "embedding": [...], ...}; `position` stands for a missing
// index, as the general reader has it.
bool read_plain_item(PlainReader& reader, std::size_t position, std::size_t& index,
                     std::vector<float>& numbers) {
  if (!reader.take('{')) return false;
  bool has_index = false, has_embedding = false;
  if (!reader.take('}')) {
    do {
      std::string_view key;
      if (!reader.string(key) || !reader.take(':')) return false;
      if (key == "index") {
        if (has_index || !reader.index(index)) return false;
        has_index = true;
      } else if (key == "embedding") {
        if (has_embedding || !reader.numbers(numbers)) return false;
        has_embedding = true;
      } else if (!reader.skip_value()) {
        return false;
      }
    } while (reader.take(','));
    if (!reader.take('}')) return false;
  }
  if (!has_index) index = position;
  return has_embedding;
}

}  // namespace

OpenAiAnswer read_openai_answer(const Json& answer, std::size_t count) {
  auto data = answer.is_object() ? answer.find("data") : answer.end();
  if (!answer.is_object() || data == answer.end() || !data->is_array()) {
    throw ValueError(std::string("embedding answer without a \"data\" list: <class '") +
                     type_name(answer) + "'>");
  }
  OpenAiAnswer read;
  read.rows.assign(count, nullptr);
  auto note = [&](std::string problem) {
    if (read.first_problem.empty()) read.first_problem = std::move(problem);
  };
  std::vector<bool> claimed(count, false);
  for (std::size_t position = 0; position < data->size(); ++position) {
    const Json& item = (*data)[position];
    if (!item.is_object()) {
      note("item " + std::to_string(position) + " is not an object");
      continue;
    }
    // Servers that leave out the index answer in input order.
    std::int64_t index = static_cast<std::int64_t>(position);
    if (auto it = item.find("index"); it != item.end()) {
      if (!it->is_number_integer()) {
        note("item " + std::to_string(position) + " has an index that is not an integer");
        continue;
      }
      index = it->get<std::int64_t>();
    }
    if (index < 0 || static_cast<std::size_t>(index) >= count) {
      note("index " + std::to_string(index) + " is out of range for " + std::to_string(count) +
           " inputs");
      continue;
    }
    std::size_t i = static_cast<std::size_t>(index);
    if (claimed[i]) {
      // Two answers for one text: neither can be trusted to be its own.
      note("index " + std::to_string(i) + " is given twice");
      read.rows[i] = nullptr;
      continue;
    }
    claimed[i] = true;
    auto embedding = item.find("embedding");
    if (embedding == item.end() || !is_number_list(*embedding)) {
      note("index " + std::to_string(i) + " has no list of numbers as its embedding");
      continue;
    }
    read.rows[i] = &*embedding;
  }
  // One model gives one length: the length most items have is the model's, the others are
  // broken answers.
  std::map<std::size_t, std::size_t> lengths;
  for (const Json* row : read.rows) {
    if (row) ++lengths[row->size()];
  }
  std::size_t usual = 0, most = 0;
  for (const auto& [length, times] : lengths) {
    if (times > most) usual = length, most = times;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!read.rows[i]) {
      if (!claimed[i]) note("index " + std::to_string(i) + " is missing");
      ++read.unusable;
    } else if (read.rows[i]->size() != usual) {
      note("index " + std::to_string(i) + " has " + std::to_string(read.rows[i]->size()) +
           " numbers where the others have " + std::to_string(usual));
      read.rows[i] = nullptr;
      ++read.unusable;
    }
  }
  return read;
}

std::optional<std::vector<std::vector<float>>> read_plain_openai_answer(std::string_view text,
                                                                        std::size_t count) {
  PlainReader reader(text);
  std::vector<std::vector<float>> rows(count);
  std::size_t length = 0;
  bool has_data = false;
  if (!reader.take('{') || reader.take('}')) return std::nullopt;
  do {
    std::string_view key;
    if (!reader.string(key) || !reader.take(':')) return std::nullopt;
    if (key != "data") {
      if (!reader.skip_value()) return std::nullopt;
      continue;
    }
    if (has_data || !reader.take('[')) return std::nullopt;
    has_data = true;
    std::size_t items = 0;
    if (!reader.take(']')) {
      std::vector<float> numbers;
      do {
        std::size_t index = 0;
        numbers.clear();
        numbers.reserve(length);
        if (items == count || !read_plain_item(reader, items, index, numbers) ||
            index >= count || !rows[index].empty() || (length && numbers.size() != length)) {
          return std::nullopt;
        }
        length = numbers.size();
        rows[index] = std::move(numbers);
        ++items;
      } while (reader.take(','));
      if (!reader.take(']')) return std::nullopt;
    }
    if (items != count) return std::nullopt;
  } while (reader.take(','));
  if (!reader.take('}') || !reader.at_end() || !has_data) return std::nullopt;
  return rows;
}

}  // namespace vantory
