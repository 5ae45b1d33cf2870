#include <gtest/gtest.h>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::Return;
using testing::TarnelWithFakes;

TEST(NavigationTest, ListDirectoryShapesTheDirectoryView) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"({"status": "ok", "path": "/", "items": [{"name": "a.py"}, "b"], "count": 2})"},
      {"src//lib/", R"({"status": "ok", "path": "src//lib/", "items": [], "count": 0})"},
  };
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->filesystem, list_dir("agent", ""))
      .WillOnce(Return(Json::parse(R"([{"name": "a.py"}, "b"])")))
      .WillOnce(Return(Json(3)));
  EXPECT_CALL(*t.mocks->filesystem, list_dir("agent", "src//lib/")).WillOnce(Return(Json::array()));
  for (const auto& [path, answer] : cases) {
    EXPECT_EQ(dump_json(t.tarnel.list_directory("agent", path)), answer);
  }
  EXPECT_THROW(t.tarnel.list_directory("agent"), TypeError);  // a count needs a length
}

TEST(NavigationTest, RemoveAndListPassThroughTheStore) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->store, delete_code_mem("a", "./src//x.py"))
      .WillOnce(Return(true))
      .WillOnce(Return(false));
  EXPECT_TRUE(t.tarnel.remove_index("a", "./src//x.py"));
  EXPECT_FALSE(t.tarnel.delete_mem("a", "./src//x.py"));

  const Json page = Json::parse(R"({"total": 3, "files": ["c", "a"]})");
  EXPECT_CALL(*t.mocks->store, list_code_mems("a", 50, 0)).WillOnce(Return(page));
  EXPECT_CALL(*t.mocks->store, list_code_mems("a", 1000000, -1))
      .WillOnce(Return(page))
      .WillOnce(Return(Json()))
      .WillOnce(Return(Json::array()));
  EXPECT_EQ(dump_json(t.tarnel.list_mems("a")), dump_json(page));
  EXPECT_EQ(dump_json(t.tarnel.list_indexed_files("a", 1000000, -1)), dump_json(page));
  EXPECT_TRUE(t.tarnel.list_mems("a", 1000000, -1).is_null());
  EXPECT_THROW(t.tarnel.list_indexed_files("a", 1000000, -1), TypeError);
}

}  // namespace
}  // namespace vantory
