// Checking the exceptions the analyses let reach the caller.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/error.h"

namespace vantory::testing {

// Runs `call` and checks that it throws a vantory::Error of `kind` whose message is exactly
// `message`. `label` names the case in failure output.
template <typename Call>
void expect_error(Call call, const std::string& kind, const std::string& message,
                  const std::string& label) {
  try {
    call();
    ADD_FAILURE() << label << ": no failure";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), kind) << label;
    EXPECT_EQ(e.what(), message) << label;
  }
}

}  // namespace vantory::testing
