#include "server/http/http_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include "server/http/http_options.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"

namespace isapi_http {

namespace {

// Hardening limits; libmicrohttpd 0.9.75 sets none of them by default.
constexpr unsigned kConnectionTimeoutSeconds = 30;
constexpr unsigned kConnectionLimit = 512;
constexpr unsigned kPerAddressConnectionLimit = 128;
// Per-connection memory for the request line and headers (and I/O
// buffers); a request whose header does not fit is answered with 431.
constexpr size_t kConnectionMemory = 32 * 1024;

// An IPv4 client of a dual-stack socket shows as its IPv4 address.
void SetAddressText(const sockaddr* address, std::string* text, uint16_t* port) {
  char buffer[INET6_ADDRSTRLEN];
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, buffer, sizeof buffer);
    *port = ntohs(v4->sin_port);
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], buffer, sizeof buffer);
    } else {
      inet_ntop(AF_INET6, &v6->sin6_addr, buffer, sizeof buffer);
    }
    *port = ntohs(v6->sin6_port);
  } else {
    return;
  }
  *text = buffer;
}

// Returns a new ConnectionAddresses for the connection; the caller owns it.
ConnectionAddresses* LookUpAddresses(MHD_Connection* connection) {
  auto* addresses = new ConnectionAddresses();
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info != nullptr) {
    SetAddressText(info->client_addr, &addresses->remote_addr, &addresses->remote_port);
  }
  info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  sockaddr_storage local;
  socklen_t length = sizeof local;
  if (info != nullptr &&
      getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    SetAddressText(reinterpret_cast<sockaddr*>(&local), &addresses->local_addr,
                   &addresses->local_port);
  }
  return addresses;
}

const ConnectionAddresses& AddressesOf(MHD_Connection* connection) {
  static const ConnectionAddresses kUnknown;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info == nullptr || info->socket_context == nullptr) return kUnknown;
  return *static_cast<const ConnectionAddresses*>(info->socket_context);
}

}  // namespace

// One request from its request line until libmicrohttpd is done with it.
struct HttpHost::RequestInProgress {
  std::string target;
  isapi::Request request;  // headers and body while they arrive
  bool headers_checked = false;
  bool refused = false;  // a 4xx is queued; the rest of the body is ignored
};

HttpHost::~HttpHost() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

bool HttpHost::Start(const sockaddr_storage& address, unsigned pool_size, std::string* error) {
  MHD_OptionItem pool_options[] = {
      {pool_size > 1 ? MHD_OPTION_THREAD_POOL_SIZE : MHD_OPTION_END, pool_size, nullptr},
      {MHD_OPTION_END, 0, nullptr}};
  unsigned flags = (pool_size == 0 ? MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD
                                   : MHD_USE_EPOLL_INTERNAL_THREAD) |
                   MHD_USE_ITC | MHD_USE_ERROR_LOG;
  if (address.ss_family == AF_INET6) flags |= MHD_USE_DUAL_STACK;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &HttpHost::HandleRequest, this,
      MHD_OPTION_SOCK_ADDR, &address,
      MHD_OPTION_URI_LOG_CALLBACK, &HttpHost::BeginRequest, this,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpHost::EndRequest, this,
      MHD_OPTION_NOTIFY_CONNECTION, &HttpHost::NotifyConnection, this,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
      MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressConnectionLimit,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_STRICT_FOR_CLIENT, 1,
      MHD_OPTION_ARRAY, pool_options,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    *error = "cannot listen on " + FormatAddress(reinterpret_cast<const sockaddr*>(&address));
    return false;
  }
  return true;
}

std::string HttpHost::ListeningAddress() const {
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_LISTEN_FD);
  sockaddr_storage bound;
  socklen_t length = sizeof bound;
  if (info == nullptr ||
      getsockname(info->listen_fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    return std::string();
  }
  return FormatAddress(reinterpret_cast<const sockaddr*>(&bound));
}

void HttpHost::Stop() {
  draining_.store(true);
  MHD_socket listener = MHD_quiesce_daemon(daemon_);
  if (listener != MHD_INVALID_SOCKET) close(listener);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return in_flight_.load() == 0; });
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

void HttpHost::NotifyConnection(void*, MHD_Connection* connection, void** socket_context,
                                MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    *socket_context = LookUpAddresses(connection);
  } else {
    delete static_cast<ConnectionAddresses*>(*socket_context);
    *socket_context = nullptr;
  }
}

void* HttpHost::BeginRequest(void* cls, const char* uri, MHD_Connection*) {
  auto* host = static_cast<HttpHost*>(cls);
  host->in_flight_.fetch_add(1);
  auto* in_progress = new RequestInProgress();
  in_progress->target = uri;
  return in_progress;
}

void HttpHost::EndRequest(void* cls, MHD_Connection*, void** request_context,
                          MHD_RequestTerminationCode) {
  auto* host = static_cast<HttpHost*>(cls);
  delete static_cast<RequestInProgress*>(*request_context);
  *request_context = nullptr;
  if (host->in_flight_.fetch_sub(1) == 1) {
    std::lock_guard<std::mutex> lock(host->mutex_);
    host->idle_.notify_all();
  }
}

MHD_Result HttpHost::HandleRequest(void* cls, MHD_Connection* connection, const char*,
                                   const char* method, const char* version,
                                   const char* upload_data, size_t* upload_data_size,
                                   void** request_context) {
  auto* host = static_cast<HttpHost*>(cls);
  auto* in_progress = static_cast<RequestInProgress*>(*request_context);
  if (in_progress->refused) {
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (!in_progress->headers_checked) {
    // The first call carries the headers only; the body follows.
    in_progress->headers_checked = true;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          static_cast<isapi::Request*>(cls)->headers.push_back(
              {key, value != nullptr ? value : ""});
          return MHD_YES;
        },
        &in_progress->request);
    int refusal = RefuseHeaders(in_progress->request.headers);
    if (refusal == 0) return MHD_YES;
    in_progress->refused = true;
    return QueueRefusal(connection, static_cast<unsigned>(refusal));
  }
  if (*upload_data_size != 0) {
    // RefuseHeaders let through only a Content-Length within the bound.
    in_progress->request.body.append(upload_data, *upload_data_size);
    *upload_data_size = 0;
    return MHD_YES;
  }
  return host->Serve(connection, method, version, in_progress);
}

MHD_Result HttpHost::Serve(MHD_Connection* connection, const char* method, const char* version,
                           RequestInProgress* in_progress) {
  isapi::Request& request = in_progress->request;
  int refusal = MapRequest(method, in_progress->target, version, AddressesOf(connection),
                           &request);
  if (refusal != 0) {
    in_progress->refused = true;
    return QueueRefusal(connection, static_cast<unsigned>(refusal));
  }
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

}  // namespace isapi_http
