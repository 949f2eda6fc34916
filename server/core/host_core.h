// The host side of the extension interface, independent of any HTTP engine.
//
// Words as this code uses them: a host is one of the three programs that
// load a module (isapi-server, isapi-fcgi, nginx with the module); its
// front end is the part that speaks its protocol; the host core, here, is
// what all three share.
//
// A front end (isapi-server's HTTP, isapi-fcgi's FastCGI, the nginx module)
// receives a request its own way, fills in a Request, and hands it to
// Module::Serve together with a ResponseSink. The core builds the control
// block, runs HttpExtensionProc, answers the module's callbacks
// (GetServerVariable, ServerSupportFunction, WriteClient, ReadClient) with
// the Win32 results and last-error values the module expects, and turns
// what the module writes into one answer by one rule, the same for every
// front end. The front end only frames and moves the bytes.
//
// The answer rule (docs/linux.md has it as a table):
//  - The module's header block is checked; a bad status or block is a 500.
//  - A module's own "Transfer-Encoding: chunked" is decoded here: the sink
//    never sees that header line nor the chunk framing, only the data.
//    Malformed chunking, or chunking that never reaches its last chunk,
//    counts as a short body.
//  - The answer is held until the module is done or its body passes the
//    hold limit (Module::set_hold_limit). An answer held whole is checked
//    before its first byte leaves: no header at all, or a body shorter than
//    the module's Content-Length (or chunking), becomes a bare 500. A good
//    one reaches the sink with its length known (Framing::kHeldLength when
//    the module gave none).
//  - A longer answer streams: the sink gets the head and the held bytes as
//    soon as the limit is passed, then each write. A short body then shows
//    as Finish(false), and the front end ends the client's connection
//    before the announced length (or the last chunk).
//
// Errors the core reports to the module go through SetLastError() of
// libwin32compat.so; the host links that library, so host and module share
// one thread-local last error.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "isapi/isapi.h"
#include "server/core/http_text.h"

namespace isapi {

// How much of a request body the module finds in lpbData before its first
// ReadClient: IIS's default read-ahead (UploadReadAheadSize).
constexpr size_t kBodyWindow = 48 * 1024;

// What cbTotalBytes says of a body whose length the module is not told
// (Request::body_length_unknown), as IIS and Apache say it of a chunked one.
constexpr uint32_t kUnknownBodyLength = 0xFFFFFFFF;

// The part of a request body that follows Request::body, which ReadClient
// hands to the module. A front end that streams the body implements it over
// its connection; one that holds the body before the call uses BodySpool
// (body_spool.h).
class BodyReader {
 public:
  virtual ~BodyReader() = default;
  // Reads up to `size` (> 0) bytes into `buffer`, blocking until at least
  // one byte or the end of the body has arrived. Returns the count, 0 at
  // the end of the body, or -1 when the client left before sending it all.
  // Called by one thread at a time.
  virtual long Read(void* buffer, size_t size) = 0;
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
  // The request body: all of it, or, with body_rest, its first bytes. The
  // module gets the first kBodyWindow bytes in lpbData (the core reads
  // them from body_rest when `body` is shorter) and the rest by ReadClient.
  std::string body;
  BodyReader* body_rest = nullptr;  // the bytes after `body`; nullptr when none
  uint64_t body_length = 0;  // with body_rest: the whole body's length
  // The module is told that the body's length is unknown (cbTotalBytes is
  // kUnknownBodyLength, CONTENT_LENGTH is empty) and reads to its end: the
  // body came chunked, or is 4 GiB or more, which cbTotalBytes cannot carry.
  bool body_length_unknown = false;
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
  // The module gave Content-Length (the line is among the head's headers);
  // ResponseHead::content_length holds it. The sink gets exactly that many
  // body bytes, or Finish(false).
  kContentLength,
  // The module gave no length, and the core held the whole body:
  // content_length is its size (for HEAD, the size the module wrote and
  // the core withheld). The front end announces it its own way; no
  // Content-Length line is among the headers. Never for 204 and 304,
  // which announce no length.
  kHeldLength,
  // The length is unknown: the answer streams, or it has no body to
  // measure (HEAD to a module that writes none, 204, 304). The front end
  // delimits the body: chunked for HTTP/1.1, close for HTTP/1.0, or its
  // protocol's own records.
  kFrontEnd,
};

// Status line and headers of one answer, as the sink receives them.
struct ResponseHead {
  int status = 200;               // 200..999
  std::string status_text;        // "200 OK": code and reason, no CR/LF
  // The module's header lines in order, values without surrounding blanks;
  // never a Transfer-Encoding line (the core removed the module's chunking).
  std::vector<HeaderField> headers;
  std::string header_block;  // the same lines exactly as the module gave them,
                             // each ending in CRLF, without the blank line
  Framing framing = Framing::kFrontEnd;
  uint64_t content_length = 0;  // valid with kContentLength and kHeldLength
  // FALSE when the module asked to close the connection after this answer
  // (HSE_SEND_HEADER_EX_INFO::fKeepConn == FALSE). The front end may close
  // for its own reasons as well.
  bool keep_conn = true;
  // FALSE for statuses 204 and 304, which have neither body nor length
  // (the core gives them no held length; nginx drops the module's too).
  bool status_has_body = true;
  // FALSE for HEAD as well: WriteBody is then never called.
  bool has_body = true;
  // TRUE for the bare 500 the core sends in place of a module's answer it
  // cannot pass on (no header, a bad one, a held body shorter than
  // announced): the module is at fault, not the client nor the host.
  bool replaces_module_answer = false;
};

// Where the core sends one answer. Called only on the thread that runs
// Module::Serve or a thread of the module while Serve is in progress; the
// core never calls one sink from two threads at once.
//
// The calls of one request: SendHead once, WriteBody for each piece of
// body (none for an answer without body), Finish once, last. A held answer
// comes in one go when the module is done: SendHead, its body in one
// WriteBody (one per kBodyWindow bytes beyond that), Finish(true). A
// streamed one (Framing::kContentLength or kFrontEnd, passing the hold
// limit) begins while the module still writes.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;

  // Sends the status line and headers. Returns false when the client is
  // gone; the core then makes no further call but Finish.
  virtual bool SendHead(const ResponseHead& head) = 0;

  // Sends `size` (> 0) body bytes, decoded (never chunk framing), blocking
  // until the front end has taken them. Returns false when they cannot be
  // delivered (client gone, the front end's buffer limit reached); the
  // module's WriteClient then fails with ERROR_CONNECTION_ABORTED.
  virtual bool WriteBody(const void* data, size_t size) = 0;

  // Called once, last, after HttpExtensionProc returned (and, for a pending
  // request, after HSE_REQ_DONE_WITH_SESSION). `complete` is false when a
  // streamed body ended short of its Content-Length, its chunking was
  // malformed or unfinished, or a write failed: the front end must then end
  // the client's connection without completing the answer (no last chunk,
  // no end-of-stream record), so that the client sees it cut short.
  virtual void Finish(bool complete) = 0;

  // Whether the client connection may stay open after this answer, as the
  // front end negotiated it with the client. Answers HSE_REQ_IS_KEEP_CONN.
  virtual bool ClientKeepsAlive() = 0;

  // Whether the front end has given the request up (the client went, a
  // time limit passed) while the module still runs: its writes then fail
  // at once, also while the answer is held and no SendHead or WriteBody
  // would tell.
  virtual bool ClientGone() { return false; }
};

// What happened to one request, for the access log.
struct ServeResult {
  int status = 0;           // the status that was sent
  uint64_t body_bytes = 0;  // body bytes the sink accepted
};

// The hold limit when none is set: 1 MiB of body.
constexpr uint64_t kDefaultHoldLimit = 1024 * 1024;

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

  // How many body bytes an answer may have and still be held whole (see
  // the answer rule above). Set it before the first Serve.
  void set_hold_limit(uint64_t bytes) { hold_limit_ = bytes; }

  // Runs `request` through HttpExtensionProc and sends the answer to `sink`
  // by the answer rule. Returns when the module is done with the request:
  // after HttpExtensionProc returned, or for HSE_STATUS_PENDING after the
  // module sent HSE_REQ_DONE_WITH_SESSION. After Terminate() the module is
  // not called and the answer is a bare 503 that closes the connection.
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
  uint64_t hold_limit_ = kDefaultHoldLimit;

  std::mutex mutex_;
  std::condition_variable idle_;
  int in_flight_ = 0;
  bool terminated_ = false;
};

// Sends an answer that has a status and nothing else, for a request the
// front end refuses before the module sees it: SendHead (no header lines,
// Framing::kHeldLength with length 0, keep_conn false), then Finish(true).
// `has_body` is false for HEAD.
void SendBareAnswer(ResponseSink* sink, int status, bool has_body);

}  // namespace isapi
