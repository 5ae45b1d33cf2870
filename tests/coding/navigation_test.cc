#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::Return;
using testing::TarnelWithFakes;

TEST(NavigationTest, ListDirectoryShapesTheDirectoryView) {
  struct Case {
    std::string path;
    Json nodes;
    std::string answer;
  };
  const Case cases[] = {
      {"", Json::parse(R"([{"name": "src"}])"),
       R"({"status": "ok", "path": "/", "items": [{"name": "src"}], "count": 1})"},
      {"src", Json::parse(R"(["a.py", "b.py"])"),
       R"({"status": "ok", "path": "src", "items": ["a.py", "b.py"], "count": 2})"},
      {"src//lib/", Json::array(),
       R"({"status": "ok", "path": "src//lib/", "items": [], "count": 0})"},
      {"x", Json::parse(R"({"k": 1, "l": 2})"),
       R"({"status": "ok", "path": "x", "items": {"k": 1, "l": 2}, "count": 2})"},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->filesystem, list_dir("agent", c.path)).WillOnce(Return(c.nodes));
    EXPECT_EQ(dump_json(t.tarnel.list_directory("agent", c.path)), c.answer);
  }
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->filesystem, list_dir("agent", "")).WillOnce(Return(Json(3)));
  EXPECT_THROW(t.tarnel.list_directory("agent"), TypeError);
}

TEST(NavigationTest, RemoveAndListPassThroughTheStore) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, delete_code_mem("a", "./src//x.py"))
      .Times(2)
      .WillRepeatedly(Return(true));
  EXPECT_CALL(*t.mocks->store, delete_code_mem("a", "missing.py"))
      .Times(2)
      .WillRepeatedly(Return(false));
  EXPECT_TRUE(t.tarnel.remove_index("a", "./src//x.py"));
  EXPECT_TRUE(t.tarnel.delete_mem("a", "./src//x.py"));
  EXPECT_FALSE(t.tarnel.remove_index("a", "missing.py"));
  EXPECT_FALSE(t.tarnel.delete_mem("a", "missing.py"));

  const Json page = Json::parse(R"({"total": 3, "files": ["c", "a"], "offset": -1})");
  EXPECT_CALL(*t.mocks->store, list_code_mems("a", 50, 0)).Times(2).WillRepeatedly(Return(page));
  EXPECT_CALL(*t.mocks->store, list_code_mems("a", 1000000, -1)).WillOnce(Return(page));
  EXPECT_EQ(dump_json(t.tarnel.list_mems("a")), dump_json(page));
  EXPECT_EQ(dump_json(t.tarnel.list_indexed_files("a")), dump_json(page));
  EXPECT_EQ(dump_json(t.tarnel.list_indexed_files("a", 1000000, -1)), dump_json(page));

  EXPECT_CALL(*t.mocks->store, list_code_mems("a", 1, 0))
      .WillOnce(Return(Json::array()))
      .WillOnce(Return(Json()));
  EXPECT_THROW(t.tarnel.list_mems("a", 1), TypeError);
  EXPECT_TRUE(t.tarnel.list_mems("a", 1).is_null());
}

}  // namespace
}  // namespace vantory
