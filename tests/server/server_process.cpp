#include "tests/server/server_process.h"

#include <arpa/inet.h>

#include <algorithm>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/wait.h"

extern char** environ;

namespace server_test {
namespace {

// Starts the server with stdout (and stderr when `merge_stderr`) on a pipe.
// The tests run as root in CI, where the server refuses to run a module
// unless allowed: this is the one place that allows it.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment,
            bool merge_stderr, bool allow_root, int* read_end) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  if (merge_stderr) posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);

  std::vector<std::string> argv_text = {ISAPI_SERVER_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  if (allow_root) argv_text.push_back("--allow-root");
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) env_text.push_back(*entry);
  env_text.insert(env_text.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  if (posix_spawn(&pid, ISAPI_SERVER_PATH, &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  *read_end = pipe_fds[0];
  return pid;
}

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

int WaitForExit(pid_t pid, int timeout_ms) {
  int status = 0;
  if (test_support::WaitForChildExit(pid, std::chrono::milliseconds(timeout_ms), &status)) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment,
                             const std::string& listen, bool with_stderr) {
  std::vector<std::string> all = args;
  all.push_back("--listen");
  all.push_back(listen);
  int out = -1;
  pid_ = Spawn(all, environment, with_stderr, true, &out);
  if (pid_ < 0) return;
  output_ = out;
  output_text_ = ReadUntil(out, 10000, [](const std::string& text) {
    return text.find('\n') != std::string::npos;
  });
  // "listening on 127.0.0.1:PORT" or "listening on [::1]:PORT".
  const std::string prefix = "listening on ";
  size_t colon = output_text_.rfind(':');
  if (output_text_.compare(0, prefix.size(), prefix) == 0 && colon != std::string::npos) {
    listening_on_ = output_text_.substr(prefix.size(), output_text_.find('\n') - prefix.size());
    port_ = atoi(output_text_.c_str() + colon + 1);
  }
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) StopWith(SIGKILL);
  if (output_ >= 0) close(output_);
}

bool ServerProcess::WaitForOutput(const std::string& text, int timeout_ms) {
  if (output_text_.find(text) != std::string::npos) return true;
  output_text_ += ReadUntil(output_, timeout_ms, [&](const std::string& more) {
    return (output_text_ + more).find(text) != std::string::npos;
  });
  return output_text_.find(text) != std::string::npos;
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
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = WaitForExit(pid_, 10000);
  pid_ = -1;
  return status;
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
  int out = -1;
  pid_t pid = Spawn(all, {}, true, allow_root, &out);
  if (pid < 0) return -1;
  *output = ReadUntil(out, 10000, [](const std::string&) { return false; });
  close(out);
  return WaitForExit(pid, 10000);
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
