#include <gtest/gtest.h>

#include "common/json_text.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using ::testing::Return;
using testing::TarnelWithFakes;

const char* const kSnapshotFailed =
    R"({"status": "error", "message": "Snapshot failed. Is .vantory initialized? )"
    R"j((Requires vantory DAG backend)"})j";

TEST(SnapshotsTest, CreationFailsOnAnyFalseIdentifier) {
  struct Case {
    std::string message;
    Json sha;
    std::string answer;
  };
  const Case cases[] = {
      {"Snapshot", "3f2a", R"({"status": "ok", "sha": "3f2a", "message": "Snapshot"})"},
      {"before refactor", "9c", R"({"status": "ok", "sha": "9c", "message": "before refactor"})"},
      {"Snapshot", "", kSnapshotFailed},
      {"Snapshot", nullptr, kSnapshotFailed},
      {"Snapshot", false, kSnapshotFailed},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->filesystem, commit_snapshot("a", c.message)).WillOnce(Return(c.sha));
    Json answer = c.message == "Snapshot" ? t.tarnel.create_snapshot("a")
                                          : t.tarnel.create_snapshot("a", c.message);
    EXPECT_EQ(dump_json(answer), c.answer);
  }
}

TEST(SnapshotsTest, ComparisonFailsOnlyOnNull) {
  struct Case {
    Json diff;
    std::string answer;
  };
  const Case cases[] = {
      {Json::object(), R"({"status": "ok", "sha_a": "b2", "sha_b": "a1", "diff": {}})"},
      {Json::array(), R"({"status": "ok", "sha_a": "b2", "sha_b": "a1", "diff": []})"},
      {"", R"({"status": "ok", "sha_a": "b2", "sha_b": "a1", "diff": ""})"},
      {Json::parse(R"({"added": ["x.py"]})"),
       R"({"status": "ok", "sha_a": "b2", "sha_b": "a1", "diff": {"added": ["x.py"]}})"},
      {nullptr,
       R"({"status": "error", "message": "Could not compare snapshots b2 vs a1. )"
       R"(Check SHAs or .vantory availability."})"},
  };
  for (const Case& c : cases) {
    TarnelWithFakes t;
    EXPECT_CALL(*t.mocks->filesystem, get_diff("a", "b2", "a1")).WillOnce(Return(c.diff));
    EXPECT_EQ(dump_json(t.tarnel.compare_snapshots("a", "b2", "a1")), c.answer);
  }
}

}  // namespace
}  // namespace vantory
