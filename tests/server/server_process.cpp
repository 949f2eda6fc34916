#include "tests/server/server_process.h"

#include <arpa/inet.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "tests/support/wait.h"

namespace server_test {
namespace {

// The isapi-server command line. The tests run as root in CI, where the
// server refuses to run a module unless allowed: this is the one place
// that allows it.
std::vector<std::string> ServerCommand(const std::vector<std::string>& args, bool allow_root) {
  std::vector<std::string> argv = {ISAPI_SERVER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  if (allow_root) argv.push_back("--allow-root");
  return argv;
}

constexpr char kOutput[] = "output.log";
constexpr std::chrono::milliseconds kWait{10000};

// Reads from `fd` until `stop` returns true, EOF or the deadline.
template <typename Stop>
std::string ReadUntil(int fd, int timeout_ms, Stop stop) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!stop(text)) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) break;
    pollfd poll_fd{fd, POLLIN, 0};
    if (poll(&poll_fd, 1, left) <= 0) break;
    char buffer[65536];
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) break;
    text.append(buffer, static_cast<size_t>(count));
  }
  return text;
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment,
                             const std::string& listen) {
  std::vector<std::string> all = args;
  all.push_back("--listen");
  all.push_back(listen);
  child_ = std::make_unique<test_support::Child>(ServerCommand(all, true), environment,
                                                 dir_.path() + "/" + kOutput);
  // "listening on 127.0.0.1:PORT" or "listening on [::1]:PORT"; a server
  // that exits first prints why.
  const std::string prefix = "\nlistening on ";
  std::string line;
  test_support::WaitForWrites(dir_.path(), kWait, [&] {
    std::string output = "\n" + Output();
    size_t start = output.find(prefix);
    size_t end = start == std::string::npos ? start : output.find('\n', start + 1);
    if (end == std::string::npos) return child_->WaitExit(std::chrono::milliseconds(0)) != -1;
    line = output.substr(start + prefix.size(), end - start - prefix.size());
    return true;
  });
  size_t colon = line.rfind(':');
  if (colon == std::string::npos) return;
  listening_on_ = line;
  port_ = atoi(line.c_str() + colon + 1);
}

std::string ServerProcess::Output() const {
  return test_support::ReadFile(dir_.path() + "/" + kOutput);
}

bool ServerProcess::WaitForOutput(const std::string& text, int timeout_ms) {
  return test_support::WaitForWrites(dir_.path(), std::chrono::milliseconds(timeout_ms), [&] {
    return Output().find(text) != std::string::npos;
  });
}

namespace {

// The end of a pipe a child inherits, moved above the low descriptors a
// child has handed to it in their place (nginx's inherited socket is 3).
int AboveInherited(int fd) {
  int moved = fcntl(fd, F_DUPFD, 10);
  close(fd);
  return moved;
}

}  // namespace

ProbeEvents::ProbeEvents() {
  int fds[2];
  if (pipe(fds) != 0) return;
  read_end_ = fds[0];
  write_end_ = AboveInherited(fds[1]);
  fcntl(read_end_, F_SETFD, FD_CLOEXEC);
}

ProbeEvents::~ProbeEvents() {
  if (read_end_ >= 0) close(read_end_);
  if (write_end_ >= 0) close(write_end_);
}

std::string ProbeEvents::Environment() const {
  return "PROBE_EVENT_FD=" + std::to_string(write_end_);
}

bool ProbeEvents::WaitFor(const std::string& event, int timeout_ms) {
  const std::string line = event + "\n";
  auto arrived = [&](const std::string& text) {
    return text.compare(0, line.size(), line) == 0 ||
           text.find("\n" + line) != std::string::npos;
  };
  if (arrived(seen_)) return true;
  seen_ += ReadUntil(read_end_, timeout_ms, [&](const std::string& more) {
    return arrived(seen_ + more);
  });
  return arrived(seen_);
}

ProbeGate::ProbeGate() {
  int fds[2];
  if (pipe(fds) != 0) return;
  read_end_ = AboveInherited(fds[0]);
  write_end_ = fds[1];
  fcntl(write_end_, F_SETFD, FD_CLOEXEC);
}

ProbeGate::~ProbeGate() {
  if (read_end_ >= 0) close(read_end_);
  if (write_end_ >= 0) close(write_end_);
}

std::string ProbeGate::Environment() const {
  return "PROBE_GATE_FD=" + std::to_string(read_end_);
}

void ProbeGate::Open() {
  // The read end then stays readable for good.
  close(write_end_);
  write_end_ = -1;
}

int ServerProcess::StopWith(int signal) {
  child_->Signal(signal);
  return child_->WaitExit(kWait);
}

int RunServerToExit(const std::vector<std::string>& args, std::string* output,
                    bool allow_root) {
  // A server that gets as far as listening must not collide with another
  // on the default port.
  std::vector<std::string> all = args;
  if (std::none_of(args.begin(), args.end(),
                   [](const std::string& arg) { return arg.rfind("--listen", 0) == 0; })) {
    all.insert(all.end(), {"--listen", "127.0.0.1:0"});
  }
  test_support::TempDir dir;
  test_support::Child child(ServerCommand(all, allow_root), {}, dir.path() + "/" + kOutput);
  int code = child.WaitExit(kWait);
  *output = test_support::ReadFile(dir.path() + "/" + kOutput);
  return code;
}

RawConnection::RawConnection(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close();
  }
}

RawConnection::~RawConnection() { Close(); }

bool RawConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t count = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return fd_ >= 0;
}

std::string RawConnection::ReadUntilClose(int timeout_ms) {
  if (fd_ < 0) return std::string();
  return ReadUntil(fd_, timeout_ms, [](const std::string&) { return false; });
}

std::string RawConnection::ReadAtLeast(size_t count, int timeout_ms) {
  if (fd_ < 0) return std::string();
  return ReadUntil(fd_, timeout_ms, [count](const std::string& text) {
    return text.size() >= count;
  });
}

std::string RawConnection::ReadThrough(const std::string& marker, int timeout_ms) {
  if (fd_ < 0) return std::string();
  return ReadUntil(fd_, timeout_ms, [&marker](const std::string& text) {
    return text.find(marker) != std::string::npos;
  });
}

bool RawConnection::WaitForClose(int timeout_ms) {
  if (fd_ < 0) return true;
  pollfd poll_fd{fd_, POLLIN, 0};
  while (poll(&poll_fd, 1, timeout_ms) == 1) {
    char buffer[4096];
    if (read(fd_, buffer, sizeof buffer) <= 0) return true;
  }
  return false;
}

void RawConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace server_test
