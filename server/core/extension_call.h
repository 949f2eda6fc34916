// The state of one request while the module works on it, and the callbacks
// of its control block. Private to the core.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "isapi/isapi.h"
#include "server/core/answer.h"
#include "server/core/host_core.h"

namespace isapi {

// ConnID points here. `request` and the control block's copies never
// change during the call, so GetServerVariable and ReadClient read them
// without a lock; every callback that touches the answer (the header
// requests, WriteClient, HSE_REQ_DONE_WITH_SESSION, HSE_REQ_IS_KEEP_CONN)
// holds `mutex`, which serialises the sink calls of one request.
struct ExtensionCall {
  ExtensionCall(const Request& request, ResponseSink* sink, uint64_t hold_limit);

  uint32_t magic;
  const Request* request;
  ResponseSink* sink;

  std::mutex mutex;
  std::condition_variable session_done;
  bool done_with_session = false;
  ModuleResponse response;

  // Writable copies for the control block's string members; `body` is
  // what lpbData shows, at most kBodyWindow bytes.
  std::string method, query, path_info, path_translated, content_type, body;
  EXTENSION_CONTROL_BLOCK ecb;

  // ReadClient's place in the body, under its own lock: a ReadClient that
  // waits for the client must not hold up the module's writes.
  std::mutex read_mutex;
  size_t memory_read = 0;  // bytes of request->body handed out so far
  enum class Rest { kReading, kEnded, kClientLeft } rest = Rest::kReading;
};

}  // namespace isapi
