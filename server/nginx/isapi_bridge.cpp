#include "server/nginx/isapi_bridge.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "server/core/address_text.h"
#include "server/core/host_core.h"

struct isapi_module {
  std::unique_ptr<isapi::Module> module;
};

namespace {

struct AnswerStorage {
  isapi::ResponseHead head;
  std::vector<isapi_field> fields;
};

std::string Text(isapi_text text) { return std::string(text.data, text.len); }

isapi_text View(const std::string& text) { return isapi_text{text.data(), text.size()}; }

void CopyError(const std::string& message, char* error, size_t error_size) {
  if (error_size == 0) return;
  size_t length = message.size() < error_size - 1 ? message.size() : error_size - 1;
  memcpy(error, message.data(), length);
  error[length] = '\0';
}

// nginx's request body, read from its buffers and temporary file as the
// core asks for it (lpbData's first bytes, then the module's ReadClient).
class NginxBody : public isapi::BodyReader {
 public:
  explicit NginxBody(const isapi_request& in) : read_(in.read_body), data_(in.read_body_data) {}
  long Read(void* buffer, size_t size) override {
    return static_cast<long>(read_(data_, buffer, size));
  }

 private:
  int64_t (*read_)(void* data, void* buffer, size_t size);
  void* data_;
};

}  // namespace

struct isapi_call {
  isapi::Request request;
  std::unique_ptr<NginxBody> body;
};

namespace {

void CopyRequest(const isapi_request& in, isapi_call* call) {
  isapi::Request* out = &call->request;
  out->method = Text(in.method);
  out->target = Text(in.target);
  out->path = Text(in.path);
  out->query = Text(in.query);
  out->script_name = Text(in.script_name);
  out->protocol = Text(in.protocol);
  out->headers.reserve(in.header_count);
  for (size_t i = 0; i < in.header_count; ++i) {
    out->headers.push_back({Text(in.headers[i].name), Text(in.headers[i].value)});
  }
  if (in.body_size > 0) {
    call->body = std::make_unique<NginxBody>(in);
    out->body_rest = call->body.get();
    out->body_length = in.body_size;
    // cbTotalBytes cannot carry 4 GiB or more: such a length is unknown to
    // the module, which reads until ReadClient says the end.
    out->body_length_unknown = in.body_size >= isapi::kUnknownBodyLength;
  }
  out->remote_addr = Text(in.remote_addr);
  out->remote_port = in.remote_port;
  out->local_addr = Text(in.local_addr);
  out->local_port = in.local_port;
  out->server_name = isapi::ServerName(out->headers, out->local_addr);
  out->server_software = Text(in.server_software);
  out->https = in.https != 0;
}

isapi_framing FramingOf(isapi::Framing framing);

// Hands the core's answer to the nginx side's sink.
class SinkAdapter : public isapi::ResponseSink {
 public:
  explicit SinkAdapter(const isapi_sink& sink) : sink_(sink) {}

  // The core calls this from inside the module's ServerSupportFunction:
  // no exception may leave it.
  bool SendHead(const isapi::ResponseHead& head) override try {
    auto storage = std::make_unique<AnswerStorage>();
    storage->head = head;
    storage->fields.reserve(head.headers.size());
    for (const isapi::HeaderField& field : storage->head.headers) {
      storage->fields.push_back({View(field.name), View(field.value)});
    }
    isapi_answer answer;
    answer.status = head.status;
    answer.status_line = View(storage->head.status_text);
    answer.headers = storage->fields.data();
    answer.header_count = storage->fields.size();
    answer.framing = FramingOf(head.framing);
    answer.content_length = head.content_length;
    answer.keep_conn = head.keep_conn;
    answer.status_has_body = head.status_has_body;
    answer.replaces_module_answer = head.replaces_module_answer;
    answer.storage = storage.release();
    return sink_.head(sink_.data, &answer) == 0;
  } catch (const std::bad_alloc&) {
    return false;
  }
  bool WriteBody(const void* data, size_t size) override {
    return sink_.body(sink_.data, static_cast<const char*>(data), size) == 0;
  }
  void Finish(bool complete) override { sink_.finish(sink_.data, complete); }
  bool ClientKeepsAlive() override { return sink_.keep_alive != 0; }
  bool ClientGone() override { return sink_.gone != nullptr && sink_.gone(sink_.data) != 0; }

 private:
  const isapi_sink& sink_;
};

isapi_framing FramingOf(isapi::Framing framing) {
  switch (framing) {
    case isapi::Framing::kContentLength: return ISAPI_FRAMING_MODULE_LENGTH;
    case isapi::Framing::kHeldLength: return ISAPI_FRAMING_HELD_LENGTH;
    case isapi::Framing::kFrontEnd: break;
  }
  return ISAPI_FRAMING_UNKNOWN;
}

// Takes on the worker's groups, user and environment, in the order nginx's
// worker does; "" or the reason it could not.
std::string BecomeWorker(const isapi_worker_identity& worker) {
  if (worker.switch_user) {
    if (setgid(worker.group) != 0 || initgroups(worker.user_name, worker.group) != 0 ||
        setuid(worker.user) != 0) {
      return std::string("cannot become the worker's user ") + worker.user_name + ": " +
             strerror(errno);
    }
  }
  environ = const_cast<char**>(worker.environment);
  return "";
}

// The child side of isapi_module_check: loads the module as a worker
// would, writes the reason it failed (nothing on success) to `fd` and exits
// without TerminateExtension or any other cleanup.
[[noreturn]] void CheckInChild(const char* path, const isapi_worker_identity& worker, int fd) {
  std::string error = BecomeWorker(worker);
  if (error.empty()) {
    // Released, not destroyed: the destructor would call TerminateExtension.
    if (isapi::Module::Load(path, &error).release() != nullptr) error.clear();
  } else {
    error = std::string(path) + ": " + error;
  }
  size_t done = 0;
  while (done < error.size()) {
    ssize_t count = write(fd, error.data() + done, error.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<size_t>(count);
  }
  _exit(0);
}

// How long the configuration check waits for a module to load: a module
// whose GetExtensionVersion hangs must not hang `nginx -t` or a reload.
constexpr std::chrono::seconds kCheckTimeout{10};

// Appends what arrives on `fd` to `out` until the writer closes it; false
// when `timeout` passes first.
bool ReadUntilClosed(int fd, std::chrono::milliseconds timeout, std::string* out) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[512];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd readable = {fd, POLLIN, 0};
    int ready = poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return true;
    if (ready <= 0) continue;
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return true;
    out->append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace

extern "C" {

int isapi_module_check(const char* path, const isapi_worker_identity* worker, char* error,
                       size_t error_size) {
  // Blocking SIGCHLD keeps nginx's master from reaping the child first.
  sigset_t child_signal, previous;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child_signal, &previous);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    CopyError(std::string(path) + ": cannot check the module: " + strerror(errno), error,
              error_size);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    CheckInChild(path, *worker, fds[1]);
  }
  close(fds[1]);
  std::string message;
  bool timed_out = pid > 0 && !ReadUntilClosed(fds[0], kCheckTimeout, &message);
  close(fds[0]);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  bool reaped = pid > 0 && waitpid(pid, &status, 0) == pid;
  sigprocmask(SIG_SETMASK, &previous, nullptr);

  if (pid < 0) {
    message = std::string(path) + ": cannot check the module: fork failed";
  } else if (timed_out) {
    message = std::string(path) + ": GetExtensionVersion did not return within " +
              std::to_string(kCheckTimeout.count()) + " s";
  } else if (message.empty() && reaped && WIFSIGNALED(status)) {
    message = std::string(path) + ": the module crashed while loading (signal " +
              std::to_string(WTERMSIG(status)) + ")";
  }
  if (message.empty()) return 0;
  CopyError(message, error, error_size);
  return -1;
}

const uint64_t isapi_default_hold_limit = isapi::kDefaultHoldLimit;

isapi_module* isapi_module_load(const char* path, uint64_t hold_limit, char* error,
                                size_t error_size) {
  try {
    std::string reason;
    std::unique_ptr<isapi::Module> module = isapi::Module::Load(path, &reason);
    if (module == nullptr) {
      CopyError(reason, error, error_size);
      return nullptr;
    }
    module->set_hold_limit(hold_limit);
    return new isapi_module{std::move(module)};
  } catch (const std::exception& e) {
    CopyError(std::string(path) + ": " + e.what(), error, error_size);
    return nullptr;
  } catch (...) {
    CopyError(std::string(path) + ": the module threw while loading", error, error_size);
    return nullptr;
  }
}

void isapi_module_unload(isapi_module* module) {
  if (module == nullptr) return;
  module->module->Terminate();
  delete module;
}

isapi_call* isapi_call_copy(const isapi_request* request) {
  try {
    auto call = std::make_unique<isapi_call>();
    CopyRequest(*request, call.get());
    return call.release();
  } catch (...) {
    return nullptr;
  }
}

int isapi_call_run(isapi_module* module, isapi_call* call, const isapi_sink* sink) {
  std::unique_ptr<isapi_call> owned(call);
  try {
    SinkAdapter adapter(*sink);
    module->module->Serve(owned->request, &adapter);
    return 0;
  } catch (...) {
    // Out of memory, or a C++ exception the module let escape: a C caller
    // cannot unwind it.
    return -1;
  }
}

void isapi_answer_release(isapi_answer* answer) {
  delete static_cast<AnswerStorage*>(answer->storage);
  answer->storage = nullptr;
}

}  // extern "C"
