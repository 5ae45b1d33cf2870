#include "common/redaction.h"

#include <gtest/gtest.h>

namespace vantory {
namespace {

TEST(Redaction, SecretsKeepAtMostTheirLastFourCharacters) {
  EXPECT_EQ(redacted("hf_abcdefghijklmnop"), "***mnop");
  EXPECT_EQ(redacted("short-key"), "***");
  EXPECT_EQ(without_secret("Bearer hf_abcdefghijklmnop rejected; hf_abcdefghijklmnop", 
                           "hf_abcdefghijklmnop"),
            "Bearer ***mnop rejected; ***mnop");
  EXPECT_EQ(without_secret("nothing here", ""), "nothing here");
  EXPECT_EQ(without_secret("keep a k", "k"), "keep a k");
}

TEST(Redaction, UrlsLoseTheirPasswordsAndKeyParameters) {
  struct Case {
    const char* url;
    const char* shown;
  } cases[] = {
      {"https://h/v1/embed", "https://h/v1/embed"},
      {"https://user:pa55word-0123456789@h:8/x?q=1", "https://user:***6789@h:8/x?q=1"},
      {"https://user@h/x", "https://user@h/x"},
      {"https://h/x?api_key=abcdefghijklmnop&model=m#top", "https://h/x?api_key=***mnop&model=m#top"},
      {"https://h/x?model=m&Access_Token=t0k&sig=zz", "https://h/x?model=m&Access_Token=***&sig=***"},
      {"https://h/x?@notuser=1", "https://h/x?@notuser=1"},
  };
  for (const Case& c : cases) EXPECT_EQ(redacted_url(c.url), c.shown) << c.url;
}

}  // namespace
}  // namespace vantory
