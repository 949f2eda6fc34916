// The host side of the extension interface, independent of any HTTP engine.
//
// A front end (the standalone HTTP server, the FastCGI server) receives a
// request its own way, fills in a Request, and hands it to Module::Serve
// together with a ResponseSink. The core builds the control block, runs
// HttpExtensionProc, answers the module's callbacks (GetServerVariable,
// ServerSupportFunction, WriteClient, ReadClient) with the Win32 results and
// last-error values the module expects, validates the module's header block
// and tells the sink how the answer is framed. The front end only moves
// bytes.
//
// Errors the core reports to the module go through SetLastError() of
// libwin32compat.so; the host links that library, so host and module share
// one thread-local last error.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "isapi/isapi.h"

namespace isapi {

struct HeaderField {
  std::string name;
  std::string value;
};

// One complete HTTP request as the front end received it. Every string is
// "" when the front end has no value for it.
struct Request {
  std::string method;       // "GET", as sent
  std::string target;       // request-target as sent: "/a%20b?x=1"
  std::string path;         // whole path, percent-decoded: "/a b" (SCRIPT_NAME + PATH_INFO)
  std::string query;        // raw text after the first '?'; "" when none
  std::string script_name;  // leading part of `path` naming the module; "" when it serves everything
  std::string protocol;     // "HTTP/1.1"
  std::vector<HeaderField> headers;  // in arrival order, names as sent
  std::string body;                  // the whole request body
  std::string remote_addr;           // "127.0.0.1"
  uint16_t remote_port = 0;
  std::string local_addr;
  uint16_t local_port = 0;
  std::string server_name;      // Host header without port, else the local address
  std::string server_software;  // "isapi-server/0.0.1"
  bool https = false;
};

// How the body of an answer is delimited on the wire.
enum class Framing {
  // The module gave Content-Length; ResponseHead::content_length holds it.
  // The core passes at most that many body bytes to the sink; if the module
  // writes fewer, the sink sees Finish(false) and must close the connection.
  kContentLength,
  // The module gave "Transfer-Encoding: chunked" and writes the chunks
  // itself: the front end passes the bytes through untouched (never chunks
  // them again) and closes the connection afterwards.
  kModuleChunked,
  // Neither: the front end delimits the body (chunked for HTTP/1.1, close
  // for HTTP/1.0, or its protocol's own records).
  kFrontEnd,
};

// Status line and headers of one answer, as the sink receives them.
struct ResponseHead {
  int status = 200;               // 100..999
  std::string status_text;        // "200 OK": code and reason, no CR/LF
  std::vector<HeaderField> headers;  // module's header lines in order; values
                                     // without surrounding blanks
  std::string header_block;  // the same lines exactly as the module gave them,
                             // each ending in CRLF, without the blank line
  Framing framing = Framing::kFrontEnd;
  uint64_t content_length = 0;  // valid with Framing::kContentLength
  // FALSE when the module asked to close the connection after this answer
  // (HSE_SEND_HEADER_EX_INFO::fKeepConn == FALSE). The front end may close
  // for its own reasons as well.
  bool keep_conn = true;
  // FALSE for HEAD and for statuses 1xx, 204 and 304: WriteBody is then
  // never called, but Content-Length stays what the module said.
  bool has_body = true;
};

// Where the core sends one answer. Called only on the thread that runs
// Module::Serve or a thread of the module while Serve is in progress; the
// core never calls one sink from two threads at once.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;

  // Sends the status line and headers. Called exactly once per request,
  // before any WriteBody. Returns false when the client is gone; the core
  // then makes no further call but Finish.
  virtual bool SendHead(const ResponseHead& head) = 0;

  // Sends `size` (> 0) body bytes, blocking until the front end has taken
  // them. Returns false when they cannot be delivered (client gone, the
  // front end's buffer limit reached); the module's WriteClient then fails.
  virtual bool WriteBody(const void* data, size_t size) = 0;

  // Called once, last, after HttpExtensionProc returned (and, for a pending
  // request, after HSE_REQ_DONE_WITH_SESSION). `complete` is false when the
  // body is shorter than the Content-Length the module announced or a write
  // failed: the front end must not reuse the connection.
  virtual void Finish(bool complete) = 0;

  // Whether the client connection may stay open after this answer, as the
  // front end negotiated it with the client. Answers HSE_REQ_IS_KEEP_CONN.
  virtual bool ClientKeepsAlive() = 0;
};

// What happened to one request, for the access log.
struct ServeResult {
  int status = 0;           // the status that was sent
  uint64_t body_bytes = 0;  // body bytes the sink accepted
  // Body bytes the module wrote to an answer that has no body (HEAD): what
  // a front end that collects the whole answer announces as its length.
  uint64_t withheld_body_bytes = 0;
};

// A loaded extension module. Thread-safe: Serve may run on many threads at
// once, as the extension interface requires of modules.
class Module {
 public:
  // Loads the shared object at `path` with dlopen(RTLD_NOW | RTLD_LOCAL),
  // resolves GetExtensionVersion and HttpExtensionProc (required) and
  // TerminateExtension (optional), and calls GetExtensionVersion once with
  // a zeroed HSE_VERSION_INFO. Returns nullptr with a one-line reason in
  // *error when the file cannot be loaded, a required symbol is missing or
  // GetExtensionVersion returns FALSE (the module's last error is included);
  // the object is unloaded again in those cases.
  static std::unique_ptr<Module> Load(const std::string& path, std::string* error);

  // Calls Terminate() if nobody did.
  ~Module();

  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // The description the module reported in GetExtensionVersion.
  const std::string& description() const { return description_; }

  // Runs `request` through HttpExtensionProc and sends the answer to `sink`.
  // Returns when the module is done with the request: after
  // HttpExtensionProc returned, or for HSE_STATUS_PENDING after the module
  // sent HSE_REQ_DONE_WITH_SESSION. By then sink->SendHead has been called
  // exactly once and sink->Finish last. A module that sent nothing, a bad
  // header block or status, or a module that returned HSE_STATUS_ERROR
  // before sending anything yields 500 with an empty body. After
  // Terminate() the module is not called and the answer is 503.
  // `request` and `sink` must outlive the call.
  ServeResult Serve(const Request& request, ResponseSink* sink);

  // Refuses new requests, waits until every request inside the module has
  // left it, calls TerminateExtension(HSE_TERM_MUST_UNLOAD) once and unloads
  // the module. Later calls do nothing. Blocks for as long as a request is
  // inside the module.
  void Terminate();

 private:
  Module() = default;

  void* handle_ = nullptr;
  PFN_HTTPEXTENSIONPROC http_extension_proc_ = nullptr;
  PFN_TERMINATEEXTENSION terminate_extension_ = nullptr;
  std::string description_;

  std::mutex mutex_;
  std::condition_variable idle_;
  int in_flight_ = 0;
  bool terminated_ = false;
};

// Checks the status and header block a module passes with
// HSE_REQ_SEND_RESPONSE_HEADER(_EX) and fills `head` with them: status,
// header lines, the block as sent on, and the framing its Content-Length or
// Transfer-Encoding lines give. `body` gets the bytes after the block's
// blank line, which belong to the answer's body. Returns false for a status
// or block the host must not pass on (the answer is then a 500).
bool ParseResponseHead(std::string_view status, std::string_view block, ResponseHead* head,
                       std::string_view* body);

// Splits a request-target into its percent-decoded path and its raw query
// (text after the first '?', "" when none). Returns false for a target that
// does not start with '/', has a malformed %-escape or decodes to a NUL
// byte; the front end answers 400 then.
bool SplitTarget(const std::string& target, std::string* path, std::string* query);

// Whether HTTP lets the connection persist after this request: HTTP/1.1
// unless "Connection: close", HTTP/1.0 only with "Connection: keep-alive".
bool ClientAllowsKeepAlive(const Request& request);

// The reason phrase of common status codes ("Not Found"), "" for others.
const char* ReasonPhrase(int status);

}  // namespace isapi
