// The reader of number-array objects (the embedding cache and vectors files) on arbitrary
// bytes, against two references: the general JSON reader must agree on which texts are such
// objects and on every number, and the file form, which reads in pieces, must report exactly
// what the in-memory form reports wherever a piece ends.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct Outcome {
  std::vector<std::pair<std::string, std::vector<double>>> members;
  std::string failure;  // "<kind>: <message>", empty on success
};

template <class Read>
Outcome run(Read read) {
  Outcome outcome;
  try {
    read([&](std::string&& key, std::vector<double>& values) {
      outcome.members.emplace_back(std::move(key), values);
    });
  } catch (const vantory::Error& e) {
    outcome.failure = std::string(e.kind()) + ": " + e.what();
  }
  return outcome;
}

bool same_double(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

bool same_members(const Outcome& a, const Outcome& b) {
  if (a.members.size() != b.members.size()) return false;
  for (std::size_t i = 0; i < a.members.size(); ++i) {
    const auto& [key_a, values_a] = a.members[i];
    const auto& [key_b, values_b] = b.members[i];
    if (key_a != key_b || values_a.size() != values_b.size()) return false;
    for (std::size_t j = 0; j < values_a.size(); ++j) {
      if (!same_double(values_a[j], values_b[j])) return false;
    }
  }
  return true;
}

// True when `value` is an object whose members are all arrays of numbers.
bool is_number_array_object(const vantory::Json& value) {
  if (!value.is_object()) return false;
  for (const auto& member : value) {
    if (!member.is_array()) return false;
    for (const auto& item : member) {
      if (!item.is_number() && !item.is_boolean()) return false;
    }
  }
  return true;
}

// Agreement with the general reader. One divergence is accepted: when a key occurs twice and
// its first value is not an array of numbers, this reader refuses the text at once, where the
// general reader lets the later value replace the bad one. No writer produces such a file.
void check_against_general_reader(std::string_view text, const Outcome& fast) {
  vantory::Json value;
  try {
    value = vantory::parse_json(text);
  } catch (const vantory::ValueError&) {
    FUZZ_CHECK(!fast.failure.empty());
    return;
  }
  if (!is_number_array_object(value)) {
    FUZZ_CHECK(!fast.failure.empty());
    return;
  }
  // The same object without duplicate keys must read, whatever became of the text itself.
  std::string rewritten = vantory::dump_json(value);
  Outcome again = run([&](const auto& on_member) {
    vantory::parse_number_array_object(rewritten, on_member);
  });
  FUZZ_CHECK(again.failure.empty());
  const Outcome& read = fast.failure.empty() ? fast : again;
  // Later members win, as they do in the object the general reader builds.
  std::map<std::string, const std::vector<double>*> last;
  for (const auto& [key, values] : read.members) last[key] = &values;
  FUZZ_CHECK(last.size() == value.size());
  for (const auto& [key, values] : last) {
    const vantory::Json& array = value.at(key);
    FUZZ_CHECK(array.size() == values->size());
    for (std::size_t i = 0; i < values->size(); ++i) {
      const vantory::Json& item = array[i];
      double number = item.is_boolean() ? (item.get<bool>() ? 1.0 : 0.0) : item.get<double>();
      FUZZ_CHECK(same_double(number, (*values)[i]));
    }
  }
}

const std::string& scratch_file() {
  static const std::string path = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/vantory-fuzz-numbers-" + std::to_string(getpid()) + ".json";
  }();
  return path;
}

// The file form, read in pieces of `piece_size` bytes, against the in-memory form.
void check_read_in_pieces(std::string_view text, const Outcome& whole, std::size_t piece_size) {
  vantory::write_file_atomic(scratch_file(), text);
  Outcome pieces = run([&](const auto& on_member) {
    vantory::parse_number_array_file(scratch_file(), on_member, piece_size);
  });
  unlink(scratch_file().c_str());
  FUZZ_CHECK(pieces.failure == whole.failure);
  FUZZ_CHECK(same_members(pieces, whole));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets the size of the pieces the file form reads; the rest is the text.
  std::uint8_t control = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  Outcome fast = run([&](const auto& on_member) {
    vantory::parse_number_array_object(text, on_member);
  });
  check_against_general_reader(text, fast);
  check_read_in_pieces(text, fast, control % 64 + 1);
  return 0;
}
