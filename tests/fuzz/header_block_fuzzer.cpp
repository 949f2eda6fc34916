// The host core's check of a module's status and header block.
//
// Input: the status up to the first line feed, the header block after it.
#include <stdint.h>
#include <string.h>

#include <string>
#include <string_view>

#include "server/core/response_head.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using isapi::Framing;
using isapi::HeaderField;
using isapi::ResponseHead;

bool IsToken(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && strchr("!#$%&'*+-.^_`|~", c) == nullptr) return false;
  }
  return true;
}

bool IsControl(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7F;
}

bool SameNameIgnoringCase(const std::string& a, const char* b) {
  return a.size() == strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

// Whether `text` is decimal digits only (leading zeros allowed) whose value
// is `number`.
bool IsDecimalOf(const std::string& text, uint64_t number) {
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(c - '0'), &value)) {
      return false;
    }
  }
  return value == number;
}

// Every accepted head: a final status, header lines that cannot smuggle a
// line of their own, and framing that agrees with the lines.
void CheckAccepted(std::string_view status, const ResponseHead& head, bool chunked) {
  FUZZ_CHECK(head.status >= 200 && head.status <= 999);
  FUZZ_CHECK(head.status_text == status);
  FUZZ_CHECK(head.status_text.compare(0, 3, std::to_string(head.status)) == 0);

  std::string lines;
  bool length_seen = false;
  for (const HeaderField& field : head.headers) {
    FUZZ_CHECK(IsToken(field.name));
    for (char c : field.value) FUZZ_CHECK(!IsControl(c));
    FUZZ_CHECK(field.value.find_first_of(" \t") != 0);
    FUZZ_CHECK(field.value.empty() || (field.value.back() != ' ' && field.value.back() != '\t'));
    if (SameNameIgnoringCase(field.name, "Content-Length")) {
      FUZZ_CHECK(IsDecimalOf(field.value, head.content_length));
      length_seen = true;
    }
    // The module's chunking is the core's to decode: its line never passes.
    FUZZ_CHECK(!SameNameIgnoringCase(field.name, "Transfer-Encoding"));
  }
  FUZZ_CHECK(!(length_seen && chunked));
  FUZZ_CHECK(head.framing == (length_seen ? Framing::kContentLength : Framing::kFrontEnd));

  // The block passed on is one CRLF-terminated line per header and nothing
  // else: no bare CR or LF, no blank line.
  size_t line_count = 0;
  for (size_t at = 0; at < head.header_block.size();) {
    const size_t end = head.header_block.find("\r\n", at);
    FUZZ_CHECK(end != std::string::npos && end > at);
    const std::string line = head.header_block.substr(at, end - at);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(line_count < head.headers.size());
    FUZZ_CHECK(line.compare(0, head.headers[line_count].name.size() + 1,
                            head.headers[line_count].name + ":") == 0);
    ++line_count;
    at = end + 2;
  }
  FUZZ_CHECK(line_count == head.headers.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string_view status = input.substr(0, newline);
  const std::string_view block =
      newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

  ResponseHead head;
  bool chunked = false;
  std::string_view body;
  if (!isapi::ParseResponseHead(status, block, &head, &chunked, &body)) return 0;
  CheckAccepted(status, head, chunked);
  // The body is what follows the block's blank line, so it is the block's tail.
  FUZZ_CHECK(body.empty() || (body.data() >= block.data() &&
                              body.data() + body.size() == block.data() + block.size()));

  // The block passed on reads back as the same head, and a blank line and
  // body bytes after it split off as such.
  const std::string again_block = head.header_block + "\r\nbody\r\n";
  ResponseHead again;
  bool again_chunked = true;
  std::string_view again_body;
  FUZZ_CHECK(isapi::ParseResponseHead(status, again_block, &again, &again_chunked, &again_body));
  FUZZ_CHECK(!again_chunked);
  FUZZ_CHECK(again_body == "body\r\n");
  FUZZ_CHECK(again.header_block == head.header_block);
  FUZZ_CHECK(again.headers.size() == head.headers.size());
  for (size_t i = 0; i < head.headers.size(); ++i) {
    FUZZ_CHECK(again.headers[i].name == head.headers[i].name);
    FUZZ_CHECK(again.headers[i].value == head.headers[i].value);
  }
  FUZZ_CHECK(again.framing == head.framing && again.content_length == head.content_length);
  return 0;
}
