#include <gtest/gtest.h>

#include "common/json_text.h"
#include "tests/coding/fakes.h"

namespace vantory {
namespace {

using testing::FakeProvider;
using testing::TarnelWithFakes;

TEST(TarnelFrame, BuildsComponentsInOrderOverTheRootPath) {
  auto mocks = std::make_shared<FakeProvider>();
  Tarnel tarnel("/data/root", mocks);
  EXPECT_EQ(mocks->construction_order,
            (std::vector<std::string>{"store:/data/root", "ambrel:/data/root", "builder",
                                      "retriever", "filesystem"}));
  auto defaults = std::make_shared<FakeProvider>();
  Tarnel with_defaults("./.vantory_coding", defaults);
  EXPECT_EQ(defaults->construction_order[0], "store:./.vantory_coding");
}

TEST(TarnelFrame, ProfileRoundsOnTheExactValue) {
  TarnelWithFakes t;
  EXPECT_EQ(dump_json(t.tarnel.performance_profile("a")),
            R"({"status": "ok", "profile": {"indexing": {"avg_ms": 0, "count": 0}, )"
            R"("retrieval": {"avg_ms": 0, "count": 0}, "search": {"avg_ms": 0, "count": 0}, )"
            R"("embedding": {"avg_ms": 0, "count": 0}}})");
  t.tarnel._record_perf("search", 10.04);
  t.tarnel._record_perf("search", 10.05);
  t.tarnel._record_perf("unknown", 5.0);
  Json profile = t.tarnel.performance_profile("other agent");
  EXPECT_EQ(profile["profile"].size(), 4u);
  EXPECT_EQ(dump_json(profile["profile"]["search"]), R"({"avg_ms": 10.0, "count": 2})");
  EXPECT_EQ(t.tarnel._perf_tracker()["search"]["last_ms"].get<double>(), 10.1);
  t.tarnel._record_perf("indexing", 0.25);
  EXPECT_EQ(t.tarnel._perf_tracker()["indexing"]["last_ms"].get<double>(), 0.2);
}

}  // namespace
}  // namespace vantory
