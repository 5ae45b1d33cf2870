#include "common/json_object_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/error.h"
#include "common/json_text.h"

namespace vantory {
namespace {

TEST(JsonObjectWriter, WritesMembersInOrderAndReplacesOnlyOnCommit) {
  char tmpl[] = "/tmp/vantory-writer-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::string path = dir + "/object.json";
  {
    JsonObjectWriter empty(path);
    empty.commit();
  }
  EXPECT_EQ(read_file(path), "{}");
  {
    JsonObjectWriter abandoned(path);
    abandoned.member("x").append("1");
  }
  EXPECT_EQ(read_file(path), "{}");
  // Enough members to be handed on in several pieces.
  JsonObjectWriter writer(path);
  std::string expected = "{";
  for (int i = 0; i < 40000; ++i) {
    std::string key = i == 7 ? "\xC3\xA9\"" : "key " + std::to_string(i);
    writer.member(key).append("[0.5, " + std::to_string(i) + "]");
    expected += (i ? ", " : "") + dump_json(Json(key)) + ": [0.5, " + std::to_string(i) + "]";
  }
  writer.commit();
  EXPECT_EQ(read_file(path), expected + "}");
  EXPECT_THROW(JsonObjectWriter(dir + "/missing/object.json"), OSError);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vantory
