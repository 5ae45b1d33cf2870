#include "apps/host/tool_arguments.h"

#include <gtest/gtest.h>

#include "common/error.h"

namespace vantory::host {
namespace {

ToolDefinition sample_tool() {
  return {"sample",
          "A tool for the tests.",
          {{"agent_id", "string", "", false, "default", "The agent."},
           {"query", "string", "", true, nullptr, ""},
           {"top_k", "integer", "", false, 5, ""},
           {"weight", "number", "", false, 0.5, ""},
           {"paths", "array|null", "string", false, nullptr, ""},
           {"entries", "array", "object", false, Json::array(), ""},
           {"flag", "boolean", "", false, false, ""}},
          nullptr};
}

TEST(BindToolArguments, FillsDefaultsInDeclaredOrder) {
  Json bound = bind_tool_arguments(sample_tool(), {{"top_k", 2}, {"query", "q"}});
  std::vector<std::string> names;
  for (const auto& [name, value] : bound.items()) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"agent_id", "query", "top_k", "weight", "paths",
                                             "entries", "flag"}));
  EXPECT_EQ(bound["agent_id"], "default");
  EXPECT_EQ(bound["top_k"], 2);
  EXPECT_TRUE(bound["paths"].is_null());
}

TEST(BindToolArguments, AcceptsWholeNumbersAsIntegersAndIntegersAsNumbers) {
  Json bound = bind_tool_arguments(sample_tool(), {{"query", "q"}, {"top_k", 3.0}, {"weight", 1}});
  EXPECT_TRUE(bound["top_k"].is_number_integer());
  EXPECT_EQ(bound["top_k"], 3);
  EXPECT_EQ(bound["weight"].get<double>(), 1.0);
}

TEST(BindToolArguments, RefusesWhatDoesNotFitNamingTheArgumentAndTheKind) {
  struct Case {
    Json given;
    const char* message;
  };
  const Case cases[] = {
      {"text", "sample() arguments must be an object, not string"},
      {{{"agent_id", "a"}}, "sample() missing required argument 'query'"},
      {{{"query", "q"}, {"other", 1}}, "sample() got an unexpected argument 'other'"},
      {{{"query", 5}}, "sample() argument 'query' must be string, not integer"},
      {{{"query", "q"}, {"top_k", "5"}}, "sample() argument 'top_k' must be integer, not string"},
      {{{"query", "q"}, {"top_k", 2.5}}, "sample() argument 'top_k' must be integer, not number"},
      {{{"query", "q"}, {"top_k", true}}, "sample() argument 'top_k' must be integer, not boolean"},
      {{{"query", "q"}, {"top_k", 18446744073709551615ull}},
       "sample() argument 'top_k' must be integer, not integer beyond 64 bits"},
      {{{"query", "q"}, {"weight", "x"}}, "sample() argument 'weight' must be number, not string"},
      {{{"query", "q"}, {"paths", "a.py"}},
       "sample() argument 'paths' must be array of strings or null, not string"},
      {{{"query", "q"}, {"paths", {"a.py", 3}}},
       "sample() argument 'paths' must be array of strings or null, not array holding integer "
       "at index 1"},
      {{{"query", "q"}, {"entries", {{{"id", "x"}}, "y"}}},
       "sample() argument 'entries' must be array of objects, not array holding string at "
       "index 1"},
      {{{"query", "q"}, {"flag", nullptr}}, "sample() argument 'flag' must be boolean, not null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given.dump());
    try {
      bind_tool_arguments(sample_tool(), c.given);
      ADD_FAILURE() << "accepted";
    } catch (const TypeError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(ToolInputSchema, DescribesTypesDefaultsAndRequiredArguments) {
  Json schema = tool_input_schema(sample_tool());
  EXPECT_EQ(schema["type"], "object");
  EXPECT_EQ(schema["required"], Json({"query"}));
  EXPECT_EQ(schema["additionalProperties"], false);
  const Json& properties = schema["properties"];
  EXPECT_EQ(properties["agent_id"],
            Json({{"type", "string"}, {"default", "default"}, {"description", "The agent."}}));
  EXPECT_EQ(properties["query"], Json({{"type", "string"}}));
  EXPECT_EQ(properties["paths"],
            Json({{"type", {"array", "null"}}, {"items", {{"type", "string"}}}, {"default", nullptr}}));
  EXPECT_EQ(properties["top_k"]["default"], 5);
}

}  // namespace
}  // namespace vantory::host
