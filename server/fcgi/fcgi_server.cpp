#include "server/fcgi/fcgi_server.h"

#include <errno.h>
#include <fastcgi.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "server/fcgi/fcgi_request.h"

namespace isapi_fcgi {

namespace {

// Whether some process accepts connections on the Unix socket at `path`.
bool SocketIsAnswered(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answered;
}

// Writes all `size` bytes to `out`. False on a stream error.
bool Put(FCGX_Stream* out, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    int piece = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    if (FCGX_PutStr(bytes, piece, out) != piece) return false;
    bytes += piece;
    size -= static_cast<size_t>(piece);
  }
  return true;
}

// An answer the front end gives itself: a status and no body.
bool SendBareStatus(FCGX_Stream* out, int status) {
  std::string head = "Status: " + std::to_string(status) + " " + isapi::ReasonPhrase(status) +
                     "\r\nContent-Length: 0\r\n\r\n";
  return Put(out, head.data(), head.size());
}

// Reads the request body to its end. Bytes past kMaxBodyBytes are read and
// dropped (so the web server can finish sending) and *too_large is set.
// False when the stream breaks before its end.
bool ReadBody(FCGX_Stream* in, std::string* body, bool* too_large) {
  char buffer[16 * 1024];
  *too_large = false;
  for (;;) {
    int count = FCGX_GetStr(buffer, sizeof buffer, in);
    if (count > 0 && !*too_large) {
      if (body->size() + static_cast<size_t>(count) > kMaxBodyBytes) {
        *too_large = true;
        body->clear();
      } else {
        body->append(buffer, static_cast<size_t>(count));
      }
    }
    if (count < static_cast<int>(sizeof buffer)) return FCGX_GetError(in) == 0;
  }
}

// The module's answer goes out as a CGI response: a Status line, the
// module's header block, a blank line, then the body. The web server in
// front frames it for its client.
class StreamSink : public isapi::ResponseSink {
 public:
  StreamSink(FCGX_Stream* out, bool client_keeps_alive)
      : out_(out), client_keeps_alive_(client_keeps_alive) {}

  bool SendHead(const isapi::ResponseHead& head) override {
    std::string text = "Status: " + head.status_text + "\r\n" + head.header_block + "\r\n";
    return Put(out_, text.data(), text.size());
  }

  bool WriteBody(const void* data, size_t size) override { return Put(out_, data, size); }

  void Finish(bool complete) override { complete_ = complete; }

  bool ClientKeepsAlive() override { return client_keeps_alive_; }

  bool complete() const { return complete_; }

 private:
  FCGX_Stream* out_;
  bool client_keeps_alive_;
  bool complete_ = false;
};

// Answers the request; false when the answer could not be sent whole.
bool Answer(isapi::Module* module, FCGX_Request* fcgi) {
  if (fcgi->role != FCGI_RESPONDER) return SendBareStatus(fcgi->out, 500);

  isapi::Request request;
  RequestFromParams(fcgi->envp, &request);
  bool too_large = false;
  if (!ReadBody(fcgi->in, &request.body, &too_large)) return false;
  if (request.method.empty()) return SendBareStatus(fcgi->out, 400);
  if (too_large) return SendBareStatus(fcgi->out, 413);

  StreamSink sink(fcgi->out, isapi::ClientAllowsKeepAlive(request));
  module->Serve(request, &sink);
  return sink.complete() && FCGX_GetError(fcgi->out) == 0;
}

}  // namespace

int OpenListenSocket(const Options& options, std::string* error) {
  if (options.unix_socket) {
    struct stat info;
    if (lstat(options.bind_address.c_str(), &info) == 0) {
      if (!S_ISSOCK(info.st_mode)) {
        *error = options.bind_address + " exists and is not a socket";
        return -1;
      }
      if (SocketIsAnswered(options.bind_address)) {
        *error = "another server is listening on " + options.bind_address;
        return -1;
      }
    }
  }
  int fd = FCGX_OpenSocket(options.bind_address.c_str(), SOMAXCONN);
  if (fd < 0) *error = "cannot listen on " + options.bind_address + ": " + strerror(errno);
  return fd;
}

void ServeRequest(isapi::Module* module, FCGX_Request* request) {
  if (Answer(module, request)) {
    // Closing the streams sends the end-of-request record.
    FCGX_FClose(request->err);
    FCGX_FClose(request->out);
  }
  // One request per connection: a kept connection would tie its worker to
  // a web server that may never send another request on it, and keep
  // Stop() waiting for it. The descriptor is closed here rather than by
  // FCGX_Finish_r, whose close waits for the web server to close its end
  // first and so costs the worker a round trip per request; the request
  // has been read to its end, so nothing unread is thrown away.
  int connection = request->ipcFd;
  FCGX_Free(request, 0);
  request->ipcFd = -1;
  close(connection);
}

Server::Server(isapi::Module* module, int listen_fd) : module_(module), listen_fd_(listen_fd) {}

Server::~Server() { Stop(); }

bool Server::Start(int threads, std::string* error) {
  for (int i = 0; i < threads; ++i) {
    try {
      workers_.emplace_back(&Server::Work, this);
    } catch (const std::system_error& e) {
      *error = std::string("cannot start a worker thread: ") + e.what();
      return false;
    }
  }
  return true;
}

void Server::Stop() {
  if (stopping_.exchange(true)) return;
  shutdown(listen_fd_, SHUT_RDWR);
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void Server::Work() {
  FCGX_Request request;
  FCGX_InitRequest(&request, listen_fd_, 0);
  for (;;) {
    if (FCGX_Accept_r(&request) >= 0) {
      ServeRequest(module_, &request);
      continue;
    }
    // Accepting fails for good once Stop() has shut the socket down; other
    // failures (out of descriptors, say) pass, so the worker waits a little
    // and tries again.
    if (stopping_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace isapi_fcgi
