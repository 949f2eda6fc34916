#include "server/fcgi/fcgi_responder.h"

#include <string.h>
#include <sys/socket.h>

#include <algorithm>

#include "server/core/calls_in_flight.h"
#include "server/fcgi/fcgi_answer.h"
#include "server/fcgi/fcgi_request.h"

namespace isapi_fcgi {

namespace {

// Sends to a non-blocking socket (see isapi::SendAll).
class SocketOutput : public RecordOutput {
 public:
  // `read_ahead`: bytes already read from the connection after the request.
  SocketOutput(int fd, uint16_t request_id, std::string_view read_ahead,
               std::chrono::milliseconds timeout)
      : fd_(fd),
        request_id_(request_id),
        read_ahead_(read_ahead),
        timeout_(timeout) {}

  // While its request runs a web server sends nothing on the connection
  // but ABORT_REQUEST: a look at the next record header finds it, and
  // leaves the bytes to the reader.
  bool Abandoned() override {
    unsigned char header[kRecordHeaderSize];
    size_t have = std::min(read_ahead_.size(), sizeof header);
    memcpy(header, read_ahead_.data(), have);
    if (have < sizeof header) {
      ssize_t count = recv(fd_, header + have, sizeof header - have, MSG_PEEK | MSG_DONTWAIT);
      if (count > 0) have += static_cast<size_t>(count);
    }
    return have == sizeof header && header[1] == kAbortRequest &&
           ((header[2] << 8) | header[3]) == request_id_;
  }

  bool Send(std::string_view bytes) override { return isapi::SendAll(fd_, bytes, timeout_); }

 private:
  int fd_;
  uint16_t request_id_;
  std::string_view read_ahead_;
  std::chrono::milliseconds timeout_;
};

}  // namespace

bool AnswerRequest(isapi::Module* module, int fd, ResponderRequest request,
                   std::string_view read_ahead, std::chrono::milliseconds write_timeout) {
  SocketOutput out(fd, request.id, read_ahead, write_timeout);
  isapi::Request http;
  bool valid_host = RequestFromParams(request.params, &http);
  http.body = std::move(request.body);
  request.spool.AttachTo(&http);
  AnswerSink sink(request.id, isapi::ClientAllowsKeepAlive(http.protocol, http.headers), &out);
  bool has_body = http.method != "HEAD";
  if (request.params_too_large) {
    isapi::SendBareAnswer(&sink, 431, has_body);
  } else if (http.method.empty() || !valid_host) {
    isapi::SendBareAnswer(&sink, 400, has_body);
  } else if (request.body_too_large) {
    isapi::SendBareAnswer(&sink, 413, has_body);
  } else if (request.body_lost) {
    isapi::SendBareAnswer(&sink, 500, has_body);
  } else {
    isapi::CallInFlight call(http.method, http.target, http.protocol);
    module->Serve(http, &sink);
  }
  return sink.sent();
}

namespace {

// One connection from the web server: its records, request after request.
class FcgiConversation : public isapi::Conversation {
 public:
  FcgiConversation(isapi::Module* module, const Limits& limits)
      : module_(module), limits_(limits), reader_(limits) {}

  Event Feed(const char* data, size_t size, size_t* used) override {
    RequestReader::Event event = reader_.Feed(data, size, used);
    has_request_ = event == RequestReader::Event::kRequest;
    switch (event) {
      case RequestReader::Event::kNeedMore:
        return Event::kNeedMore;
      case RequestReader::Event::kRequest:
      case RequestReader::Event::kEnded:  // aborted or refused: replies() ended it
        return Event::kRequest;
      case RequestReader::Event::kError:
        break;
    }
    return Event::kError;
  }

  std::string* replies() override { return reader_.replies(); }
  bool started() const override { return reader_.started(); }

  bool Answer(int fd, std::string_view read_ahead,
              std::chrono::milliseconds write_timeout) override {
    ResponderRequest& request = reader_.request();
    bool keep = request.keep_conn;
    if (has_request_) {
      keep = AnswerRequest(module_, fd, std::move(request), read_ahead, write_timeout) && keep;
    }
    reader_ = RequestReader(limits_);
    return keep;
  }

 private:
  isapi::Module* module_;
  Limits limits_;
  RequestReader reader_;
  bool has_request_ = false;  // the last Feed completed a request to run
};

}  // namespace

Responder::Responder(isapi::Module* module, int listen_fd, const ResponderSettings& settings)
    : module_(module),
      limits_(settings.limits),
      loops_(this, listen_fd, settings.loop) {}

std::unique_ptr<isapi::Conversation> Responder::Open(int) {
  return std::make_unique<FcgiConversation>(module_, limits_);
}

}  // namespace isapi_fcgi
