#include "apps/host/tool_selection.h"

#include <gtest/gtest.h>

#include "common/error.h"

namespace vantory::host {
namespace {

std::vector<ToolDefinition> sample_tools() {
  return {{"search_codebase", "The full text.", {}, nullptr},
          {"create_snapshot", "Snapshot text.", {}, nullptr},
          {"add_vector", "Vector text.", {}, nullptr}};
}

std::vector<std::string> listed(std::string_view choice) {
  std::vector<std::string> out;
  for (const ToolDefinition& tool : select_tools(sample_tools(), choice)) {
    out.push_back(tool.name + ": " + tool.description.substr(0, 9));
  }
  return out;
}

TEST(SelectTools, ChoosesTheDefaultSetAllOrNamedTools) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(listed(""), Names({"search_codebase: Find code"}));
  EXPECT_EQ(listed("default"), listed(""));
  EXPECT_EQ(listed("all"), Names({"search_codebase: The full ", "create_snapshot: Snapshot ",
                                  "add_vector: Vector te"}));
  EXPECT_EQ(listed("add_vector,default"),
            Names({"search_codebase: Find code", "add_vector: Vector te"}));
  EXPECT_EQ(listed("search_codebase"), Names({"search_codebase: The full "}));
  EXPECT_THROW(select_tools(sample_tools(), "search_codebase,nope"), ValueError);
}

}  // namespace
}  // namespace vantory::host
