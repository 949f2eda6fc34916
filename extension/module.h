// The extension module's own functions, shared by its translation units.
#pragma once

#include <stddef.h>

#include "isapi/isapi.h"

// Result code the handler reports in the TrResult header.
constexpr int kResultNotTranslated = -1;

// Sends status 200 (the host's default) and the no-cache header block that
// carries `result_code` as TrResult. The host's answer is ignored.
void SendResponseHeader(EXTENSION_CONTROL_BLOCK* ecb, int result_code);

// Sends the header block and the installation's notice page. Returns TRUE
// when both went to the host, FALSE when nothing was sent: every check that
// can fail (configuration, path, open, size, memory, read) is made before
// the first byte of the answer.
BOOL SendNoticePage(EXTENSION_CONTROL_BLOCK* ecb, int result_code);

// A server variable of any length up to kMaxServerVariableSize, read in
// the constructor. Values that fit the first offer are held in the object
// itself; only a longer one takes a heap block. A variable the host cannot
// give (unknown name, any error other than a short buffer, a longer value,
// or a host still asking for more after a few tries) reads as "".
class ServerVariable {
 public:
  ServerVariable(EXTENSION_CONTROL_BLOCK* ecb, const char* name);
  ~ServerVariable();
  ServerVariable(const ServerVariable&) = delete;
  ServerVariable& operator=(const ServerVariable&) = delete;

  // The NUL-terminated value; NULL only when memory ran out.
  const char* value() const { return value_; }

  static constexpr DWORD kFirstOffer = 257;

 private:
  // One byte past the offer stays zero, so the value is terminated even
  // when the host fills every offered byte.
  char first_[kFirstOffer + 1];
  char* larger_;
  const char* value_;
};
constexpr DWORD kMaxServerVariableSize = 64 * 1024;

// printf-style diagnostic trace. Writes nothing unless the module was built
// with tracing on (ORVANE_TRACE): then one line per call to stderr, or to
// the debugger output on Windows.
void TraceLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Whether this build traces. The module and its traced twin share every
// object but the trace's, so code that gathers something only for the
// trace asks this at run time rather than testing ORVANE_TRACE.
extern const bool kTraceOn;

// The built-in page sent when the notice page cannot be: Shift_JIS HTML
// saying that an internal error occurred and the translation run stopped.
extern const unsigned char kFallbackPage[219];
