// Runs isapi-server as a child process on a free port, and talks to it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/temp_dir.h"

namespace server_test {

class ServerProcess {
 public:
  // Starts isapi-server with `args` plus "--listen LISTEN" and waits (at
  // most 10 s) for its "listening on" line. Check started() after.
  // `environment` entries ("NAME=value") are added to the child's. Killed
  // on destruction if it still runs.
  explicit ServerProcess(const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {},
                         const std::string& listen = "127.0.0.1:0");

  bool started() const { return port_ != 0; }
  int port() const { return port_; }
  pid_t pid() const { return child_->pid(); }
  // What the server printed after "listening on ": "127.0.0.1:PORT".
  const std::string& listening_on() const { return listening_on_; }

  // Waits until what the server printed on standard output and standard
  // error holds `text` (true) or `timeout_ms` passed (false).
  bool WaitForOutput(const std::string& text, int timeout_ms = 10000);

  // Sends `signal` and waits (at most 10 s) for the exit. Returns the exit
  // code, 128 + signal number when it died of a signal, or -1 when it did
  // not exit in time.
  int StopWith(int signal);

 private:
  std::string Output() const;

  test_support::TempDir dir_;  // holds the output, before the child that writes it
  std::unique_ptr<test_support::Child> child_;
  int port_ = 0;
  std::string listening_on_;
};

// What the probe module reports (see probe_module.cpp): "enter PATH" when a
// request reaches HttpExtensionProc, "leave PATH" when it returns. Pass
// Environment() to the server; the pipe's write end is inherited.
class ProbeEvents {
 public:
  ProbeEvents();
  ~ProbeEvents();
  ProbeEvents(const ProbeEvents&) = delete;
  ProbeEvents& operator=(const ProbeEvents&) = delete;

  std::string Environment() const;
  // Reads events until the line `event` (without its newline) arrived
  // (true) or `timeout_ms` passed (false).
  bool WaitFor(const std::string& event, int timeout_ms = 10000);
  // Every event read so far, each ending in a newline, in order.
  const std::string& seen() const { return seen_; }

 private:
  int read_end_ = -1;
  int write_end_ = -1;
  std::string seen_;
};

// A gate the probe module's /gate requests wait at until Open(): a pipe
// whose read end they inherit (PROBE_GATE_FD), so that a test can hold a
// request inside the module while it acts, without a second request.
class ProbeGate {
 public:
  ProbeGate();
  ~ProbeGate();
  ProbeGate(const ProbeGate&) = delete;
  ProbeGate& operator=(const ProbeGate&) = delete;

  std::string Environment() const;
  // Lets every waiting request (and later ones) through.
  void Open();

 private:
  int read_end_ = -1;
  int write_end_ = -1;
};

// Runs isapi-server with `args` to completion (at most 10 s). Returns its
// exit code as StopWith does, and stores what it printed on stdout and
// stderr in *output.
// `allow_root` false leaves out the --allow-root every other run gets.
int RunServerToExit(const std::vector<std::string>& args, std::string* output,
                    bool allow_root = true);

// A plain TCP connection to 127.0.0.1:port, for what a well-behaved HTTP
// client will not send.
class RawConnection {
 public:
  explicit RawConnection(int port);
  ~RawConnection();

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Reads until the peer closes or `timeout_ms` passes without data.
  std::string ReadUntilClose(int timeout_ms = 3000);
  // Reads until `count` bytes arrived, the peer closes or the timeout.
  std::string ReadAtLeast(size_t count, int timeout_ms = 3000);
  // Reads until `marker` arrived, the peer closes or the timeout.
  std::string ReadThrough(const std::string& marker, int timeout_ms = 3000);
  // Whether the peer closed (or reset) the connection within `timeout_ms`;
  // what it sent meanwhile is discarded.
  bool WaitForClose(int timeout_ms);
  void Close();

 private:
  int fd_ = -1;
};

// One answer as libcurl saw it.
struct CurlAnswer {
  long status = 0;
  int curl_code = -1;
  std::vector<std::string> header_lines;  // raw, with CRLF, status line first
  std::string body;
};

}  // namespace server_test
