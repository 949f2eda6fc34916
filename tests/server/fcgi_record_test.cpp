// The FastCGI record layer without sockets: records, name-value pairs and
// the receiving side of one connection, fed whole and one byte at a time.
#include <gtest/gtest.h>

#include <string>

#include "server/fcgi/fcgi_record.h"
#include "tests/server/fcgi_test_support.h"

namespace {

using isapi_fcgi::RequestReader;
using Event = RequestReader::Event;

// A record of fcgi_test_support's encoders with `padding` bytes added.
std::string Padded(std::string record, uint8_t padding) {
  record[6] = static_cast<char>(padding);
  return record + std::string(padding, '\xee');
}

struct Fed {
  Event event = Event::kNeedMore;
  size_t used = 0;
  std::string replies;
  isapi_fcgi::ResponderRequest request;
};

// Feeds `bytes` in pieces of `piece` bytes, as a socket may deliver them.
Fed Feed(const std::string& bytes, size_t piece, isapi_fcgi::Limits limits = {}) {
  RequestReader reader(limits);
  Fed fed;
  for (size_t at = 0; at < bytes.size() && fed.event == Event::kNeedMore; at += piece) {
    size_t used = 0;
    size_t size = std::min(piece, bytes.size() - at);
    fed.event = reader.Feed(bytes.data() + at, size, &used);
    fed.used += used;
    fed.replies += *reader.replies();
    reader.replies()->clear();
    if (used < size) break;
  }
  fed.request = std::move(reader.request());
  return fed;
}

std::string Management(uint8_t type, const std::string& content) {
  return fcgi_test::Record(type, 0, content);
}

const fcgi_test::Params kParams = {{"REQUEST_METHOD", "GET"}, {std::string(200, 'N'), "v"},
                                   {"EMPTY", ""}, {std::string("NU\0L", 4), "x\0y"}};

struct ReaderCase {
  const char* label;
  std::string bytes;
  Event event;
  std::string replies;  // expected records sent back
};

TEST(FcgiRecordTest, ReaderGivesTheDefinedEventForEachInput) {
  const std::string begin = fcgi_test::BeginRequest(1);
  const std::string params_end = fcgi_test::Record(isapi_fcgi::kParams, 1, "");
  const std::string stdin_end = fcgi_test::Record(isapi_fcgi::kStdin, 1, "");
  std::string get_values_reply, unknown_reply, cant_mpx, unknown_role, aborted;
  isapi_fcgi::AppendParam("FCGI_MPXS_CONNS", "0", &get_values_reply);
  isapi_fcgi::AppendParam("FCGI_MAX_REQS", "1024", &get_values_reply);
  get_values_reply = fcgi_test::Record(isapi_fcgi::kGetValuesResult, 0, get_values_reply);
  unknown_reply =
      fcgi_test::Record(isapi_fcgi::kUnknownType, 0, std::string("\x63\0\0\0\0\0\0\0", 8));
  isapi_fcgi::AppendEndRequest(2, 0, isapi_fcgi::kCantMpxConn, &cant_mpx);
  isapi_fcgi::AppendEndRequest(1, 0, isapi_fcgi::kUnknownRole, &unknown_role);
  isapi_fcgi::AppendEndRequest(1, 0, isapi_fcgi::kRequestComplete, &aborted);
  const std::string ask = fcgi_test::EncodeParams(
      {{"FCGI_MPXS_CONNS", ""}, {"OTHER", ""}, {"FCGI_MAX_REQS", ""}});

  const ReaderCase cases[] = {
      {"whole request", fcgi_test::ResponderRequest(kParams, "body"), Event::kRequest, ""},
      {"padding on every record",
       Padded(begin, 7) + Padded(fcgi_test::Record(4, 1, fcgi_test::EncodeParams(kParams)), 255) +
           Padded(params_end, 1) + Padded(fcgi_test::Record(5, 1, "body"), 4) +
           Padded(stdin_end, 8),
       Event::kRequest, ""},
      {"get values alone", Management(isapi_fcgi::kGetValues, ask), Event::kNeedMore,
       get_values_reply},
      {"unknown management type", Management(0x63, "xyz"), Event::kNeedMore, unknown_reply},
      {"unknown type on a request id", fcgi_test::Record(0x63, 5, ""), Event::kNeedMore,
       unknown_reply},
      {"second request on the connection",
       begin + fcgi_test::BeginRequest(2) + fcgi_test::ResponderRequest(kParams).substr(16),
       Event::kRequest, cant_mpx},
      {"records of other ids ignored",
       begin + fcgi_test::Record(5, 9, "x") + fcgi_test::Record(2, 9, "") +
           fcgi_test::ResponderRequest(kParams).substr(16),
       Event::kRequest, ""},
      {"authorizer role", fcgi_test::BeginRequest(1, 2), Event::kEnded, unknown_role},
      {"abort while receiving", begin + fcgi_test::Record(isapi_fcgi::kAbortRequest, 1, ""),
       Event::kEnded, aborted},
      {"abort before begin ignored", fcgi_test::Record(isapi_fcgi::kAbortRequest, 1, ""),
       Event::kNeedMore, ""},
      {"version 2", std::string("\x02\x01\x00\x01\x00\x08\x00\x00", 8), Event::kError, ""},
      {"begin with id 0", fcgi_test::BeginRequest(0), Event::kError, ""},
      {"begin of 7 bytes", fcgi_test::Record(1, 1, std::string(7, '\0')), Event::kError, ""},
      {"begin twice", begin + begin, Event::kError, ""},
      {"stdin before params end", begin + fcgi_test::Record(5, 1, "x"), Event::kError, ""},
      {"params after params end", begin + params_end + params_end, Event::kError, ""},
      {"lengths past the block",
       begin + fcgi_test::Record(4, 1, std::string("\x7f\x7f" "AB", 4)) + params_end,
       Event::kError, ""},
      {"four-byte length cut short",
       begin + fcgi_test::Record(4, 1, std::string("\x80\x00", 2)) + params_end, Event::kError,
       ""},
      {"stdout from the web server", fcgi_test::Record(isapi_fcgi::kStdout, 1, "x"),
       Event::kError, ""},
      {"get values under a request id", fcgi_test::Record(isapi_fcgi::kGetValues, 1, ""),
       Event::kError, ""},
      {"truncated header", std::string("\x01\x01\x00", 3), Event::kNeedMore, ""},
  };
  for (const ReaderCase& c : cases) {
    for (size_t piece : {c.bytes.size() + 1, size_t{1}}) {
      Fed fed = Feed(c.bytes, piece);
      EXPECT_EQ(fed.event, c.event) << c.label << " in pieces of " << piece;
      EXPECT_EQ(fed.replies, c.replies) << c.label << " in pieces of " << piece;
      if (c.event == Event::kNeedMore) {
        EXPECT_EQ(fed.used, c.bytes.size()) << c.label;
      }
      if (c.event == Event::kRequest) {
        EXPECT_EQ(fed.request.params, kParams) << c.label;
        EXPECT_EQ(fed.request.id, 1) << c.label;
      }
    }
  }
}

TEST(FcgiRecordTest, BytesAfterTheRequestAreLeftUntaken) {
  std::string request = fcgi_test::ResponderRequest(kParams, "body");
  Fed fed = Feed(request + "more", request.size() + 4);
  EXPECT_EQ(fed.event, Event::kRequest);
  EXPECT_EQ(fed.used, request.size());
  EXPECT_EQ(fed.request.body, "body");
  EXPECT_FALSE(fed.request.keep_conn);
}

struct LimitCase {
  const char* label;
  size_t params_size;  // encoded size of one pair's value
  size_t body_size;
  bool params_too_large;
  bool body_too_large;
};

TEST(FcgiRecordTest, LimitsDropWhatIsBeyondThemAndMarkTheRequest) {
  isapi_fcgi::Limits limits;
  limits.max_params = 1000;
  limits.max_body = 5000;
  // A pair "V" + value costs 1 + 1 + 1 + value bytes below 128, 1 + 4 + 1 + value above.
  const LimitCase cases[] = {
      {"both at their limits", 1000 - 6, 5000, false, false},
      {"parameter block one byte over", 1000 - 5, 0, true, false},
      {"body one byte over", 10, 5001, false, true},
      {"both far over", 300000, 70000, true, true},
  };
  for (const LimitCase& c : cases) {
    fcgi_test::Params params = {{"V", std::string(c.params_size, 'p')}};
    Fed fed = Feed(fcgi_test::ResponderRequest(params, std::string(c.body_size, 'b')), 4096,
                   limits);
    ASSERT_EQ(fed.event, Event::kRequest) << c.label;
    EXPECT_EQ(fed.request.params_too_large, c.params_too_large) << c.label;
    EXPECT_EQ(fed.request.body_too_large, c.body_too_large) << c.label;
    EXPECT_EQ(fed.request.params.empty(), c.params_too_large) << c.label;
    EXPECT_EQ(fed.request.body.size(), c.body_too_large ? 0 : c.body_size) << c.label;
  }
}

TEST(FcgiRecordTest, ParamsRoundTripThroughTheEncoder) {
  isapi_fcgi::Params params = {{"", ""}, {"A", std::string(127, 'x')},
                               {std::string(128, 'n'), std::string(70000, 'v')}};
  std::string block;
  for (const auto& [name, value] : params) isapi_fcgi::AppendParam(name, value, &block);
  // Lengths below 128 take one byte; from 128 on, four with the top bit set.
  EXPECT_EQ(block, std::string("\0\0", 2) + "\x01\x7f" "A" + std::string(127, 'x') +
                       std::string("\x80\0\0\x80" "\x80\x01\x11\x70", 8) +
                       std::string(128, 'n') +
                       std::string(70000, 'v'));
  isapi_fcgi::Params decoded;
  EXPECT_TRUE(isapi_fcgi::ParseParams(block, &decoded));
  EXPECT_EQ(decoded, params);
  decoded.clear();
  EXPECT_FALSE(isapi_fcgi::ParseParams(block.substr(0, block.size() - 1), &decoded));
  EXPECT_EQ(decoded.size(), 2u);
}

TEST(FcgiRecordTest, StreamsAreSplitIntoRecordsOfAtMost65535Bytes) {
  std::string out;
  isapi_fcgi::AppendStream(isapi_fcgi::kStdout, 3, std::string(65536, 's'), &out);
  fcgi_test::Reply reply = fcgi_test::ParseReply(out, false);
  EXPECT_FALSE(reply.malformed);
  EXPECT_EQ(reply.out, std::string(65536, 's'));
  EXPECT_EQ(out.size(), 2 * 8 + 65536u);
  out.clear();
  isapi_fcgi::AppendStream(isapi_fcgi::kStdout, 3, "", &out);
  EXPECT_EQ(out, "");
}

}  // namespace
