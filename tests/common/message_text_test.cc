#include "common/message_text.h"

#include <gtest/gtest.h>

namespace vantory {
namespace {

TEST(MessageText, PythonStrAndRepr) {
  EXPECT_EQ(value_text(Json("abc")), "abc");
  EXPECT_EQ(value_text(Json(42)), "42");
  EXPECT_EQ(value_text(Json(nullptr)), "None");
  EXPECT_EQ(value_text(Json(true)), "True");
  EXPECT_EQ(value_text(Json(2.0)), "2.0");
  EXPECT_EQ(value_text(Json::parse(R"([1, "a", null, {"k": false}])")),
            "[1, 'a', None, {'k': False}]");
  EXPECT_EQ(value_repr(Json("it's")), "\"it's\"");
  EXPECT_EQ(value_repr(Json("a\nb\\")), "'a\\nb\\\\'");
  EXPECT_EQ(value_repr(Json("\x01\xC3\xA9")), "'\\x01\xC3\xA9'");
  EXPECT_STREQ(type_name(Json::array()), "list");
  EXPECT_STREQ(type_name(Json(1.5)), "float");
  EXPECT_STREQ(type_name(Json(nullptr)), "NoneType");
}

}  // namespace
}  // namespace vantory
