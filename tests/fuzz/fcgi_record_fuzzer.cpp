// The FastCGI record layer, on arbitrary bytes from a web server.
//
// Input: the byte stream of one connection. It is fed whole and one byte at
// a time, and both must read the same; small limits bring the bounds into
// reach.
#include <stdint.h>

#include <string>
#include <string_view>

#include "server/fcgi/fcgi_record.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using isapi_fcgi::Params;
using isapi_fcgi::RecordReader;
using isapi_fcgi::RequestReader;
using Event = RequestReader::Event;

isapi_fcgi::Limits SmallLimits() {
  isapi_fcgi::Limits limits;
  limits.max_params = 96;
  limits.max_body = 64;
  limits.max_connections = 7;
  return limits;
}

struct Outcome {
  Event event = Event::kNeedMore;
  size_t taken = 0;
  isapi_fcgi::ResponderRequest request;
  std::string replies;
  std::string error;
};

// Feeds `input` in pieces of at most `piece` bytes, as reads from a socket
// would bring it.
Outcome Read(std::string_view input, size_t piece) {
  RequestReader reader(SmallLimits());
  Outcome outcome;
  while (outcome.taken < input.size()) {
    const size_t given = std::min(piece, input.size() - outcome.taken);
    size_t used = 0;
    outcome.event = reader.Feed(input.data() + outcome.taken, given, &used);
    FUZZ_CHECK(used <= given);
    outcome.taken += used;
    outcome.replies += *reader.replies();
    reader.replies()->clear();
    if (outcome.event != Event::kNeedMore) break;
    FUZZ_CHECK(used == given);
  }
  if (outcome.event != Event::kNeedMore) {
    // The outcome is final: more bytes change nothing.
    size_t used = 1;
    FUZZ_CHECK(reader.Feed("\1\1\0\1\0\0\0\0", 8, &used) == outcome.event && used == 0);
    FUZZ_CHECK(reader.replies()->empty());
  }
  FUZZ_CHECK((outcome.event == Event::kError) == (*reader.error() != '\0'));
  outcome.request = std::move(reader.request());
  outcome.error = reader.error();
  return outcome;
}

size_t EncodedSize(const Params& params) {
  std::string block;
  for (const auto& [name, value] : params) isapi_fcgi::AppendParam(name, value, &block);
  return block.size();
}

// What this side sends is well-formed FastCGI: version 1 records of the
// three types a responder answers with outside a request's own output.
void CheckReplies(const std::string& replies, const Outcome& outcome) {
  RecordReader reader;
  size_t at = 0;
  isapi_fcgi::Record record;
  isapi_fcgi::Record last;
  while (at < replies.size()) {
    size_t used = 0;
    const RecordReader::Result result =
        reader.Next(replies.data() + at, replies.size() - at, &used, &record);
    FUZZ_CHECK(result == RecordReader::Result::kRecord);
    at += used;
    if (record.type == isapi_fcgi::kGetValuesResult) {
      FUZZ_CHECK(record.request_id == 0);
      Params values;
      FUZZ_CHECK(isapi_fcgi::ParseParams(record.content, &values));
      for (const auto& [name, value] : values) {
        FUZZ_CHECK(name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS" ||
                   name == "FCGI_MPXS_CONNS");
        FUZZ_CHECK(value == (name == "FCGI_MPXS_CONNS" ? "0" : "7"));
      }
    } else {
      FUZZ_CHECK(record.type == isapi_fcgi::kUnknownType ||
                 record.type == isapi_fcgi::kEndRequest);
      FUZZ_CHECK(record.content.size() == 8);
      FUZZ_CHECK(record.type == isapi_fcgi::kEndRequest || record.request_id == 0);
    }
    last = record;
  }
  if (outcome.event == Event::kEnded) {
    FUZZ_CHECK(!replies.empty() && last.type == isapi_fcgi::kEndRequest &&
               last.request_id == outcome.request.id);
  }
}

// A request read back from its plain encoding (no padding, one record per
// 64 KiB) is the same request.
void CheckReencoding(const isapi_fcgi::ResponderRequest& request) {
  std::string block;
  for (const auto& [name, value] : request.params) isapi_fcgi::AppendParam(name, value, &block);
  const char begin[8] = {0, 1, static_cast<char>(request.keep_conn ? 1 : 0), 0, 0, 0, 0, 0};
  std::string stream;
  isapi_fcgi::AppendRecord(isapi_fcgi::kBeginRequest, request.id, std::string_view(begin, 8),
                           &stream);
  isapi_fcgi::AppendStream(isapi_fcgi::kParams, request.id, block, &stream);
  isapi_fcgi::AppendRecord(isapi_fcgi::kParams, request.id, "", &stream);
  isapi_fcgi::AppendStream(isapi_fcgi::kStdin, request.id, request.body, &stream);
  isapi_fcgi::AppendRecord(isapi_fcgi::kStdin, request.id, "", &stream);
  const Outcome again = Read(stream, stream.size());
  FUZZ_CHECK(again.event == Event::kRequest && again.taken == stream.size());
  FUZZ_CHECK(again.request.id == request.id && again.request.keep_conn == request.keep_conn);
  FUZZ_CHECK(again.request.params == request.params && again.request.body == request.body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const Outcome whole = Read(input, input.size());
  const Outcome bytewise = Read(input, 1);
  FUZZ_CHECK(whole.event == bytewise.event);
  FUZZ_CHECK(whole.replies == bytewise.replies);
  FUZZ_CHECK(whole.error == bytewise.error);
  // Given all at once, the padding of the last record is taken as well.
  FUZZ_CHECK(bytewise.taken <= whole.taken && whole.taken - bytewise.taken <= 255);
  const isapi_fcgi::ResponderRequest& request = whole.request;
  FUZZ_CHECK(request.id == bytewise.request.id && request.params == bytewise.request.params &&
             request.body == bytewise.request.body);

  // Bounded: what passed a limit was dropped, not kept.
  const isapi_fcgi::Limits limits = SmallLimits();
  FUZZ_CHECK(EncodedSize(request.params) <= limits.max_params);
  FUZZ_CHECK(request.body.size() <= limits.max_body);
  FUZZ_CHECK(!request.params_too_large || request.params.empty());
  FUZZ_CHECK(!request.body_too_large || request.body.empty());

  CheckReplies(whole.replies, whole);
  if (whole.event == Event::kRequest && !request.params_too_large && !request.body_too_large) {
    CheckReencoding(request);
  }

  // Any block of name-value pairs that parses whole is never shorter than
  // its plain encoding, and that encoding reads back the same.
  Params params;
  if (isapi_fcgi::ParseParams(input, &params)) {
    std::string block;
    for (const auto& [name, value] : params) isapi_fcgi::AppendParam(name, value, &block);
    FUZZ_CHECK(block.size() <= input.size());
    Params again;
    FUZZ_CHECK(isapi_fcgi::ParseParams(block, &again) && again == params);
  }
  return 0;
}
