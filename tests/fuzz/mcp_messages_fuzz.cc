// What a peer may send the MCP server, any bytes: the line reader cuts them into lines no
// longer than its bound, each line is either a message or the error to answer it with (never
// an exception), and every line written back is exactly one line.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <variant>

#include "apps/mcp/json_rpc.h"
#include "apps/mcp/line_reader.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void check_one_line(const std::string& text) {
  FUZZ_CHECK(!text.empty() && text.back() == '\n');
  FUZZ_CHECK(text.find('\n') == text.size() - 1);
  FUZZ_CHECK(text.find('\r') == std::string::npos);
}

void answer(std::string_view line) {
  using namespace vantory::mcp;
  ReadResult read = read_message(line);
  if (const RpcError* error = std::get_if<RpcError>(&read)) {
    FUZZ_CHECK(error->code == kParseError || error->code == kInvalidRequest);
    FUZZ_CHECK(error->id.is_null() || error->id.is_string() || error->id.is_number_integer());
    check_one_line(error_line(error->id, error->code, error->message));
    return;
  }
  const RpcMessage& message = std::get<RpcMessage>(read);
  if (message.kind == RpcMessage::Kind::kNotification) {
    FUZZ_CHECK(message.id.is_null());
  } else {
    FUZZ_CHECK(message.id.is_string() || message.id.is_number_integer());
  }
  // A response carries its result, which may be any value; a request's or a notification's
  // parameters are structured.
  if (message.kind != RpcMessage::Kind::kResponse) {
    FUZZ_CHECK(message.params.is_null() || message.params.is_object() ||
               message.params.is_array());
  } else {
    FUZZ_CHECK(message.method.empty());
  }
  check_one_line(result_line(message.id, message.params));
  if (!message.method.empty()) check_one_line(notification_line(message.method, message.params));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets the line bound; the rest is what the peer sent.
  std::size_t bound = data[0] % 128 + 1;
  int fd = memfd_create("mcp-input", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1));
  lseek(fd, 0, SEEK_SET);

  vantory::mcp::LineReader reader(fd, bound);
  std::string line;
  std::size_t lines = 0;
  using Status = vantory::mcp::LineReader::Status;
  for (Status status; (status = reader.next(line)) != Status::kEnd;) {
    FUZZ_CHECK(++lines <= size);
    if (status == Status::kTooLong) continue;
    FUZZ_CHECK(line.size() <= bound && line.find('\n') == std::string::npos);
    if (!vantory::mcp::is_blank_line(line)) answer(line);
  }
  close(fd);
  // The whole input as one line: the reader of messages sees long and nested JSON too.
  answer(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  return 0;
}
