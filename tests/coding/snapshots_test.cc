#include <gtest/gtest.h>

#include "common/json_text.h"
#include "tests/coding/test_support.h"

namespace vantory {
namespace {

using ::testing::Return;
using namespace vantory::testing;

TEST(SnapshotsTest, CreationFailsOnAnyFalseIdentifier) {
  const std::string failed =
      error_text("Snapshot failed. Is .vantory initialized? (Requires vantory DAG backend)");
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->filesystem, commit_snapshot("a", "Snapshot"))
      .WillOnce(Return("3f2a"))
      .WillOnce(Return(""))
      .WillOnce(Return(Json()))
      .WillOnce(Return(false));
  EXPECT_CALL(*t.mocks->filesystem, commit_snapshot("a", "before")).WillOnce(Return("9c"));
  EXPECT_EQ(dump_json(t.tarnel.create_snapshot("a")),
            R"({"status": "ok", "sha": "3f2a", "message": "Snapshot"})");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(dump_json(t.tarnel.create_snapshot("a")), failed);
  EXPECT_EQ(dump_json(t.tarnel.create_snapshot("a", "before")),
            R"({"status": "ok", "sha": "9c", "message": "before"})");
}

TEST(SnapshotsTest, ComparisonFailsOnlyOnNull) {
  TarnelWithFakes t;
  EXPECT_CALL(*t.mocks->filesystem, get_diff("a", "b2", "a1"))
      .WillOnce(Return(Json::object()))
      .WillOnce(Return(""))
      .WillOnce(Return(Json::parse(R"({"added": ["x.py"]})")))
      .WillOnce(Return(Json()));
  for (const char* diff : {"{}", R"("")", R"({"added": ["x.py"]})"}) {
    EXPECT_EQ(dump_json(t.tarnel.compare_snapshots("a", "b2", "a1")),
              std::string(R"({"status": "ok", "sha_a": "b2", "sha_b": "a1", "diff": )") + diff +
                  "}");
  }
  EXPECT_EQ(dump_json(t.tarnel.compare_snapshots("a", "b2", "a1")),
            error_text("Could not compare snapshots b2 vs a1. Check SHAs or .vantory "
                       "availability."));
}

}  // namespace
}  // namespace vantory
