// A real nginx (the installed binary) for the tests: its own configuration,
// pid, logs and temp files in a temporary directory, serving on a loopback
// socket that the test binds and nginx inherits (test_support's
// LoopbackListener), so that there is no race for a port and no wait for
// nginx to start listening.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/server/fcgi_test_support.h"
#include "tests/support/child.h"
#include "tests/support/loopback_listener.h"

namespace nginx_test {

// The installed nginx binary; "" when nginx is not installed.
std::string FindNginx();

// What goes into nginx.conf besides the fixed parts (pid, logs, temp paths,
// events). In `http`, "LISTEN" stands for the inherited socket's address,
// and with `quic` "QUIC_ADDRESS" for that of an inherited UDP socket
// (`listen QUIC_ADDRESS quic;`, an nginx with http_v3_module).
struct Config {
  std::string main;       // main context: load_module, env, thread_pool
  std::string http;       // inside the http block: server blocks
  int workers = 1;        // worker processes beside the master (at least 1)
  int connections = 256;  // worker_connections
  bool quic = false;      // nginx also inherits a UDP socket
};

class Nginx {
 public:
  // Starts nginx in the foreground, a master and its workers in a process
  // group of their own, with `config`; `env` entries ("NAME=value") are added
  // to its environment.
  Nginx(const std::string& nginx, const Config& config, const std::vector<std::string>& env = {});
  // Quits gracefully (SIGQUIT) if it still runs; then kills whatever is left
  // of its process group, so that no worker outlives a failed test.
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  uint16_t port() const { return listener_.port(); }
  // The UDP port of QUIC_ADDRESS (a Config with `quic`).
  uint16_t quic_port() const { return quic_listener_ ? quic_listener_->port() : 0; }
  const std::string& dir() const { return dir_.path(); }
  test_support::Child& process() { return *child_; }

  // A new connection to nginx; -1 on failure.
  int Connect() const;
  // Sends `request` on a new connection and returns everything nginx
  // answers until it closes the connection ("<not closed>" appended when
  // it does not within the wait).
  std::string Exchange(const std::string& request) const;
  // SIGQUIT, then the exit code once nginx is gone (-1: still running).
  int Quit();
  // The error log and whatever nginx printed.
  std::string log() const;

 private:
  test_support::LoopbackListener listener_;
  std::unique_ptr<test_support::LoopbackListener> quic_listener_;
  fcgi_test::TempDir dir_;
  std::unique_ptr<test_support::Child> child_;
};

// Runs nginx once with `config` and `options` (`-t`: a configuration
// test), `env` added to its environment; returns its exit code and what it
// printed.
int RunOnce(const std::string& nginx, const Config& config, std::string* output,
            const std::vector<std::string>& options = {"-t"},
            const std::vector<std::string>& env = {});

// Replaces nginx's Date header values, the only part of an answer that
// changes from run to run, with "<now>".
std::string WithoutDates(const std::string& answer);

}  // namespace nginx_test
