// Whether a ".h" header holds C++. The extension is shared by C and C++ (LLVM, Eigen, the
// C++ standard library's own bits/*.h), and the C grammar reads C++ as a run of errors: it
// finds no classes or methods, and its error recovery makes the parse three times slower.
//
// Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace vantory::backend {

// True when `text` (the start of a header) holds a line that only C++ writes, outside
// comments: a namespace, a template, a class, an access label (public:), a using
// declaration, extern "C++", an include of an extension-less standard header (<vector>), or
// a name qualified by std::. A C header's `extern "C"` guard for C++ callers is no such line.
bool looks_like_cpp(std::string_view text);

// looks_like_cpp over the first kHeaderSniffBytes of the file at `path`; false when it cannot
// be read.
bool header_looks_like_cpp(const std::string& path);

inline constexpr std::size_t kHeaderSniffBytes = 32 * 1024;

}  // namespace vantory::backend
