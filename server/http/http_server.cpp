#include "server/http/http_server.h"

#include <sys/socket.h>

#include <algorithm>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <optional>

#include "server/core/address_text.h"
#include "server/core/answer.h"
#include "server/core/body_spool.h"
#include "server/core/calls_in_flight.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"

namespace isapi_http {

namespace {

namespace http = boost::beast::http;
using boost::beast::error_code;

// The request line and headers together; a longer head gets 431.
constexpr uint32_t kMaxHeadBytes = 16 * 1024;
// Bytes held for the parser beyond what it has taken: the head, or a chunk
// header split across reads. A client that sends more without letting the
// parser go on gets 400.
constexpr size_t kMaxUnconsumedBytes = kMaxHeadBytes + 4096;

// One request as Beast's parser reports it: the request line and the
// header fields in arrival order, the body spooled as it arrives.
class RequestParser : public http::basic_parser<true> {
 public:
  isapi::Request request;
  isapi::BodySpool spool;
  int version = 0;
  bool body_lost = false;  // the spool could not take the body

 private:
  void on_request_impl(http::verb, boost::beast::string_view method,
                       boost::beast::string_view target, int version_number,
                       error_code&) override {
    request.method.assign(method.data(), method.size());
    request.target.assign(target.data(), target.size());
    version = version_number;
    request.protocol = version == 10 ? "HTTP/1.0" : "HTTP/1.1";
  }
  void on_response_impl(int, boost::beast::string_view, int, error_code&) override {}
  void on_field_impl(http::field, boost::beast::string_view name,
                     boost::beast::string_view value, error_code&) override {
    request.headers.push_back(
        {std::string(name.data(), name.size()), std::string(value.data(), value.size())});
  }
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<uint64_t>&, error_code&) override {}
  size_t on_body_impl(boost::beast::string_view body, error_code&) override {
    Spool(body);
    return body.size();
  }
  void on_chunk_header_impl(uint64_t, boost::beast::string_view extension,
                            error_code& ec) override {
    // The same bound as on a chunk line that has not ended yet.
    if (extension.size() > kMaxChunkExtensionBytes) ec = http::error::bad_chunk_extension;
  }
  size_t on_chunk_body_impl(uint64_t, boost::beast::string_view body, error_code&) override {
    Spool(body);
    return body.size();
  }
  void on_finish_impl(error_code&) override {}

  void Spool(boost::beast::string_view bytes) {
    if (!body_lost && !spool.Append(bytes.data(), bytes.size(), &request.body)) body_lost = true;
  }
};

// Whether a head (request line and fields, as received) folds a field
// value over several lines, which RFC 9112 lets a server refuse.
bool HasObsoleteFold(std::string_view head) {
  return head.find("\n ") != std::string_view::npos ||
         head.find("\n\t") != std::string_view::npos;
}

// "HTTP/" and a digit, a dot and a digit, but not 1.0 nor 1.1: a version
// this server does not speak (505 rather than 400).
bool NamesAnotherHttpVersion(std::string_view text) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return text.size() == 8 && text.compare(0, 5, "HTTP/") == 0 && digit(text[5]) &&
         text[6] == '.' && digit(text[7]) && text != "HTTP/1.0" && text != "HTTP/1.1";
}

}  // namespace

// One client connection: its requests, one after another.
class HttpServer::Conversation : public isapi::Conversation {
 public:
  Conversation(HttpServer* server, ConnectionAddresses addresses)
      : server_(server), addresses_(std::move(addresses)) {
    Reset();
  }
  ~Conversation() override { server_->Forget(addresses_.remote_addr); }

  Event Feed(std::string_view input, size_t* consumed) override {
    *consumed = 0;
    Event event = Parse(input, consumed);
    if (event == Event::kNeedMore && head_checked_ &&
        RunawayChunkExtension(input.substr(*consumed))) {
      return Refuse(400);
    }
    return event;
  }

  size_t max_unconsumed() const override { return kMaxUnconsumedBytes; }
  void RefuseInput() override { Refuse(400); }
  std::string* replies() override { return &replies_; }
  bool started() const override { return started_; }

  bool Answer(isapi::Channel* channel) override {
    isapi::Request& request = parser_->request;
    parser_->spool.AttachTo(&request);
    HttpResponseSink sink(channel, parser_->version == 10,
                    isapi::ClientAllowsKeepAlive(request.protocol, request.headers),
                    &server_->stopping_);
    bool has_body = request.method != "HEAD";
    isapi::ServeResult result;
    if (parser_->body_lost) {
      isapi::SendBareAnswer(&sink, 500, has_body);
      result.status = 500;
    } else {
      isapi::CallInFlight call(request.method, request.target, request.protocol);
      result = server_->module_->Serve(request, &sink);
    }
    server_->log_->Write(request, result.status, result.body_bytes);
    Reset();
    return sink.keeps();
  }

 private:
  void Reset() {
    parser_.emplace();
    parser_->header_limit(kMaxHeadBytes);
    parser_->body_limit(server_->max_body_);
    // Stop after the head, so that it is checked before any body is taken.
    parser_->eager(false);
    head_checked_ = false;
    started_ = false;
  }

  // Runs the parser over `input`, storing the count it took in *taken.
  Event Parse(std::string_view input, size_t* taken) {
    if (!started_) {
      // RFC 9112 2.2: one empty line before a request line is ignored
      // (some clients end a body with an extra CRLF).
      if (input == "\r") return Event::kNeedMore;
      if (input.substr(0, 2) == "\r\n") {
        *taken = 2;
        started_ = true;
      }
    }
    std::string_view request_bytes = input.substr(*taken);
    while (*taken < input.size()) {
      started_ = true;
      error_code ec;
      size_t count = parser_->put(
          boost::asio::const_buffer(input.data() + *taken, input.size() - *taken), ec);
      std::string_view consumed = input.substr(*taken, count);
      *taken += count;
      if (ec == http::error::need_more) return Event::kNeedMore;
      if (ec == http::error::header_limit) return Refuse(431);
      if (ec == http::error::body_limit) return Refuse(413);
      if (ec) {
        NoteRequestLine(request_bytes);
        bool other_version = ec == http::error::bad_version &&
                             NamesAnotherHttpVersion(parser_->request.protocol);
        return Refuse(other_version ? 505 : 400);
      }
      if (!head_checked_ && parser_->is_header_done()) {
        // The head arrives whole in one put: `consumed` is all of it.
        head_checked_ = true;
        int refusal = CheckHead(consumed);
        if (refusal != 0) return Refuse(refusal);
        parser_->eager(true);
      }
      if (parser_->is_done()) return Event::kRequest;
    }
    return Event::kNeedMore;
  }

  // The status that refuses the request whose head has just arrived, or
  // 0; asks for the body when the client waits for leave to send it.
  int CheckHead(std::string_view head) {
    isapi::Request& request = parser_->request;
    std::string_view version = parser_->version == 10 ? "HTTP/1.0" : "HTTP/1.1";
    if (HasObsoleteFold(head)) return 400;
    int refusal = RefuseRequest(request.method, request.target, version, request.headers,
                                server_->max_body_);
    if (refusal != 0) return refusal;
    refusal = MapRequest(request.method, request.target, version, addresses_, &request);
    if (refusal != 0) return refusal;
    if (parser_->version == 11 && !parser_->is_done()) {
      for (const isapi::HeaderField& field : request.headers) {
        if (isapi::EqualsIgnoreCase(field.name, "Expect") &&
            isapi::EqualsIgnoreCase(field.value, "100-continue")) {
          replies_.append("HTTP/1.1 100 Continue\r\n\r\n");
          break;
        }
      }
    }
    return 0;
  }

  // For the log and the version check, the request line the parser
  // refused, split at its blanks, when it went no further than that.
  void NoteRequestLine(std::string_view input) {
    isapi::Request& request = parser_->request;
    if (!request.method.empty()) return;
    std::string_view line = input.substr(0, std::min(input.find('\r'), input.find('\n')));
    line = line.substr(0, kMaxHeadBytes);
    size_t blank = line.find(' ');
    request.method.assign(line.substr(0, blank));
    if (blank == std::string_view::npos) return;
    line.remove_prefix(blank + 1);
    blank = line.find(' ');
    request.target.assign(line.substr(0, blank));
    if (blank != std::string_view::npos) request.protocol.assign(line.substr(blank + 1));
  }

  // Answers with `status` alone and ends the connection, so that nothing
  // the client sent after the refused request is read as another.
  Event Refuse(int status) {
    isapi::Request& request = parser_->request;
    // A request refused before it was mapped still logs its client.
    request.remote_addr = addresses_.remote_addr;
    AppendHead(isapi::BareHead(status, request.method != "HEAD", false), parser_->version == 10,
               false, false, &replies_);
    server_->log_->Write(request, status, 0);
    return Event::kError;
  }

  HttpServer* server_;
  ConnectionAddresses addresses_;
  std::optional<RequestParser> parser_;
  bool head_checked_ = false;
  bool started_ = false;
  std::string replies_;
};

HttpServer::HttpServer(isapi::Module* module, AccessLog* log, int listen_fd,
                       const ServerSettings& settings)
    : module_(module),
      log_(log),
      max_body_(settings.max_body),
      loops_(this, listen_fd, settings.loop) {}

std::unique_ptr<isapi::Conversation> HttpServer::Open(int fd) {
  ConnectionAddresses addresses;
  sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    isapi::AddressText(reinterpret_cast<sockaddr*>(&address), &addresses.remote_addr,
                       &addresses.remote_port);
  }
  length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    isapi::AddressText(reinterpret_cast<sockaddr*>(&address), &addresses.local_addr,
                       &addresses.local_port);
  }
  {
    std::lock_guard<std::mutex> lock(addresses_mutex_);
    unsigned& count = connections_per_address_[addresses.remote_addr];
    if (count >= kPerAddressLimit) return nullptr;
    ++count;
  }
  return std::make_unique<Conversation>(this, std::move(addresses));
}

void HttpServer::Forget(const std::string& remote_addr) {
  std::lock_guard<std::mutex> lock(addresses_mutex_);
  auto it = connections_per_address_.find(remote_addr);
  if (--it->second == 0) connections_per_address_.erase(it);
}

}  // namespace isapi_http
