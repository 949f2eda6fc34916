// isapi-server's request reading, on arbitrary bytes from a client.
//
// Input: the byte stream of one connection, up to the first complete
// request or refusal (answering needs a module). It is fed whole and one
// byte at a time, and where both reach a request or a refusal they must
// read the same: the same event after the same bytes, and the same refusal
// status. (Given a head in pieces, the parser waits for its end before it
// judges the fields, so a piecewise read may still wait where a whole one
// has refused.)
#include <stdint.h>

#include <string>
#include <string_view>

#include "server/http/access_log.h"
#include "server/http/http_server.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using Event = isapi::Conversation::Event;

struct Outcome {
  Event event = Event::kNeedMore;
  size_t taken = 0;
  std::string status_line;  // of a refusal
};

isapi_http::HttpServer& Server() {
  static isapi_http::AccessLog log;  // opened on nothing: writes nowhere
  static isapi_http::ServerSettings settings = [] {
    isapi_http::ServerSettings small;
    small.max_body = 100;
    return small;
  }();
  // Never started: only its conversations are used.
  static isapi_http::HttpServer server(nullptr, &log, -1, settings);
  return server;
}

// Hands the conversation what it has not consumed of the bytes arrived so
// far, `piece` more at a time, as the connection loop does.
Outcome Read(std::string_view input, size_t piece) {
  std::unique_ptr<isapi::Conversation> conversation = Server().Open(-1);
  Outcome outcome;
  size_t arrived = 0;
  while (arrived < input.size()) {
    arrived += std::min(piece, input.size() - arrived);
    std::string_view unconsumed = input.substr(outcome.taken, arrived - outcome.taken);
    size_t consumed = 0;
    outcome.event = conversation->Feed(unconsumed, &consumed);
    FUZZ_CHECK(consumed <= unconsumed.size());
    outcome.taken += consumed;
    if (outcome.event == Event::kNeedMore &&
        arrived - outcome.taken > conversation->max_unconsumed()) {
      conversation->RefuseInput();
      outcome.event = Event::kError;
    }
    std::string* replies = conversation->replies();
    if (outcome.event == Event::kError) {
      // After the interim answer to Expect, when the body is what was refused.
      const std::string_view interim = "HTTP/1.1 100 Continue\r\n\r\n";
      size_t start = replies->compare(0, interim.size(), interim) == 0 ? interim.size() : 0;
      outcome.status_line = replies->substr(start, replies->find("\r\n", start) - start);
      FUZZ_CHECK(outcome.status_line.compare(0, 10, "HTTP/1.1 4") == 0 ||
                 outcome.status_line.compare(0, 10, "HTTP/1.1 5") == 0);
      return outcome;
    }
    replies->clear();  // 100 Continue
    if (outcome.event == Event::kRequest) {
      // A request ends with the byte that completes it.
      FUZZ_CHECK(piece > 1 || outcome.taken == arrived);
      return outcome;
    }
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Outcome whole = Read(input, input.size());
  Outcome bytewise = Read(input, 1);
  if (whole.event == Event::kNeedMore || bytewise.event == Event::kNeedMore) return 0;
  FUZZ_CHECK(whole.event == bytewise.event);
  FUZZ_CHECK(whole.status_line == bytewise.status_line);
  if (whole.event == Event::kRequest) FUZZ_CHECK(whole.taken == bytewise.taken);
  return 0;
}
