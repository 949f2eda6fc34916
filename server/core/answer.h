// The module's response to one request on its way to a ResponseSink, under the
// answer rule that host_core.h describes: the module's chunks decoded,
// the answer held up to the hold limit and checked before its first byte
// leaves, streamed beyond it. A held body beyond kBodyWindow bytes waits in
// a temporary file, so that calls running side by side each keep little
// memory however high the limit. Not thread-safe: the caller serialises the
// calls of one answer.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

#include "server/core/body_spool.h"
#include "server/core/chunk_decoder.h"
#include "server/core/host_core.h"

namespace isapi {

class ModuleResponse {
 public:
  // What became of a module's call; the callbacks turn it into a Win32
  // result.
  enum class Outcome {
    kTaken,       // TRUE
    kRefused,     // FALSE, ERROR_INVALID_PARAMETER: out of order, bad head, bytes
                  // beyond the announced length or the last chunk, bad chunking
    kClientGone,  // FALSE, ERROR_CONNECTION_ABORTED
    kNotKept,     // FALSE, ERROR_WRITE_FAULT: the held body's temporary file
                  // could not be made or written; the answer becomes a 500
  };

  // `head_request`: the request was HEAD, so the answer has no body.
  ModuleResponse(ResponseSink* sink, uint64_t hold_limit, bool head_request)
      : sink_(sink), hold_limit_(hold_limit), head_request_(head_request) {}

  // The module's header call, with the body bytes that may follow the
  // block's blank line. A second call is refused; so is a bad status or
  // block, which makes the answer a bare 500.
  Outcome Begin(std::string_view status, std::string_view block, bool keep_conn);

  // The module's WriteClient: body bytes, in the module's chunked coding
  // when its head said so.
  Outcome Write(std::string_view bytes);

  // After the module is done with the request: sends what is held, or the
  // 500 that replaces an answer without a good head or with a short body,
  // and finishes the sink.
  ServeResult End();

  bool began() const { return began_; }
  // The status the answer carries so far: 0 before Begin, the module's,
  // or 500 after a bad head.
  int status() const { return !began_ ? 0 : rejected_ ? 500 : head_.status; }
  // Whether the module let the connection stay open.
  bool keep_conn() const { return !began_ || head_.keep_conn; }

 private:
  // Passes decoded body bytes on: to the held body, or to the sink once
  // the answer streams.
  Outcome Deliver(std::string_view data);
  // Starts streaming: the head and what was held go to the sink.
  bool Release();
  // Keeps body bytes until the answer is released or ends; false when the
  // file cannot be made or written.
  bool Hold(std::string_view data);
  // Passes what is held to the sink and forgets it.
  bool SendHeld();
  uint64_t held_bytes() const { return held_.size() + held_file_.unread() + staged_.size(); }
  // Whether the module wrote the whole body its head announced.
  bool BodyComplete() const;

  ResponseSink* sink_;
  uint64_t hold_limit_;
  bool head_request_;

  bool began_ = false;
  bool rejected_ = false;   // bad head: the answer is a 500
  bool chunked_ = false;
  bool body_written_ = false;  // the module wrote body bytes, coded or not
  bool streaming_ = false;  // the head has gone to the sink
  bool client_gone_ = false;
  bool hold_failed_ = false;
  ResponseHead head_;
  ChunkDecoder decoder_;
  std::string decoded_;      // scratch for one write's decoded bytes
  std::string held_;        // the held body's first kBodyWindow bytes,
  BodySpool held_file_;      // what followed them,
  std::string staged_;       // and the last bytes, for the file in one write
  // Decoded body bytes taken, within the announced length: held, streamed,
  // or withheld from an answer without body.
  uint64_t body_bytes_ = 0;
  uint64_t sent_bytes_ = 0;  // body bytes the sink accepted
};

// An answer with a status and no header line nor body (framing
// kHeldLength with length 0; kFrontEnd for 204 and 304).
ResponseHead BareHead(int status, bool has_body, bool keep_conn);

}  // namespace isapi
