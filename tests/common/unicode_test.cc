#include "common/unicode.h"

#include <gtest/gtest.h>

namespace vantory {
namespace {

TEST(Unicode, LowerCaseIsFullMapping) {
  EXPECT_EQ(to_lower("Hello WORLD"), "hello world");
  EXPECT_EQ(to_lower("\xC4\xB0"), "i\xCC\x87");                   // İ -> i + combining dot
  EXPECT_EQ(to_lower("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82");  // ΟΔΟΣ -> οδος (final sigma)
  EXPECT_EQ(to_lower("\xCE\xA3\xCE\x91"), "\xCF\x83\xCE\xB1");      // ΣΑ -> σα
  EXPECT_EQ(to_lower("\xC3\x89t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");    // Été
}

TEST(Unicode, AssignLowerReplacesTheBufferContent) {
  std::string out = "a much longer text that was here before";
  for (const char* text : {"Short", "", "\xC4\xB0I", "MIXED ascii \xC3\x89t\xC3\xA9 text", "x"}) {
    assign_lower(out, text);
    EXPECT_EQ(out, to_lower(text)) << text;
  }
  assign_lower(out, "\xC4\xB0I");
  EXPECT_EQ(out, "i\xCC\x87i");
  std::string ascii, expected;
  for (int c = 1; c < 128; ++c) {
    ascii.push_back(static_cast<char>(c));
    expected.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
  }
  assign_lower(out, ascii);
  EXPECT_EQ(out, expected);
}

TEST(Unicode, WhiteSpaceAndAlphanumeric) {
  for (char32_t c : {U' ', U'\t', U'\n', U'\x0b', U'\x0c', U'\r', U'\x1c', U'\x1f', U'\x85',
                     U'\xa0', U'\u1680', U'\u2000', U'\u200a', U'\u2028', U'\u2029', U'\u202f',
                     U'\u205f', U'\u3000'}) {
    EXPECT_TRUE(is_space(c)) << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'a', U'_', U'\u200b', U'\u180e', U'\ufeff'}) EXPECT_FALSE(is_space(c));
  for (char32_t c : {U'a', U'Z', U'7', U'\u00e9', U'\u00df', U'\u0663', U'\u00b2', U'\u4e2d'}) {
    EXPECT_TRUE(is_alnum(c)) << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'-', U'_', U'.', U' ', U'/', U'\U0001F600'}) EXPECT_FALSE(is_alnum(c));
}

TEST(Unicode, SplitStripCollapse) {
  auto words = split_whitespace("  deploy\u3000the\tserver\n ");
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[0], "deploy");
  EXPECT_EQ(words[1], "the");
  EXPECT_EQ(words[2], "server");
  EXPECT_TRUE(split_whitespace(" \n ").empty());
  EXPECT_EQ(strip_whitespace("\xc2\xa0 a b \n"), "a b");
  EXPECT_EQ(strip_whitespace("   "), "");
  EXPECT_EQ(collapse_whitespace("  def f( x ):\n\t\treturn  x \n"), "def f( x ): return x");
  EXPECT_EQ(code_point_count("h\xC3\xA9\xF0\x9F\x98\x80"), 3u);
}

TEST(Unicode, LossyDecodingReplacesMaximalSubparts) {
  EXPECT_EQ(decode_utf8_lossy("ok \xC3\xA9"), "ok \xC3\xA9");
  EXPECT_EQ(decode_utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  // A truncated three-byte sequence is one replacement; the byte after it is kept.
  EXPECT_EQ(decode_utf8_lossy("\xE2\x82" "A"), "\xEF\xBF\xBD" "A");
  // Surrogates and overlong forms are invalid byte by byte.
  EXPECT_EQ(decode_utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(decode_utf8_lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));
  EXPECT_EQ(translate_newlines("a\r\nb\rc\n\r\n"), "a\nb\nc\n\n");
}

TEST(Unicode, DecodeErrorsReadLikePythons) {
  struct Case {
    const char* bytes;
    const char* error;
  } cases[] = {
      {"plain \xC3\xA9 \xEF\xBF\xBD", ""},
      {"\xFF", "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"},
      {"ab\x80", "'utf-8' codec can't decode byte 0x80 in position 2: invalid start byte"},
      {"\xC3(", "'utf-8' codec can't decode byte 0xc3 in position 0: invalid continuation byte"},
      {"\xE2\x82(", "'utf-8' codec can't decode bytes in position 0-1: invalid continuation byte"},
      {"x\xE2\x82", "'utf-8' codec can't decode bytes in position 1-2: unexpected end of data"},
      {"\xE2", "'utf-8' codec can't decode byte 0xe2 in position 0: unexpected end of data"},
      {"\xED\xA0\x80", "'utf-8' codec can't decode byte 0xed in position 0: invalid continuation byte"},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_decode_error(c.bytes), c.error) << c.bytes;
}

// The scans skip runs of ASCII a block at a time: a bad byte, a CR or a blank is found wherever
// it lies in the block, and wherever the text ends.
TEST(Unicode, ScansFindEveryByteWhereverItLies) {
  for (std::size_t at = 0; at < 20; ++at) {
    std::string text(20, 'a');
    text[at] = '\xFF';
    EXPECT_EQ(utf8_decode_error(text), "'utf-8' codec can't decode byte 0xff in position " +
                                           std::to_string(at) + ": invalid start byte");
    EXPECT_TRUE(is_valid_utf8(text.substr(0, at)));
    text[at] = '\r';
    std::string lines(20, 'a');
    lines[at] = '\n';
    EXPECT_EQ(translate_newlines(text), lines);
    text[at] = '\t';
    EXPECT_EQ(collapse_whitespace(text),
              std::string(at, 'a') + (at == 0 || at == 19 ? "" : " ") + std::string(19 - at, 'a'));
  }
}

}  // namespace
}  // namespace vantory
