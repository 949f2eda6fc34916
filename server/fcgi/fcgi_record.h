// The FastCGI protocol (version 1) as a responder application sees it, with
// no socket involved: the bytes a web server sends go in, and complete
// requests, the answers to management records and protocol errors come out.
// The socket side (fcgi_responder.h) only moves bytes; the connection loop
// it runs on (server/standalone/connection_loop.h) keeps the deadlines.
//
// Every buffer here is bounded: one record's content (64 KiB), the
// parameter block (Limits::max_params) and the body (Limits::max_body).
// What goes past a limit is read and dropped, and the request is marked, so
// that memory never depends on what the peer sends.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/core/body_spool.h"

namespace isapi_fcgi {

enum RecordType : uint8_t {
  kBeginRequest = 1,
  kAbortRequest = 2,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7,
  kData = 8,
  kGetValues = 9,
  kGetValuesResult = 10,
  kUnknownType = 11,
};

// protocolStatus of an END_REQUEST record.
enum ProtocolStatus : uint8_t {
  kRequestComplete = 0,
  kCantMpxConn = 1,
  kOverloaded = 2,
  kUnknownRole = 3,
};

constexpr uint16_t kResponderRole = 1;
constexpr uint8_t kKeepConnFlag = 1;
constexpr size_t kRecordHeaderSize = 8;
constexpr size_t kMaxRecordContent = 65535;

// Name-value pairs in the order they arrived; names may repeat.
using Params = std::vector<std::pair<std::string, std::string>>;

// Decodes a whole block of FastCGI name-value pairs (lengths of one byte,
// or four bytes with the top bit set) and appends them to *params. Returns
// false when a length runs past the end of `block`; *params then holds the
// pairs before the bad one. Names and values may hold any byte, NUL
// included.
bool ParseParams(std::string_view block, Params* params);

// Appends the encoding of one name-value pair to *out.
void AppendParam(std::string_view name, std::string_view value, std::string* out);

// Appends one record with `content` (at most kMaxRecordContent bytes) and
// no padding to *out.
void AppendRecord(uint8_t type, uint16_t request_id, std::string_view content, std::string* out);

// Appends `content` as records of `type`, split at kMaxRecordContent.
// Nothing is appended for empty content (the empty record that ends a
// stream is the caller's to add).
void AppendStream(uint8_t type, uint16_t request_id, std::string_view content, std::string* out);

// Appends an END_REQUEST record to *out.
void AppendEndRequest(uint16_t request_id, uint32_t app_status, ProtocolStatus status,
                      std::string* out);

// One record; `content` points into the reader that produced it and stays
// valid until that reader is given more bytes.
struct Record {
  uint8_t type = 0;
  uint16_t request_id = 0;
  std::string_view content;
};

// Cuts a byte stream into records. Padding is skipped on every record type;
// only the version byte is checked here.
class RecordReader {
 public:
  enum class Result {
    kNeedMore,    // every byte given was taken; no record is complete yet
    kRecord,      // *record is complete
    kBadVersion,  // the stream is not FastCGI version 1; give up on it
  };

  // Takes bytes from `data` until one record is complete or `size` bytes
  // are used up, and stores the count taken in *used. After kBadVersion
  // every call returns kBadVersion and takes nothing.
  Result Next(const char* data, size_t size, size_t* used, Record* record);

 private:
  unsigned char header_[kRecordHeaderSize] = {};
  size_t header_bytes_ = 0;
  std::string content_;  // at most kMaxRecordContent bytes
  size_t content_length_ = 0;
  size_t padding_left_ = 0;
  bool bad_ = false;
};

struct Limits {
  size_t max_params = 64 * 1024;          // encoded size of the parameter block
  uint64_t max_body = 30000000;           // bytes of FCGI_STDIN
  unsigned max_connections = 1024;        // reported as FCGI_MAX_CONNS and FCGI_MAX_REQS
};

// A responder request as it arrived. When a limit was passed, the part
// beyond it was dropped: `params` or `body` is then empty and the matching
// flag is set.
struct ResponderRequest {
  uint16_t id = 0;
  bool keep_conn = false;
  Params params;
  std::string body;        // the body's first isapi::kBodyWindow bytes
  isapi::BodySpool spool;  // the rest of the body
  uint64_t body_length = 0;
  bool params_too_large = false;
  bool body_too_large = false;
  bool body_lost = false;  // the spool could not take the rest
};

// The receiving half of one FastCGI connection: one responder request at a
// time (FCGI_MPXS_CONNS is 0).
//
//   - FCGI_GET_VALUES (request id 0) is answered in replies() with the
//     FCGI_MAX_CONNS, FCGI_MAX_REQS and FCGI_MPXS_CONNS values asked for.
//   - A record of a type this side does not know (0, or above 11), and a
//     management record (id 0) other than GET_VALUES, is answered with
//     FCGI_UNKNOWN_TYPE.
//   - BEGIN_REQUEST for a role other than responder is answered with
//     END_REQUEST(FCGI_UNKNOWN_ROLE) and ends the request (kEnded); a second
//     BEGIN_REQUEST while one is in progress gets END_REQUEST
//     (FCGI_CANT_MPX_CONN) and its other records are ignored.
//   - ABORT_REQUEST for the request in progress ends it with
//     END_REQUEST(FCGI_REQUEST_COMPLETE) (kEnded).
//   - Records for request ids that are not in progress are ignored, as the
//     protocol asks; so are FCGI_DATA records.
//   - Protocol errors (kError): a version other than 1, a BEGIN_REQUEST
//     with id 0, with content other than 8 bytes or for the id in progress,
//     STDIN before the parameters ended, PARAMS after they ended, a
//     parameter or GET_VALUES block whose lengths run past its end, or a
//     record type only an application sends (STDOUT, STDERR, END_REQUEST,
//     GET_VALUES_RESULT, UNKNOWN_TYPE) or GET_VALUES under a request id.
class RequestReader {
 public:
  enum class Event {
    kNeedMore,  // every byte given was taken; nothing to act on yet
    kRequest,   // request() is complete: parameters and body have ended
    kEnded,     // the request was aborted or refused; replies() ends it
    kError,     // protocol error (error() says which): close unanswered
  };

  explicit RequestReader(const Limits& limits) : limits_(limits) {}

  // Takes bytes from `data` until an event other than kNeedMore or until
  // all `size` bytes are taken; stores the count taken in *used. Once
  // kRequest, kEnded or kError is returned, every later call returns it
  // again and takes nothing.
  Event Feed(const char* data, size_t size, size_t* used);

  // Records to send to the web server now (management answers, refusals).
  // The caller sends them and clears the string.
  std::string* replies() { return &replies_; }

  // Whether a responder request has begun (BEGIN_REQUEST accepted).
  bool started() const { return stage_ != Stage::kIdle; }

  // The request; complete after kRequest.
  ResponderRequest& request() { return request_; }

  // Why kError was returned; "" otherwise.
  const char* error() const { return error_; }

 private:
  enum class Stage { kIdle, kParams, kStdin, kDone };

  Event Fail(const char* reason);
  Event OnRecord(const Record& record);
  Event OnManagementRecord(const Record& record);
  Event OnBeginRequest(const Record& record);
  Event OnParams(const Record& record);
  Event OnStdin(const Record& record);

  Limits limits_;
  RecordReader records_;
  Stage stage_ = Stage::kIdle;
  Event final_ = Event::kNeedMore;
  std::string param_block_;
  ResponderRequest request_;
  std::string replies_;
  const char* error_ = "";
};

}  // namespace isapi_fcgi
