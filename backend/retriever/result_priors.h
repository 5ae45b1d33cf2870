// What a result's place says about its worth to someone searching code: test code, fixtures,
// fuzzing seeds, generated files and data files come after the code they exercise or describe, and
// anonymous blocks and import runs after named definitions, and a function's declaration after
// its definition.
//
// Thread-safe: pure functions.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vantory::backend {

// Whether `path` (normalised) holds tests, fixtures, fuzzing inputs, generated code or data rather
// than the code itself: a folder such as tests/, fixtures/, testdata/, fuzz/, corpus/ or
// generated/; a name such as test_x.py, x_test.go, x.spec.ts, conftest.py, x_pb2.py or x.min.js; or
// a data extension (json, csv, txt, xml, ...).
bool is_secondary_path(std::string_view path);

// Whether the lower-cased query words ask for tests themselves ("test",
// "tests", "fixture", "fuzz", "mock", ...), so that test code is not put back. A test word
// joined with the word next to it into a term for which `names_code` answers true (one that
// the code base holds, such as testcase or skip_test) names that code and asks for nothing.
bool asks_for_tests(const std::vector<std::string>& words,
                    const std::function<bool(const std::string&)>& names_code = nullptr);

// Whether a unit of this chunk type ("block", "import", anything else) names nothing the reader
// could ask for by name.
bool is_anonymous_unit(std::string_view type);

// Whether a unit of this chunk type declares what is defined elsewhere (a function's prototype
// in a header): the definition holds the code the reader is after, the declaration only its
// signature and documentation.
bool is_declaration_unit(std::string_view type);

}  // namespace vantory::backend
