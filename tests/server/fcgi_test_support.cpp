#include "tests/server/fcgi_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdexcept>

#include "server/fcgi/fcgi_record.h"
#include "tests/support/wait.h"

namespace fcgi_test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int Connect(const sockaddr* address, socklen_t length, int family) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, address, length) == 0) return fd;
  close(fd);
  return -1;
}

}  // namespace

int ConnectUnix(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return Connect(reinterpret_cast<sockaddr*>(&address), sizeof address, AF_UNIX);
}

int ConnectTcp(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return Connect(reinterpret_cast<sockaddr*>(&address), sizeof address, AF_INET);
}

int ListenUnix(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t count = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

std::string ReadUntilClosed(int fd, bool* closed, std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  std::string data;
  *closed = false;
  char buffer[8192];
  for (;;) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, RemainingMs(deadline)) <= 0) return data;
    ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) {
      *closed = true;
      return data;
    }
    data.append(buffer, static_cast<size_t>(count));
  }
}

std::string Record(uint8_t type, uint16_t request_id, const std::string& content) {
  std::string record;
  isapi_fcgi::AppendRecord(type, request_id, content, &record);
  return record;
}

std::string BeginRequest(uint16_t request_id, uint16_t role, uint8_t flags) {
  std::string body = {static_cast<char>(role >> 8), static_cast<char>(role & 0xff),
                      static_cast<char>(flags), 0, 0, 0, 0, 0};
  return Record(isapi_fcgi::kBeginRequest, request_id, body);
}

std::string EncodeParams(const Params& params) {
  std::string out;
  for (const auto& [name, value] : params) isapi_fcgi::AppendParam(name, value, &out);
  return out;
}

std::string ResponderRequest(const Params& params, const std::string& body) {
  std::string request = BeginRequest(1);
  isapi_fcgi::AppendStream(isapi_fcgi::kParams, 1, EncodeParams(params), &request);
  isapi_fcgi::AppendRecord(isapi_fcgi::kParams, 1, "", &request);
  isapi_fcgi::AppendStream(isapi_fcgi::kStdin, 1, body, &request);
  isapi_fcgi::AppendRecord(isapi_fcgi::kStdin, 1, "", &request);
  return request;
}

Reply ReadReplies(int fd, int answers) {
  Clock::time_point deadline = Clock::now() + kWait;
  std::string data;
  char buffer[8192];
  for (;;) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, RemainingMs(deadline)) <= 0) return ParseReply(data, false);
    ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) return ParseReply(data, true);
    data.append(buffer, static_cast<size_t>(count));
    Reply reply = ParseReply(data, false);
    if (reply.ends >= answers) return reply;
  }
}

Reply ParseReply(const std::string& bytes, bool closed) {
  using isapi_fcgi::kEndRequest, isapi_fcgi::kStdout;
  Reply reply;
  reply.closed = closed;
  size_t at = 0;
  while (at + 8 <= bytes.size()) {
    const unsigned char* header = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    size_t length = (size_t{header[4]} << 8) | header[5];
    size_t padding = header[6];
    if (header[0] != 1 || at + 8 + length + padding > bytes.size()) break;
    std::string content = bytes.substr(at + 8, length);
    if (header[1] == kStdout) reply.out += content;
    if (header[1] == kEndRequest) {
      reply.ended = true;
      ++reply.ends;
      if (length >= 5) reply.protocol_status = static_cast<unsigned char>(content[4]);
    }
    if (header[2] == 0 && header[3] == 0) reply.management += bytes.substr(at, 8 + length + padding);
    at += 8 + length + padding;
  }
  reply.malformed = at != bytes.size();
  return reply;
}

std::vector<std::string> FcgiCommand(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ISAPI_FCGI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  if (geteuid() == 0) argv.push_back("--allow-root");
  return argv;
}

FcgiServer::FcgiServer(const std::string& module, const std::string& page,
                       const std::vector<std::string>& extra_args) {
  dir_.Write("data/dremgate_j.ini",
             "[Template]\r\nerr=" + dir_.path() + "\\template\\dremerror.html\r\n");
  dir_.Write("template/dremerror.html", "<html>template</html>");
  dir_.Write("help/nohp.html", page);
  socket_ = dir_.path() + "/fcgi.sock";
  std::vector<std::string> argv =
      FcgiCommand({"--module", module, "--socket", "unix:" + socket_, "--threads", "2"});
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  child_ = std::make_unique<test_support::Child>(
      argv,
      std::vector<std::string>{"ORVANE_INSDIR=" + dir_.path(),
                               "PROBE_TERMINATE_LOG=" + dir_.path() + "/terminate.log"},
      dir_.path() + "/stderr.log");
  // Ready once the module is loaded; a web server in front may send at once,
  // and does not retry a socket that is not there yet.
  if (!WaitForLog("listening on unix:" + socket_)) {
    throw std::runtime_error("isapi-fcgi did not start serving:\n" + log());
  }
}

bool FcgiServer::WaitForLog(const std::string& text) const {
  return test_support::WaitForWrites(dir_.path(), kWait,
                                     [&] { return log().find(text) != std::string::npos; });
}

Reply FcgiServer::Send(const std::string& request) const { return Exchange(socket_, request); }

Reply Exchange(const std::string& socket_path, const std::string& request) {
  int fd = ConnectUnix(socket_path);
  if (fd < 0) return Reply{};
  bool closed = false;
  std::string bytes;
  if (SendAll(fd, request)) {
    // The half close lets the server see the end of what we send at once.
    shutdown(fd, SHUT_WR);
    bytes = ReadUntilClosed(fd, &closed);
  }
  close(fd);
  return ParseReply(bytes, closed);
}

}  // namespace fcgi_test
