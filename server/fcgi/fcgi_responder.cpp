#include "server/fcgi/fcgi_responder.h"

#include "server/core/calls_in_flight.h"
#include "server/fcgi/fcgi_answer.h"
#include "server/fcgi/fcgi_request.h"

namespace isapi_fcgi {

namespace {

// Records on their way to the web server, through the connection's channel.
class ChannelOutput : public RecordOutput {
 public:
  ChannelOutput(isapi::Channel* channel, uint16_t request_id)
      : channel_(channel), request_id_(request_id) {}

  // While its request runs a web server sends nothing on the connection
  // but ABORT_REQUEST: a look at the next record header finds it, and
  // leaves the bytes to the reader.
  bool Abandoned() override {
    unsigned char header[kRecordHeaderSize];
    return channel_->PeekInput(header, sizeof header) == sizeof header &&
           header[1] == kAbortRequest && ((header[2] << 8) | header[3]) == request_id_;
  }

  bool Send(std::string_view bytes) override { return channel_->Send(bytes); }

 private:
  isapi::Channel* channel_;
  uint16_t request_id_;
};

}  // namespace

bool AnswerRequest(isapi::Module* module, isapi::Channel* channel, ResponderRequest request) {
  ChannelOutput out(channel, request.id);
  isapi::Request http;
  bool valid_host = RequestFromParams(request.params, &http);
  http.body = std::move(request.body);
  request.spool.AttachTo(&http);
  FcgiResponseSink sink(request.id, isapi::ClientAllowsKeepAlive(http.protocol, http.headers),
                        &out);
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

  // The reader consumes every byte it is given until an event; a record
  // split across reads is part of its state.
  Event Feed(std::string_view input, size_t* consumed) override {
    RequestReader::Event event = reader_.Feed(input.data(), input.size(), consumed);
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

  bool Answer(isapi::Channel* channel) override {
    ResponderRequest& request = reader_.request();
    bool keep = request.keep_conn;
    if (has_request_) keep = AnswerRequest(module_, channel, std::move(request)) && keep;
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
