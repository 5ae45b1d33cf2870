#include "common/json_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "common/error.h"
#include "common/files.h"
#include "common/json_number.h"

namespace vantory {
namespace {

TEST(JsonWrite, DoublesAsPythonRepr) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {1.0, "1.0"},
      {0.6f, "0.6000000238418579"},
      {0.1f, "0.10000000149011612"},
      {1e-4, "0.0001"},
      {1e-5, "1e-05"},
      {1.5e-7, "1.5e-07"},
      {1e16, "1e+16"},
      {9999999999999998.0, "9999999999999998.0"},
      {123456789012345.6, "123456789012345.6"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {-2.5, "-2.5"},
      {1e22, "1e+22"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
      {100.0, "100.0"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "Infinity"},
      {-std::numeric_limits<double>::infinity(), "-Infinity"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_double(c.value), c.text) << c.text;
}

TEST(JsonWrite, CompactPythonLayoutAndEscapes) {
  Json v = Json::parse(R"({"b": [1, 2.5, true, null], "a": {"x": "y"}, "e": [], "o": {}})");
  EXPECT_EQ(dump_json(v), R"({"b": [1, 2.5, true, null], "a": {"x": "y"}, "e": [], "o": {}})");
  EXPECT_EQ(dump_json(Json("a\"b\\c\n\r\t\b\f\x01\x7f")),
            R"("a\"b\\c\n\r\t\b\f\u0001\u007f")");
  EXPECT_EQ(dump_json(Json("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80")),
            R"("\u00e9\u20ac\ud83d\ude00")");
  EXPECT_EQ(dump_json(Json(std::string("bad\xff", 4))), R"("bad\ufffd")");
  EXPECT_EQ(dump_json(Json(-7)), "-7");
  EXPECT_EQ(dump_json(Json(18446744073709551615ull)), "18446744073709551615");
  const float vec[] = {0.6f, 0.8f, 0.0f};
  std::string out;
  append_json_float_array(out, vec, 3);
  EXPECT_EQ(out, "[0.6000000238418579, 0.800000011920929, 0.0]");
}

TEST(JsonRead, ValuesNonFiniteAndRoundTrip) {
  Json v = parse_json(R"( {"a": [NaN, Infinity, -Infinity, 1e400, -1e-400, 0.1, 12, -3]} )");
  const Json& a = v["a"];
  EXPECT_TRUE(std::isnan(a[0].get<double>()));
  EXPECT_EQ(a[1].get<double>(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[2].get<double>(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[3].get<double>(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[4].get<double>(), 0.0);
  EXPECT_TRUE(std::signbit(a[4].get<double>()));
  EXPECT_EQ(a[5].get<double>(), 0.1);
  EXPECT_TRUE(a[6].is_number_integer());
  EXPECT_EQ(a[7].get<int>(), -3);
  // Correct rounding at the halfway point between two doubles.
  EXPECT_EQ(parse_json("9007199254740993.0").get<double>(), 9007199254740992.0);
  EXPECT_EQ(parse_json("2.2250738585072011e-308").get<double>(), 2.225073858507201e-308);

  const char* texts[] = {R"({"k": "\u00e9\ud83d\ude00", "z": [1, [2, {}]], "n": null})",
                         R"("\ud800")", "[]", "{}", "-0.0", "1e-05"};
  for (const char* t : texts) EXPECT_EQ(dump_json(parse_json(t)), t);
}

TEST(JsonRead, DuplicateKeysKeepFirstPositionLastValue) {
  std::string text = "{";
  for (int i = 0; i < 40; ++i) text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  text += "\"k3\": 99, \"k30\": 98}";
  Json v = parse_json(text);
  EXPECT_EQ(v.size(), 40u);
  EXPECT_EQ(v["k3"], 99);
  EXPECT_EQ(v["k30"], 98);
  EXPECT_EQ(v.begin().key(), "k0");
  EXPECT_EQ(parse_json(R"({"a": 1, "b": 2, "a": 3})").dump(), R"({"a":3,"b":2})");
}

TEST(JsonRead, RejectsMalformedText) {
  const char* bad[] = {"",         "[1,]",      "{\"a\" 1}",  "[1 2]",   "{'a': 1}",  "nul",
                       "[1] x",    "\"abc",     "\"a\x01\"",  "\"\\x\"", "01",       "1.",
                       "\"\xff\"", "\xef\xbb\xbf{}", "{\"a\":}", "-",      "[-Inf]",   "nan"};
  for (const char* t : bad) EXPECT_THROW(parse_json(t), ValueError) << t;
  try {
    parse_json("[1,\n  x]");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "Expecting value: line 2 column 3 (char 6)");
  }
  // Deep nesting is refused, not a stack overflow.
  std::string deep(100000, '[');
  EXPECT_THROW(parse_json(deep), ValueError);
  std::string ok(500, '[');
  ok += std::string(500, ']');
  EXPECT_NO_THROW(parse_json(ok));
}

TEST(JsonRead, NumberArrayObject) {
  std::vector<std::pair<std::string, std::vector<double>>> got;
  auto collect = [&](std::string&& key, std::vector<double>& values) {
    got.emplace_back(std::move(key), values);
  };
  parse_number_array_object(R"({"a": [1, 0.5, true, NaN], "b": [], "c": [-Infinity]})", collect);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].first, "a");
  EXPECT_EQ(got[0].second.size(), 4u);
  EXPECT_EQ(got[0].second[2], 1.0);
  EXPECT_TRUE(std::isnan(got[0].second[3]));
  EXPECT_TRUE(got[1].second.empty());

  EXPECT_THROW(parse_number_array_object("[]", collect), TypeError);
  EXPECT_THROW(parse_number_array_object(R"({"a": "x"})", collect), TypeError);
  EXPECT_THROW(parse_number_array_object(R"({"a": [1, "2"]})", collect), TypeError);
  EXPECT_THROW(parse_number_array_object(R"({"a": [[1]]})", collect), TypeError);
  EXPECT_THROW(parse_number_array_object(R"({"a": [1, 2)", collect), ValueError);
  EXPECT_THROW(parse_number_array_object(R"({"a": [1]} x)", collect), ValueError);
  EXPECT_THROW(parse_number_array_object("not json", collect), ValueError);
}

TEST(JsonRead, FastNumbersMatchFromChars) {
  const char* texts[] = {"0",      "-0.0",   "0.6000000238418579", "1e-05", "-1.5E+300",
                         "12345678901234567", "1234567890123456789", "9007199254740993",
                         "0.000123456789012345678", "4.9406564584124654e-324", "1e-64"};
  for (const char* text : texts) {
    std::string_view t(text);
    double fast = 0, exact = 0;
    const char* end = read_json_double(t.data(), t.data() + t.size(), fast);
    std::from_chars(t.data(), t.data() + t.size(), exact);
    if (end != nullptr) {
      EXPECT_EQ(fast, exact) << text;  // nullptr: left to the general reader
    }
  }
  double zero = 1;
  ASSERT_NE(read_json_double("-0", "-0" + 2, zero), nullptr);
  EXPECT_FALSE(std::signbit(zero));  // the integer -0 is plain zero
  for (const char* bad : {"-", ".5", "x", "+1"}) {
    EXPECT_EQ(read_json_double(bad, bad + std::strlen(bad), zero), nullptr) << bad;
  }
}

// The file form reads in pieces; every member, every value and every message must be what the
// whole-text form gives, wherever the pieces happen to end.
TEST(JsonRead, NumberArrayFileReadsLikeTheWholeText) {
  char dir_template[] = "/tmp/vantory-json-XXXXXX";
  std::string dir = mkdtemp(dir_template);
  std::string text = "{";
  for (int i = 0; i < 1000; ++i) {
    if (i) text += i % 7 ? ", " : ",\n ";
    append_json_string(text, "k\u00e9y" + std::to_string(i));  // two-byte characters
    text += ": [";
    for (int j = 0; j < 300; ++j) text += (j ? ", " : "") + format_double((i * 300 + j) * 0.001);
    text += "]";
  }
  text += ", \"long\": [" + std::string(3 << 20, '1') + "]}";  // one member beyond a piece

  using Members = std::vector<std::pair<std::string, std::vector<double>>>;
  auto outcome = [&](const std::function<void(const std::function<void(std::string&&,
                                                                          std::vector<double>&)>&)>&
                         parse) {
    Members members;
    std::string error;
    try {
      parse([&](std::string&& key, std::vector<double>& values) {
        members.emplace_back(std::move(key), values);
      });
    } catch (const Error& e) {
      error = std::string(e.kind()) + ": " + e.what();
    }
    return std::make_pair(members, error);
  };
  std::size_t late = text.size() - (3 << 20) - 100;  // past the first piece
  std::size_t number = text.find(", ", late) + 2;
  std::vector<std::string> variants = {
      text,
      text.substr(0, late),                                          // truncated
      text.substr(0, number) + "x" + text.substr(number + 1),        // junk instead of a number
      text.substr(0, number) + "\"s\", " + text.substr(number),      // a string among numbers
      text + " extra",
      "  [1, 2]",
      "",
  };
  for (const std::string& variant : variants) {
    write_file_atomic(dir + "/f.json", variant);
    auto whole = outcome([&](const auto& on) { parse_number_array_object(variant, on); });
    auto pieces = outcome([&](const auto& on) { parse_number_array_file(dir + "/f.json", on); });
    EXPECT_EQ(pieces.second, whole.second);
    EXPECT_EQ(pieces.first.size(), whole.first.size()) << whole.second;
    EXPECT_TRUE(pieces.first == whole.first) << whole.second;
  }
  // Small pieces end inside every token of small texts.
  for (const std::string& small : {std::string("{\"k\u00e9\": [1.5e-07, -0.0, Infinity], \"b\": []}"),
                                   std::string("{\"a\": [1, 2], \"a\": [true, -Infinity]}"),
                                   std::string("{\"a\": [12345678901234567890123, 1e400]}"),
                                   std::string(" {\"a\": [1, 2x]}"), std::string("{\"a\": [1]")}) {
    write_file_atomic(dir + "/f.json", small);
    auto whole = outcome([&](const auto& on) { parse_number_array_object(small, on); });
    for (std::size_t piece = 1; piece <= 8; ++piece) {
      auto pieces = outcome(
          [&](const auto& on) { parse_number_array_file(dir + "/f.json", on, piece); });
      EXPECT_EQ(pieces.second, whole.second) << small << " in pieces of " << piece;
      EXPECT_TRUE(pieces.first == whole.first) << small << " in pieces of " << piece;
    }
  }
  EXPECT_THROW(parse_number_array_file(dir + "/missing.json", [](auto&&, auto&) {}), OSError);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vantory
