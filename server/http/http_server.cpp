#include "server/http/http_server.h"

#include <string.h>
#include <unistd.h>

#include "server/core/address_text.h"
#include "server/core/body_spool.h"
#include "server/core/calls_in_flight.h"
#include "server/http/http_options.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"

namespace isapi_http {

namespace {

// Hardening limits; libmicrohttpd 0.9.75 sets none of them by default.
// The idle timeout is the only clock it has, and each byte a client sends
// restarts it: the request deadline (WatchRequestDeadlines) and the
// per-address limit are what bound clients that trickle their requests.
constexpr unsigned kConnectionTimeoutSeconds = 30;
constexpr unsigned kPerAddressConnectionLimit = 64;
// Per-connection memory for the request line and headers (and I/O
// buffers); a request whose header does not fit is answered with 431.
constexpr size_t kConnectionMemory = 32 * 1024;

void LookUpAddresses(MHD_Connection* connection, ConnectionAddresses* addresses) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info != nullptr) {
    isapi::AddressText(info->client_addr, &addresses->remote_addr, &addresses->remote_port);
  }
  info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  sockaddr_storage local;
  socklen_t length = sizeof local;
  if (info != nullptr &&
      getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    isapi::AddressText(reinterpret_cast<sockaddr*>(&local), &addresses->local_addr,
                       &addresses->local_port);
  }
}

// Milliseconds on the monotonic clock, never 0 (0 means "not waiting").
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() +
         1;
}

}  // namespace

// One client connection, from accept to close. Its requests come one after
// the other (libmicrohttpd answers pipelined requests in turn), and each
// reuses the buffers of the one before, so that a request on a kept-alive
// connection allocates nothing once they have grown.
struct HttpServer::ConnectionState {
  ConnectionAddresses addresses;  // looked up once, when it opens
  int fd = -1;
  // Since when the server waits for a whole request (NowMs), 0 while a
  // request is being answered. Read by the watcher thread.
  std::atomic<int64_t> waiting_since_ms{0};
  // The current request, from its request line until libmicrohttpd is done
  // with it.
  std::string target;
  isapi::Request request;  // headers and body while they arrive
  isapi::BodySpool spool;  // the body beyond isapi::kBodyWindow
  uint64_t body_received = 0;
  // The status for a body refused as it arrived (413, 500), sent once it
  // has ended: libmicrohttpd 0.9.75 takes no answer in mid-body.
  int body_refusal = 0;
  size_t header_count = 0;  // request.headers beyond it are left from before
  bool headers_checked = false;
  bool refused = false;    // a 4xx is queued; the rest of the body is ignored
  bool answering = false;  // counted in HttpServer::answering_
  BufferedSink sink;
};

HttpServer::~HttpServer() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  StopWatching();
}

bool HttpServer::Start(int listen_fd, bool thread_per_connection, unsigned pool_threads,
                     unsigned connection_limit, unsigned request_timeout_seconds,
                     uint64_t max_body, std::string* error) {
  max_body_ = max_body;
  request_timeout_ms_ = static_cast<int64_t>(request_timeout_seconds) * 1000;
  watcher_ = std::thread(&HttpServer::WatchRequestDeadlines, this);
  MHD_OptionItem pool_options[] = {
      {!thread_per_connection && pool_threads > 1 ? MHD_OPTION_THREAD_POOL_SIZE : MHD_OPTION_END,
       pool_threads, nullptr},
      {MHD_OPTION_END, 0, nullptr}};
  // poll(), not select(), with a thread per connection: select() would
  // refuse every descriptor above 1023.
  unsigned flags = (thread_per_connection
                       ? MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD
                       : MHD_USE_EPOLL_INTERNAL_THREAD) |
                   MHD_USE_ITC | MHD_USE_ERROR_LOG;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &HttpServer::HandleRequest, this,
      MHD_OPTION_LISTEN_SOCKET, listen_fd,
      MHD_OPTION_URI_LOG_CALLBACK, &HttpServer::BeginRequest, this,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpServer::EndRequest, this,
      MHD_OPTION_NOTIFY_CONNECTION, &HttpServer::NotifyConnection, this,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
      MHD_OPTION_CONNECTION_LIMIT, connection_limit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressConnectionLimit,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      // Tolerant parsing: at 1, libmicrohttpd answers HTTP/1.1 without Host
      // itself, with its status line and headers sent twice. RefuseRequest
      // makes the checks it would have made, and more.
      MHD_OPTION_STRICT_FOR_CLIENT, 0,
      MHD_OPTION_ARRAY, pool_options,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    *error = "cannot start libmicrohttpd";
    return false;
  }
  return true;
}

void HttpServer::StopAccepting() {
  draining_.store(true);
  MHD_socket listener = MHD_quiesce_daemon(daemon_);
  if (listener != MHD_INVALID_SOCKET) close(listener);
}

void HttpServer::Drain(unsigned deadline_ms) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait_for(lock, std::chrono::milliseconds(deadline_ms),
                       [this] { return answering_ == 0; });
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  StopWatching();
}

void HttpServer::WatchRequestDeadlines() {
  std::unique_lock<std::mutex> lock(connections_mutex_);
  while (!watch_wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_watching_; })) {
    int64_t now = NowMs();
    for (ConnectionState* state : connections_) {
      int64_t since = state->waiting_since_ms.load();
      if (since == 0 || now - since < request_timeout_ms_) continue;
      // libmicrohttpd then sees the connection fail and closes it. Its
      // descriptor is still open: the connection leaves connections_
      // (under this lock) before libmicrohttpd closes it.
      shutdown(state->fd, SHUT_RDWR);
      state->waiting_since_ms.store(0);
    }
  }
}

void HttpServer::StopWatching() {
  if (!watcher_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    stop_watching_ = true;
  }
  watch_wake_.notify_all();
  watcher_.join();
}

void HttpServer::NotifyConnection(void* cls, MHD_Connection* connection, void** socket_context,
                                MHD_ConnectionNotificationCode code) {
  auto* server = static_cast<HttpServer*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* state = new ConnectionState();
    LookUpAddresses(connection, &state->addresses);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    state->fd = info != nullptr ? info->connect_fd : -1;
    state->waiting_since_ms.store(NowMs());
    *socket_context = state;
    std::lock_guard<std::mutex> lock(server->connections_mutex_);
    server->connections_.insert(state);
  } else {
    auto* state = static_cast<ConnectionState*>(*socket_context);
    {
      std::lock_guard<std::mutex> lock(server->connections_mutex_);
      server->connections_.erase(state);
    }
    delete state;
    *socket_context = nullptr;
  }
}

void* HttpServer::BeginRequest(void*, const char* uri, MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  auto* state = static_cast<ConnectionState*>(info->socket_context);
  state->target.assign(uri);
  state->header_count = 0;
  state->request.body.clear();
  state->spool.Clear();
  state->body_received = 0;
  state->body_refusal = 0;
  state->headers_checked = false;
  state->refused = false;
  state->answering = false;
  return state;
}

void HttpServer::EndRequest(void* cls, MHD_Connection*, void** request_context,
                          MHD_RequestTerminationCode) {
  auto* server = static_cast<HttpServer*>(cls);
  auto* state = static_cast<ConnectionState*>(*request_context);
  if (state != nullptr) state->waiting_since_ms.store(NowMs());
  if (state != nullptr && state->answering) {
    state->answering = false;
    if (server->answering_.fetch_sub(1) == 1 && server->draining_.load()) {
      // Under the lock, so that Drain cannot miss it between its check and
      // its wait.
      std::lock_guard<std::mutex> lock(server->mutex_);
      server->answered_.notify_all();
    }
  }
  *request_context = nullptr;
}

MHD_Result HttpServer::HandleRequest(void* cls, MHD_Connection* connection, const char*,
                                   const char* method, const char* version,
                                   const char* upload_data, size_t* upload_data_size,
                                   void** request_context) {
  auto* server = static_cast<HttpServer*>(cls);
  auto* state = static_cast<ConnectionState*>(*request_context);
  if (state->refused) {
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (!state->headers_checked) {
    // The first call carries the headers only; the body follows.
    state->headers_checked = true;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          // Assigned over the previous request's fields, reusing their space.
          auto* state = static_cast<ConnectionState*>(cls);
          std::vector<isapi::HeaderField>& headers = state->request.headers;
          if (state->header_count == headers.size()) headers.emplace_back();
          isapi::HeaderField& field = headers[state->header_count++];
          field.name.assign(key);
          field.value.assign(value != nullptr ? value : "");
          return MHD_YES;
        },
        state);
    state->request.headers.resize(state->header_count);
    int refusal =
        RefuseRequest(method, state->target, version, state->request.headers, server->max_body_);
    if (refusal == 0) return MHD_YES;
    return server->Refuse(connection, method, version, state, refusal);
  }
  if (*upload_data_size != 0) {
    size_t size = *upload_data_size;
    *upload_data_size = 0;
    if (state->body_refusal != 0) return MHD_YES;
    // RefuseRequest let through only a Content-Length within the bound; a
    // chunked body is measured here.
    state->body_received += size;
    if (state->body_received > server->max_body_) {
      state->body_refusal = 413;
    } else if (!state->spool.Append(upload_data, size, &state->request.body)) {
      state->body_refusal = 500;
    }
    if (state->body_refusal != 0) state->spool.Clear();
    return MHD_YES;
  }
  if (state->body_refusal != 0) {
    return server->Refuse(connection, method, version, state, state->body_refusal);
  }
  return server->Serve(connection, method, version, state);
}

MHD_Result HttpServer::Refuse(MHD_Connection* connection, const char* method, const char* version,
                            ConnectionState* state, int status) {
  state->refused = true;
  state->waiting_since_ms.store(0);
  isapi::Request& request = state->request;
  request.method = method;
  request.target = state->target;
  request.protocol = version;
  request.remote_addr = state->addresses.remote_addr;
  log_->Write(request, status, 0);
  state->sink.Reset(false);
  isapi::SendBareAnswer(&state->sink, status, request.method != "HEAD");
  return state->sink.Queue(connection, false);
}

MHD_Result HttpServer::Serve(MHD_Connection* connection, const char* method, const char* version,
                           ConnectionState* state) {
  isapi::Request& request = state->request;
  int refusal = MapRequest(method, state->target, version, state->addresses, &request);
  if (refusal != 0) return Refuse(connection, method, version, state, refusal);
  state->spool.AttachTo(&request);
  state->waiting_since_ms.store(0);
  answering_.fetch_add(1);
  state->answering = true;
  bool keep_alive =
      isapi::ClientAllowsKeepAlive(request.protocol, request.headers) && !draining_.load();
  state->sink.Reset(keep_alive);
  isapi::ServeResult served;
  {
    isapi::CallInFlight call(request.method, request.target, request.protocol);
    served = module_->Serve(request, &state->sink);
  }
  MHD_Result result = state->sink.Queue(connection, keep_alive);
  log_->Write(request, served.status, served.body_bytes);
  state->spool.Clear();
  return result;
}

}  // namespace isapi_http
