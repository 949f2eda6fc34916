// Helpers for the isapi-fcgi tests: an isapi-fcgi process, a FastCGI client,
// throw-away directories and raw HTTP exchanges. Every wait is bounded.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/temp_dir.h"

namespace fcgi_test {

using Params = std::vector<std::pair<std::string, std::string>>;

constexpr std::chrono::milliseconds kWait{10000};

using test_support::ReadFile;
using test_support::TempDir;

// Connects to a Unix socket or to 127.0.0.1:port. Returns the descriptor or
// -1. Servers under test listen before a test connects: FcgiServer returns
// once isapi-fcgi serves, and nginx inherits a socket already listening.
int ConnectUnix(const std::string& path);
int ConnectTcp(uint16_t port);

// A listening Unix socket at `path`; the descriptor, or -1.
int ListenUnix(const std::string& path);

// Writes all of `data`; false on error.
bool SendAll(int fd, const std::string& data);
// Reads until the peer closes or `timeout` passes; *closed tells which.
std::string ReadUntilClosed(int fd, bool* closed, std::chrono::milliseconds timeout = kWait);

// FastCGI records (version 1) as a web server sends them, through the
// product's own encoder (server/fcgi/fcgi_record.h).
std::string Record(uint8_t type, uint16_t request_id, const std::string& content);
std::string BeginRequest(uint16_t request_id, uint16_t role = 1, uint8_t flags = 0);
std::string EncodeParams(const Params& params);
// A whole responder request: BEGIN_REQUEST, PARAMS and an empty PARAMS
// record, STDIN records for `body` and the empty STDIN record.
std::string ResponderRequest(const Params& params, const std::string& body = "");

// What the application sent back on one connection.
struct Reply {
  std::string out;            // FCGI_STDOUT contents, concatenated
  bool ended = false;         // an FCGI_END_REQUEST record arrived
  int ends = 0;               // how many
  int protocol_status = -1;   // its protocolStatus
  std::string management;     // records with request id 0, as sent
  bool closed = false;        // the application closed the connection
  bool malformed = false;     // bytes that do not parse as records
};
Reply ParseReply(const std::string& bytes, bool closed);
// Reads the application's records on `fd` until `answers` END_REQUEST
// records have arrived, the peer closes, or kWait passes.
Reply ReadReplies(int fd, int answers = 1);

// The isapi-fcgi command line (ISAPI_FCGI_PATH) with `args`, and with
// --allow-root when the tests run as root, as in CI.
std::vector<std::string> FcgiCommand(const std::vector<std::string>& args);

// One isapi-fcgi process (ISAPI_FCGI_PATH) serving `module` on a Unix
// socket in its own directory, with two threads and `extra_args`. The
// directory also holds an installation whose notice page is `page`
// (ORVANE_INSDIR points at it), the process's stderr (log()) and the file
// TerminateExtension of the probe module writes to (terminate_log()).
// The constructor returns once the process reports that it serves, and
// throws std::runtime_error when it does not within kWait. Killed on
// destruction if running.
class FcgiServer {
 public:
  FcgiServer(const std::string& module, const std::string& page,
             const std::vector<std::string>& extra_args = {});

  Reply Send(const std::string& request) const;
  test_support::Child& child() { return *child_; }
  const std::string& socket_path() const { return socket_; }
  std::string log() const { return ReadFile(dir_.path() + "/stderr.log"); }
  std::string terminate_log() const { return ReadFile(dir_.path() + "/terminate.log"); }
  // Waits (at most kWait) until log() contains `text`.
  bool WaitForLog(const std::string& text) const;

 private:
  TempDir dir_;
  std::string socket_;
  std::unique_ptr<test_support::Child> child_;
};

// Sends `request` on a fresh connection to the Unix socket at `path` and
// reads the reply until the application closes the connection.
Reply Exchange(const std::string& socket_path, const std::string& request);

}  // namespace fcgi_test
