// isapi-server: a standalone HTTP/1.1 server on libmicrohttpd that serves
// every request through one extension module (see host_core.h).
//
// Threading: by default a pool of epoll threads, one per CPU. Each thread
// serves many connections and runs the module for them in turn, so a module
// call that blocks holds up every other connection of its thread. On a
// 2-CPU machine this costs about 13 us of CPU per notice page against 18 us
// with a thread per connection (bench/run-bench.py). --thread-per-connection
// is for modules that block: the module runs on the connection's own
// thread, so a call that blocks holds up only its own connection; the
// global connection limit bounds the number of threads.
// The module's answer is collected in memory (up to kMaxResponseBody) and
// handed to libmicrohttpd once HttpExtensionProc has returned, which lets a
// failed answer still become a clean 500.
#include <arpa/inet.h>
#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "server/core/host_core.h"
#include "server/core/http_text.h"
#include "server/core/options.h"
#include "server/core/signals.h"

namespace {

const char kServerSoftware[] = "isapi-server/0.0.1";

// Hardening limits; libmicrohttpd 0.9.75 sets none of them by default.
constexpr unsigned kConnectionTimeoutSeconds = 30;
constexpr unsigned kConnectionLimit = 512;
constexpr unsigned kPerAddressConnectionLimit = 128;
// Per-connection memory for the request line and headers (and I/O
// buffers); a request whose header does not fit is answered with 431.
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr size_t kMaxRequestBody = 1024 * 1024;
constexpr size_t kMaxResponseBody = 64 * 1024 * 1024;

const char kUsage[] =
    "usage: isapi-server --module PATH [--listen ADDRESS:PORT]\n"
    "                    [--threads N | --thread-per-connection] [--access-log FILE|-]\n"
    "\n"
    "Serves HTTP/1.1 through the extension module at PATH.\n"
    "  --module PATH        the module (.so) to load; required\n"
    "  --listen ADDR:PORT   IPv4 address and port to listen on (default 127.0.0.1:8080);\n"
    "                       port 0 picks a free port\n"
    "  --threads N          serve from a pool of N (1-64) epoll threads (default: one\n"
    "                       per CPU); a module call that blocks holds up the other\n"
    "                       connections of its thread\n"
    "  --thread-per-connection\n"
    "                       serve each connection on a thread of its own instead, for\n"
    "                       modules that block: a blocked call then holds up only its\n"
    "                       own connection; costs more CPU per request\n"
    "  --access-log FILE|-  append a Common Log Format line per request to FILE,\n"
    "                       or write it to standard output with -\n"
    "  --help               show this text\n"
    "\n"
    "Once listening it prints \"listening on ADDRESS:PORT\" on standard output.\n"
    "SIGTERM or SIGINT: stop accepting, finish the requests in flight, unload the\n"
    "module, exit 0.\n";

struct Options {
  std::string module_path;
  std::string listen = "127.0.0.1:8080";
  std::string access_log;
  unsigned threads = 0;  // 0: one per CPU
  bool thread_per_connection = false;
};

// Returns false with a message on stderr when the command line is bad.
bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  isapi::OptionValues values;
  std::string error;
  if (!isapi::ParseCommandLine(argc, argv,
                               {{"--help", false}, {"--module", true}, {"--listen", true},
                                {"--access-log", true}, {"--threads", true},
                                {"--thread-per-connection", false}},
                               &values, &error)) {
    fprintf(stderr, "isapi-server: %s\n", error.c_str());
    return false;
  }
  *help = values.count("--help") != 0;
  if (*help) return true;
  options->module_path = values["--module"];
  if (values.count("--listen") != 0) options->listen = values["--listen"];
  options->access_log = values["--access-log"];
  options->thread_per_connection = values.count("--thread-per-connection") != 0;
  uint64_t threads = 0;
  if (!isapi::NumberOption(values, "--threads", 1, 64, &threads, &error)) {
    fprintf(stderr, "isapi-server: %s\n", error.c_str());
    return false;
  }
  options->threads = static_cast<unsigned>(threads);
  if (options->module_path.empty()) {
    fprintf(stderr, "isapi-server: --module PATH is required\n");
    return false;
  }
  if (options->thread_per_connection && options->threads != 0) {
    fprintf(stderr, "isapi-server: --threads and --thread-per-connection exclude each other\n");
    return false;
  }
  return true;
}

bool ParseListen(const std::string& text, sockaddr_in* address) {
  std::string_view host, port_text;
  uint64_t port = 0;
  if (!isapi::SplitHostPort(text, &host, &port_text) ||
      !isapi::ParseDecimal(port_text, 65535, &port)) {
    return false;
  }
  memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, std::string(host).c_str(), &address->sin_addr) == 1;
}

// Appends Common Log Format lines; thread-safe.
class AccessLog {
 public:
  // An empty name logs nothing. Returns false when the file cannot be opened.
  bool Open(const std::string& name) {
    if (name.empty()) return true;
    file_ = name == "-" ? stdout : fopen(name.c_str(), "ae");
    return file_ != nullptr;
  }

  void Write(const isapi::Request& request, int status, uint64_t bytes) {
    if (file_ == nullptr) return;
    char when[64];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
    std::string size = bytes == 0 ? "-" : std::to_string(bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    fprintf(file_, "%s - - [%s] \"%s %s %s\" %d %s\n", request.remote_addr.c_str(), when,
            request.method.c_str(), Printable(request.target).c_str(),
            request.protocol.c_str(), status, size.c_str());
    fflush(file_);
  }

 private:
  // Keeps a client's bytes from forging log lines.
  static std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
      if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
        char escape[8];
        snprintf(escape, sizeof escape, "\\x%02x", c);
        out += escape;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out;
  }

  std::mutex mutex_;
  FILE* file_ = nullptr;
};

// Collects one answer of the module for libmicrohttpd.
class BufferedSink : public isapi::ResponseSink {
 public:
  explicit BufferedSink(bool client_keeps_alive) : client_keeps_alive_(client_keeps_alive) {}

  bool SendHead(const isapi::ResponseHead& head) override {
    head_ = head;
    return true;
  }
  bool WriteBody(const void* data, size_t size) override {
    if (body_.size() + size > kMaxResponseBody) {
      overflow_ = true;
      return false;
    }
    body_.append(static_cast<const char*>(data), size);
    return true;
  }
  void Finish(bool complete) override { complete_ = complete; }
  bool ClientKeepsAlive() override { return client_keeps_alive_; }

  const isapi::ResponseHead& head() const { return head_; }
  std::string TakeBody() { return std::move(body_); }
  bool complete() const { return complete_; }
  bool overflow() const { return overflow_; }

 private:
  bool client_keeps_alive_;
  isapi::ResponseHead head_;
  std::string body_;
  bool complete_ = false;
  bool overflow_ = false;
};

void FreeBytes(void* cls) { delete static_cast<std::string*>(cls); }

// Body of a queued response that ends early; libmicrohttpd frees it
// through FreeBody.
struct ResponseBody {
  std::string bytes;
  bool complete;  // false: the module wrote less than its Content-Length
};

ssize_t ReadBody(void* cls, uint64_t pos, char* out, size_t max) {
  auto* body = static_cast<ResponseBody*>(cls);
  if (pos >= body->bytes.size()) {
    return body->complete ? MHD_CONTENT_READER_END_OF_STREAM
                          : MHD_CONTENT_READER_END_WITH_ERROR;
  }
  size_t count = std::min(max, body->bytes.size() - static_cast<size_t>(pos));
  memcpy(out, body->bytes.data() + pos, count);
  return static_cast<ssize_t>(count);
}

void FreeBody(void* cls) { delete static_cast<ResponseBody*>(cls); }

// The addresses of one client connection, looked up once when it opens.
struct ConnectionAddresses {
  std::string remote_addr;
  uint16_t remote_port = 0;
  std::string local_addr;
};

// One request from its request line until libmicrohttpd is done with it.
struct Exchange {
  std::string target;
  std::string body;
  bool headers_checked = false;
  bool rejected = false;  // a 4xx is queued; the rest of the body is ignored
};

class Server {
 public:
  Server(isapi::Module* module, AccessLog* log, uint16_t port)
      : module_(module), log_(log), port_(port) {}

  void set_port(uint16_t port) { port_ = port; }

  static void NotifyConnection(void*, MHD_Connection* connection, void** socket_context,
                               MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      *socket_context = LookUpAddresses(connection);
    } else {
      delete static_cast<ConnectionAddresses*>(*socket_context);
      *socket_context = nullptr;
    }
  }

  static void* BeginRequest(void* cls, const char* uri, MHD_Connection*) {
    auto* server = static_cast<Server*>(cls);
    server->in_flight_.fetch_add(1);
    auto* exchange = new Exchange();
    exchange->target = uri;
    return exchange;
  }

  static void EndRequest(void* cls, MHD_Connection*, void** con_cls,
                         MHD_RequestTerminationCode) {
    auto* server = static_cast<Server*>(cls);
    delete static_cast<Exchange*>(*con_cls);
    *con_cls = nullptr;
    if (server->in_flight_.fetch_sub(1) == 1) {
      std::lock_guard<std::mutex> lock(server->mutex_);
      server->idle_.notify_all();
    }
  }

  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char*,
                           const char* method, const char* version, const char* upload_data,
                           size_t* upload_data_size, void** con_cls) {
    auto* server = static_cast<Server*>(cls);
    auto* exchange = static_cast<Exchange*>(*con_cls);
    if (exchange->rejected) {
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (!exchange->headers_checked) {
      // The first call carries the headers only; the body follows.
      exchange->headers_checked = true;
      int refusal = CheckHeaders(connection);
      if (refusal == 0) return MHD_YES;
      exchange->rejected = true;
      return QueueError(connection, static_cast<unsigned>(refusal));
    }
    if (*upload_data_size != 0) {
      // CheckHeaders let through only a Content-Length within the bound.
      exchange->body.append(upload_data, *upload_data_size);
      *upload_data_size = 0;
      return MHD_YES;
    }
    return server->Serve(connection, method, version, exchange);
  }

  // Stops taking requests once the in-flight ones are done.
  void WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return in_flight_.load() == 0; });
  }

  void BeginDrain() { draining_.store(true); }

 private:
  static MHD_Result QueueError(MHD_Connection* connection, unsigned status) {
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
  }

  // Returns the 4xx status for a request libmicrohttpd accepts but this
  // server does not, or 0.
  static int CheckHeaders(MHD_Connection* connection) {
    struct Findings {
      bool length = false;
      bool encoding = false;
      bool bad_name = false;
      bool bad_length = false;
      bool too_long = false;
    } findings;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          auto* found = static_cast<Findings*>(cls);
          if (!isapi::IsToken(key)) found->bad_name = true;
          if (isapi::EqualsIgnoreCase(key, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
            uint64_t length = 0;
            found->length = true;
            if (!isapi::ParseDecimal(value != nullptr ? value : "", UINT64_MAX, &length)) {
              found->bad_length = true;
            }
            found->too_long = length > kMaxRequestBody;
          }
          if (isapi::EqualsIgnoreCase(key, MHD_HTTP_HEADER_TRANSFER_ENCODING)) {
            found->encoding = true;
          }
          return MHD_YES;
        },
        &findings);
    if (findings.bad_name || findings.bad_length || (findings.length && findings.encoding)) {
      return MHD_HTTP_BAD_REQUEST;
    }
    // The control block announces the body's size up front, so a body of
    // unknown length is refused, as Apache's host of these modules does.
    if (findings.encoding) return MHD_HTTP_LENGTH_REQUIRED;
    return findings.too_long ? MHD_HTTP_CONTENT_TOO_LARGE : 0;
  }

  MHD_Result Serve(MHD_Connection* connection, const char* method, const char* version,
                   Exchange* exchange) {
    isapi::Request request;
    request.method = method;
    request.target = exchange->target;
    request.protocol = version;
    request.server_software = kServerSoftware;
    if (!isapi::SplitTarget(request.target, &request.path, &request.query)) {
      exchange->rejected = true;
      return QueueError(connection, MHD_HTTP_BAD_REQUEST);
    }
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          static_cast<isapi::Request*>(cls)->headers.push_back(
              {key, value != nullptr ? value : ""});
          return MHD_YES;
        },
        &request);
    request.body = std::move(exchange->body);
    FillAddresses(connection, &request);

    bool keep_alive = isapi::ClientAllowsKeepAlive(request) && !draining_.load();
    BufferedSink sink(keep_alive);
    isapi::ServeResult served = module_->Serve(request, &sink);

    MHD_Response* response = BuildResponse(&sink, keep_alive, &served);
    MHD_Result result = MHD_queue_response(connection, static_cast<unsigned>(served.status),
                                           response);
    MHD_destroy_response(response);
    log_->Write(request, served.status, served.body_bytes);
    return result;
  }

  static MHD_Response* BuildResponse(BufferedSink* sink, bool keep_alive,
                                     isapi::ServeResult* served) {
    const isapi::ResponseHead& head = sink->head();
    if (sink->overflow()) {
      // Nothing is on the wire yet, so the answer can still be a clean 500.
      served->status = MHD_HTTP_INTERNAL_SERVER_ERROR;
      served->body_bytes = 0;
      MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
      return response;
    }
    MHD_Response* response;
    if (head.has_body && sink->complete() && head.framing != isapi::Framing::kModuleChunked) {
      // The whole body is here, so Content-Length frames it, whether the
      // module gave one or left the framing to this server, and
      // libmicrohttpd sends head and body with one system call.
      auto* bytes = new std::string(sink->TakeBody());
      response = MHD_create_response_from_buffer_with_free_callback_cls(
          bytes->size(), bytes->data(), FreeBytes, bytes);
    } else {
      // An answer without body bytes (HEAD, 204, 304) keeps the module's
      // Content-Length; a short body ends in an error, which closes the
      // connection; the module's own chunks pass through.
      uint64_t size = head.framing == isapi::Framing::kContentLength ? head.content_length
                                                                      : MHD_SIZE_UNKNOWN;
      auto* body = new ResponseBody{sink->TakeBody(), sink->complete()};
      response = MHD_create_response_from_callback(size, 16 * 1024, ReadBody, body, FreeBody);
    }
    for (const isapi::HeaderField& field : head.headers) {
      if (isapi::EqualsIgnoreCase(field.name, MHD_HTTP_HEADER_CONTENT_LENGTH)) continue;
      MHD_add_response_header(response, field.name.c_str(), field.value.c_str());
    }
    if (!keep_alive || !head.keep_conn || !sink->complete()) {
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    }
    return response;
  }

  // Returns a new ConnectionAddresses for the connection; the caller owns it.
  static ConnectionAddresses* LookUpAddresses(MHD_Connection* connection) {
    auto* addresses = new ConnectionAddresses();
    char text[INET_ADDRSTRLEN];
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info != nullptr && info->client_addr->sa_family == AF_INET) {
      const auto* peer = reinterpret_cast<const sockaddr_in*>(info->client_addr);
      inet_ntop(AF_INET, &peer->sin_addr, text, sizeof text);
      addresses->remote_addr = text;
      addresses->remote_port = ntohs(peer->sin_port);
    }
    info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    sockaddr_in local;
    socklen_t length = sizeof local;
    if (info != nullptr &&
        getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        local.sin_family == AF_INET) {
      inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
      addresses->local_addr = text;
    }
    return addresses;
  }

  void FillAddresses(MHD_Connection* connection, isapi::Request* request) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info != nullptr && info->socket_context != nullptr) {
      const auto* addresses = static_cast<const ConnectionAddresses*>(info->socket_context);
      request->remote_addr = addresses->remote_addr;
      request->remote_port = addresses->remote_port;
      request->local_addr = addresses->local_addr;
    }
    request->local_port = port_;
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                   MHD_HTTP_HEADER_HOST);
    std::string_view name, port;
    if (host != nullptr && isapi::SplitHostPort(host, &name, &port) && !name.empty()) {
      request->server_name = std::string(name);
    } else {
      request->server_name = request->local_addr;
    }
  }

  isapi::Module* module_;
  AccessLog* log_;
  uint16_t port_;
  std::atomic<int> in_flight_{0};
  std::atomic<bool> draining_{false};
  std::mutex mutex_;
  std::condition_variable idle_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseOptions(argc, argv, &options, &help)) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (help) {
    fputs(kUsage, stdout);
    return 0;
  }
  sockaddr_in address;
  if (!ParseListen(options.listen, &address)) {
    fprintf(stderr, "isapi-server: --listen wants IPV4ADDRESS:PORT, got \"%s\"\n",
            options.listen.c_str());
    return 2;
  }
  // 0: a thread per connection.
  unsigned pool_size = options.threads;
  if (pool_size == 0 && !options.thread_per_connection) {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    pool_size = static_cast<unsigned>(std::clamp(cpus, 1L, 64L));
  }
  AccessLog log;
  if (!log.Open(options.access_log)) {
    fprintf(stderr, "isapi-server: cannot open access log %s: %s\n",
            options.access_log.c_str(), strerror(errno));
    return 1;
  }
  std::string error;
  std::unique_ptr<isapi::Module> module = isapi::Module::Load(options.module_path, &error);
  if (module == nullptr) {
    fprintf(stderr, "isapi-server: %s\n", error.c_str());
    return 1;
  }

  // Every thread libmicrohttpd starts inherits this mask, so the signals
  // reach only WaitForSignal below.
  sigset_t stop_signals = isapi::BlockSignals({SIGTERM, SIGINT});

  Server server(module.get(), &log, ntohs(address.sin_port));
  MHD_OptionItem pool_options[] = {
      {pool_size > 1 ? MHD_OPTION_THREAD_POOL_SIZE : MHD_OPTION_END, pool_size, nullptr},
      {MHD_OPTION_END, 0, nullptr}};
  MHD_Daemon* daemon = MHD_start_daemon(
      (pool_size == 0 ? MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD
                      : MHD_USE_EPOLL_INTERNAL_THREAD) |
          MHD_USE_ITC | MHD_USE_ERROR_LOG,
      0, nullptr, nullptr, &Server::Handle, &server,
      MHD_OPTION_SOCK_ADDR, &address,
      MHD_OPTION_URI_LOG_CALLBACK, &Server::BeginRequest, &server,
      MHD_OPTION_NOTIFY_COMPLETED, &Server::EndRequest, &server,
      MHD_OPTION_NOTIFY_CONNECTION, &Server::NotifyConnection, &server,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
      MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressConnectionLimit,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_STRICT_FOR_CLIENT, 1,
      MHD_OPTION_ARRAY, pool_options,
      MHD_OPTION_END);
  if (daemon == nullptr) {
    fprintf(stderr, "isapi-server: cannot listen on %s\n", options.listen.c_str());
    return 1;
  }
  const MHD_DaemonInfo* bound = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
  uint16_t port = bound != nullptr ? bound->port : ntohs(address.sin_port);
  server.set_port(port);
  char host[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  printf("listening on %s:%u\n", host, port);
  fflush(stdout);

  isapi::WaitForSignal(stop_signals);
  server.BeginDrain();
  MHD_socket listener = MHD_quiesce_daemon(daemon);
  if (listener != MHD_INVALID_SOCKET) close(listener);
  server.WaitIdle();
  MHD_stop_daemon(daemon);
  module->Terminate();
  return 0;
}
