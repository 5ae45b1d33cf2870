#include "coding/internal/pattern.h"

#include <gtest/gtest.h>

#include <string>

#include "common/error.h"

namespace vantory {
namespace {

TEST(Pattern, EscapedTextMatchesItselfLiterally) {
  std::string every_ascii;
  for (int c = 0; c < 128; ++c) every_ascii.push_back(static_cast<char>(c));
  for (const std::string& text :
       {every_ascii, std::string("a.b*c"), std::string("\\E\\Q(x)"), std::string("größe[1]")}) {
    Pattern literal(Pattern::escape(text));
    std::string subject = "<" + text + ">";
    auto match = literal.search(subject);
    ASSERT_TRUE(match.has_value()) << text;
    EXPECT_EQ(match->start, 1u);
    EXPECT_EQ(match->end, 1 + text.size());
  }
  EXPECT_FALSE(Pattern(Pattern::escape("a.b")).search("axb").has_value());
}

TEST(Pattern, ClassesAreUnicodeAndBadBytesDoNotFail) {
  Pattern word(R"(\b(\w+)\b)");
  auto all = word.find_all("größe + ٣x,\xff z");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].groups[0], "größe");
  EXPECT_EQ(all[1].groups[0], "٣x");
  EXPECT_EQ(all[2].groups[0], "z");
  Pattern space(R"(\s)");
  EXPECT_TRUE(space.matches_at("a\u3000b", 1));
  EXPECT_FALSE(space.matches_at("a b", 0));
  EXPECT_FALSE(space.matches_at("a", 1));
  EXPECT_THROW(Pattern("(unclosed"), ValueError);
  // Empty matches advance by whole characters and end at the end of the subject.
  EXPECT_EQ(Pattern("x*").find_all("äx").size(), 3u);
}

}  // namespace
}  // namespace vantory
