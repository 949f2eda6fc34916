#include <string.h>

#include <algorithm>
#include <string_view>

#include "server/core/extension_call.h"
#include "server/core/http_text.h"

namespace isapi {
namespace {

constexpr uint32_t kCallMagic = 0x49534150;  // "ISAP"

// "HTTP_" + the header name in capitals with '-' as '_', the way CGI and
// the extension interface name request headers.
std::string VariableNameOf(const std::string& header_name) {
  std::string name = "HTTP_";
  for (char c : header_name) name += (c == '-') ? '_' : AsciiUpper(c);
  return name;
}

// Whether `variable` (after its "HTTP_") names the header `header_name`,
// compared as VariableNameOf would spell it, without building that name.
bool NamesHeader(std::string_view variable, std::string_view header_name) {
  if (variable.size() != header_name.size()) return false;
  for (size_t i = 0; i < variable.size(); ++i) {
    char c = header_name[i] == '-' ? '_' : AsciiUpper(header_name[i]);
    if (AsciiUpper(variable[i]) != c) return false;
  }
  return true;
}

ExtensionCall* FromHandle(HCONN conn) {
  ExtensionCall* call = static_cast<ExtensionCall*>(conn);
  if (call == nullptr || call->magic != kCallMagic) return nullptr;
  return call;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string_view PathInfoOf(const Request& request) {
  std::string_view path = request.path;
  if (path.compare(0, request.script_name.size(), request.script_name) == 0) {
    path.remove_prefix(request.script_name.size());
  }
  return path;
}

uint64_t BodyLength(const Request& request) {
  return request.body_rest != nullptr ? request.body_length : request.body.size();
}

// The last Content-Type header's value, empty without one.
std::string_view ContentTypeOf(const Request& request) {
  std::string_view type;
  for (const HeaderField& field : request.headers) {
    if (EqualsIgnoreCase(field.name, "Content-Type")) type = field.value;
  }
  return type;
}

bool FindVariable(const Request& request, std::string_view name, std::string* value) {
  auto is = [&](const char* known) { return EqualsIgnoreCase(name, known); };
  if (is("REQUEST_METHOD")) {
    *value = request.method;
  } else if (is("QUERY_STRING")) {
    *value = request.query;
  } else if (is("PATH_INFO")) {
    value->assign(PathInfoOf(request));
  } else if (is("PATH_TRANSLATED")) {
    value->clear();
  } else if (is("SCRIPT_NAME")) {
    *value = request.script_name;
  } else if (is("URL")) {
    *value = request.path;
  } else if (is("SERVER_NAME")) {
    *value = request.server_name;
  } else if (is("SERVER_PORT")) {
    *value = std::to_string(request.local_port);
  } else if (is("SERVER_PROTOCOL")) {
    *value = request.protocol;
  } else if (is("SERVER_SOFTWARE")) {
    *value = request.server_software;
  } else if (is("GATEWAY_INTERFACE")) {
    *value = "CGI/1.1";
  } else if (is("REMOTE_ADDR") || is("REMOTE_HOST")) {
    *value = request.remote_addr;
  } else if (is("REMOTE_PORT")) {
    *value = std::to_string(request.remote_port);
  } else if (is("CONTENT_LENGTH")) {
    *value = request.body_length_unknown ? std::string() : std::to_string(BodyLength(request));
  } else if (is("CONTENT_TYPE")) {
    value->assign(ContentTypeOf(request));
  } else if (is("HTTPS")) {
    *value = request.https ? "on" : "off";
  } else if (is("ALL_HTTP")) {
    value->clear();
    for (const HeaderField& field : request.headers) {
      *value += VariableNameOf(field.name) + ":" + field.value + "\n";
    }
  } else if (is("ALL_RAW")) {
    value->clear();
    for (const HeaderField& field : request.headers) {
      *value += field.name + ": " + field.value + "\r\n";
    }
  } else if (name.size() > 5 && EqualsIgnoreCase(name.substr(0, 5), "HTTP_")) {
    // Repeated headers are joined as HTTP allows; cookies with "; " so
    // that the value still reads as one Cookie header.
    bool found = false;
    for (const HeaderField& field : request.headers) {
      if (!NamesHeader(name.substr(5), field.name)) continue;
      if (found) *value += EqualsIgnoreCase(field.name, "Cookie") ? "; " : ", ";
      else value->clear();
      *value += field.value;
      found = true;
    }
    return found;
  } else {
    return false;
  }
  return true;
}

BOOL WINAPI GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  ExtensionCall* call = FromHandle(conn);
  if (call == nullptr || name == nullptr || size == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (buffer == nullptr && *size != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::string value;
  if (!FindVariable(*call->request, name, &value)) return Fail(ERROR_INVALID_INDEX);
  DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (*size < needed) {
    *size = needed;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
}

// Turns the answer's verdict on a module's call into its Win32 result.
BOOL Result(ModuleResponse::Outcome outcome) {
  switch (outcome) {
    case ModuleResponse::Outcome::kTaken: return TRUE;
    case ModuleResponse::Outcome::kRefused: return Fail(ERROR_INVALID_PARAMETER);
    case ModuleResponse::Outcome::kNotKept: return Fail(ERROR_WRITE_FAULT);
    case ModuleResponse::Outcome::kClientGone: break;
  }
  return Fail(ERROR_CONNECTION_ABORTED);
}

// The common part of both header requests. `status` and `block` need no
// terminating NUL.
BOOL SendHeader(ExtensionCall* call, std::string_view status, std::string_view block,
                bool keep_conn) {
  std::lock_guard<std::mutex> lock(call->mutex);
  ModuleResponse::Outcome outcome = call->response.Begin(status, block, keep_conn);
  call->ecb.dwHttpStatusCode = static_cast<DWORD>(call->response.status());
  return Result(outcome);
}

// A counted string that may or may not include its NUL, or stop earlier.
std::string_view CountedText(LPCSTR text, DWORD count) {
  return std::string_view(text, strnlen(text, count));
}

BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD hse_request, LPVOID buffer, LPDWORD,
                                  LPDWORD data_type) {
  ExtensionCall* call = FromHandle(conn);
  if (call == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  switch (hse_request) {
    case HSE_REQ_SEND_RESPONSE_HEADER: {
      const char* status = buffer != nullptr ? static_cast<const char*>(buffer) : "200 OK";
      const char* block = data_type != nullptr ? reinterpret_cast<const char*>(data_type) : "";
      return SendHeader(call, status, block, true);
    }
    case HSE_REQ_SEND_RESPONSE_HEADER_EX: {
      if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
      const auto* info = static_cast<const HSE_SEND_HEADER_EX_INFO*>(buffer);
      std::string_view status = info->pszStatus != nullptr
                                    ? CountedText(info->pszStatus, info->cchStatus)
                                    : std::string_view("200 OK");
      std::string_view block = info->pszHeader != nullptr
                                   ? CountedText(info->pszHeader, info->cchHeader)
                                   : std::string_view();
      return SendHeader(call, status, block, info->fKeepConn != FALSE);
    }
    case HSE_REQ_DONE_WITH_SESSION: {
      std::lock_guard<std::mutex> lock(call->mutex);
      call->done_with_session = true;
      call->session_done.notify_all();
      return TRUE;
    }
    case HSE_REQ_IS_KEEP_CONN: {
      if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
      std::lock_guard<std::mutex> lock(call->mutex);
      bool keep = call->sink->ClientKeepsAlive() && call->response.keep_conn();
      *static_cast<BOOL*>(buffer) = keep ? TRUE : FALSE;
      return TRUE;
    }
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD flags) {
  ExtensionCall* call = FromHandle(conn);
  if (call == nullptr || bytes == nullptr || (buffer == nullptr && *bytes != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // Only synchronous writes exist here; 0 is what IIS 4-era code passes.
  if ((flags & HSE_IO_ASYNC) != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(call->mutex);
  return Result(call->response.Write(std::string_view(static_cast<const char*>(buffer), *bytes)));
}

// Reads from the body after what was already handed out: the rest of
// request->body first, then request->body_rest. Caller holds read_mutex.
long ReadBody(ExtensionCall* call, char* buffer, size_t size) {
  const Request& request = *call->request;
  if (call->memory_read < request.body.size()) {
    size_t count = std::min(size, request.body.size() - call->memory_read);
    memcpy(buffer, request.body.data() + call->memory_read, count);
    call->memory_read += count;
    return static_cast<long>(count);
  }
  if (request.body_rest == nullptr || call->rest != ExtensionCall::Rest::kReading) {
    return call->rest == ExtensionCall::Rest::kClientLeft ? -1 : 0;
  }
  long count = request.body_rest->Read(buffer, size);
  if (count <= 0) {
    call->rest = count == 0 ? ExtensionCall::Rest::kEnded : ExtensionCall::Rest::kClientLeft;
  }
  return count;
}

BOOL WINAPI ReadClient(HCONN conn, LPVOID buffer, LPDWORD size) {
  ExtensionCall* call = FromHandle(conn);
  if (call == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (*size == 0) return TRUE;
  std::lock_guard<std::mutex> lock(call->read_mutex);
  long count = ReadBody(call, static_cast<char*>(buffer), *size);
  if (count < 0) {
    *size = 0;
    return Fail(ERROR_CONNECTION_ABORTED);
  }
  *size = static_cast<DWORD>(count);
  return TRUE;
}

// Fills call->body with the first kBodyWindow bytes of the body, waiting
// for them when the front end streams it, as IIS reads ahead before it
// calls the module.
void ReadWindow(ExtensionCall* call) {
  const Request& request = *call->request;
  std::string& window = call->body;
  // What is in memory is copied as it is: the whole window is made (and
  // zeroed) only for a body that streams, not for every GET.
  window.assign(request.body, 0, kBodyWindow);
  call->memory_read = window.size();
  if (window.size() == kBodyWindow || request.body_rest == nullptr) return;
  size_t filled = window.size();
  window.resize(kBodyWindow);
  while (filled < kBodyWindow) {
    long count = ReadBody(call, window.data() + filled, kBodyWindow - filled);
    if (count <= 0) break;
    filled += static_cast<size_t>(count);
  }
  window.resize(filled);
}

void FillControlBlock(ExtensionCall* call) {
  const Request& request = *call->request;
  call->method = request.method;
  call->query = request.query;
  call->path_info.assign(PathInfoOf(request));
  call->content_type.assign(ContentTypeOf(request));
  ReadWindow(call);

  EXTENSION_CONTROL_BLOCK& ecb = call->ecb;
  memset(&ecb, 0, sizeof ecb);
  ecb.cbSize = sizeof ecb;
  ecb.dwVersion = kIsapiVersion;
  ecb.ConnID = call;
  ecb.lpszMethod = call->method.data();
  ecb.lpszQueryString = call->query.data();
  ecb.lpszPathInfo = call->path_info.data();
  ecb.lpszPathTranslated = call->path_translated.data();
  ecb.lpszContentType = call->content_type.data();
  // lpbData[cbAvailable] reads as NUL, as modules written for IIS expect.
  // A front end's body limit keeps a known length below kUnknownBodyLength.
  ecb.cbTotalBytes = request.body_length_unknown ? kUnknownBodyLength
                                                 : static_cast<DWORD>(BodyLength(request));
  ecb.cbAvailable = static_cast<DWORD>(call->body.size());
  ecb.lpbData = reinterpret_cast<LPBYTE>(call->body.data());
  ecb.GetServerVariable = GetServerVariable;
  ecb.WriteClient = WriteClient;
  ecb.ReadClient = ReadClient;
  ecb.ServerSupportFunction = ServerSupportFunction;
}

}  // namespace

ExtensionCall::ExtensionCall(const Request& request, ResponseSink* sink, uint64_t hold_limit)
    : magic(kCallMagic),
      request(&request),
      sink(sink),
      response(sink, hold_limit, request.method == "HEAD") {
  FillControlBlock(this);
}

}  // namespace isapi
