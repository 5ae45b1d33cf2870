#include "apps/cli/table.h"

#include <gtest/gtest.h>

#include "apps/cli/command.h"
#include "apps/cli/readable_json.h"

namespace vantory::cli {
namespace {

TEST(Table, AlignsColumnsAndRightAlignsNumbers) {
  Table table({"SCORE", "NAME", "NOTE"});
  table.add_row({"0.5", "alpha", "first"});
  table.add_row({"10.25", "é", ""});
  EXPECT_EQ(table.render(2),
            "  SCORE  NAME   NOTE\n"
            "    0.5  alpha  first\n"
            "  10.25  é\n");
}

TEST(Table, CutsTheLastColumnToTheWidth) {
  Table table;
  table.add_row({"id", "a rather long note that does not fit"});
  EXPECT_EQ(table.render(0, 16), "id  a rather lo…\n");  // 16 characters
  EXPECT_EQ(one_line("two\n  lines\there", 0), "two lines here");
  EXPECT_EQ(one_line("ééééé", 3), "éé…");
}

TEST(ReadableJson, NestsMembersAndItems) {
  Json value = {{"status", "ok"}, {"files", {"a.py", "b.py"}}, {"none", nullptr},
                {"items", {{{"name", "x"}, {"count", 2}}}}, {"empty", Json::array()}};
  EXPECT_EQ(readable_json(value),
            "status: ok\n"
            "files:\n"
            "  - a.py\n"
            "  - b.py\n"
            "none: -\n"
            "items:\n"
            "  - name: x\n"
            "    count: 2\n"
            "empty: []\n");
}

TEST(ReadInvocation, ReadsOptionsAndOperands) {
  CommandSpec spec{"search", "QUERY...", "", "",
                   {{"top-k", "N", ""}, {"in", "PATH", "", true}, {"trace", "", ""}},
                   1, kAnyNumber, nullptr};
  Invocation invocation =
      read_invocation(spec, {"find", "--top-k=3", "--in", "a", "me", "--trace", "--in", "b",
                             "--", "--literal"});
  EXPECT_EQ(invocation.operands, (std::vector<std::string>{"find", "me", "--literal"}));
  EXPECT_EQ(invocation.integer("top-k", 5), 3);
  EXPECT_EQ(invocation.texts("in"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(invocation.has("trace"));

  for (std::vector<std::string> wrong : std::vector<std::vector<std::string>>{
           {}, {"q", "--top-k"}, {"q", "--trace=yes"}, {"q", "--top-k", "1", "--top-k", "2"},
           {"q", "--nope"}}) {
    EXPECT_THROW(read_invocation(spec, wrong), UsageError);
  }
  EXPECT_THROW(read_invocation(spec, {"q", "--top-k", "1x"}).integer("top-k", 0), UsageError);
}

}  // namespace
}  // namespace vantory::cli
