#include "server/core/host_core.h"

#include <dlfcn.h>
#include <string.h>

#include <algorithm>
#include <string_view>

#include "server/core/http_text.h"

namespace isapi {
namespace {

constexpr uint32_t kCallMagic = 0x49534150;  // "ISAP"

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

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

// Parses "NNN" or "NNN reason". A final answer needs a code of 200 or more.
bool ParseStatus(std::string_view text, ResponseHead* head) {
  if (text.size() < 3) return false;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    code = code * 10 + (text[i] - '0');
  }
  if (code < 200) return false;
  if (text.size() > 3 && text[3] != ' ') return false;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return false;
  }
  head->status = code;
  head->status_text.assign(text.data(), text.size());
  return true;
}

// Splits the module's header block into header lines and the body bytes
// that may follow its blank line. Lines end in CRLF; the last line may lack
// it and the blank line may be missing. A bare CR or LF, an obsolete line
// fold, a name that is not a token or a control character in a value makes
// the block invalid.
bool ParseHeaderBlock(std::string_view block, ResponseHead* head, std::string_view* body) {
  *body = std::string_view();
  // One allocation each instead of one per doubling.
  size_t blank_line = block.find("\r\n\r\n");
  std::string_view lines = block.substr(0, blank_line);
  head->headers.reserve(static_cast<size_t>(std::count(lines.begin(), lines.end(), '\n')) + 1);
  head->header_block.reserve(lines.size() + 2);
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find('\n', pos);
    size_t next = block.size();
    std::string_view line;
    if (end == std::string_view::npos) {
      line = block.substr(pos);
    } else {
      if (end == pos || block[end - 1] != '\r') return false;
      line = block.substr(pos, end - 1 - pos);
      next = end + 1;
    }
    if (line.find('\r') != std::string_view::npos) return false;
    if (line.empty()) {
      *body = block.substr(next);
      return true;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view name = line.substr(0, colon);
    if (!IsToken(name)) return false;
    std::string_view value = TrimBlanks(line.substr(colon + 1));
    for (char c : value) {
      unsigned char u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u == 0x7f) return false;
    }
    head->headers.push_back({std::string(name), std::string(value)});
    head->header_block.append(line.data(), line.size());
    head->header_block += "\r\n";
    pos = next;
  }
  return true;
}

// Derives the framing from the module's Content-Length and
// Transfer-Encoding lines. Conflicting or malformed framing is invalid.
bool DecideFraming(ResponseHead* head) {
  bool have_length = false;
  bool chunked = false;
  for (const HeaderField& field : head->headers) {
    if (EqualsIgnoreCase(field.name, "Content-Length")) {
      uint64_t length = 0;
      if (!ParseDecimal(field.value, UINT64_MAX, &length)) return false;
      if (have_length && length != head->content_length) return false;
      have_length = true;
      head->content_length = length;
    } else if (EqualsIgnoreCase(field.name, "Transfer-Encoding")) {
      if (!EqualsIgnoreCase(field.value, "chunked") || chunked) return false;
      chunked = true;
    }
  }
  if (have_length && chunked) return false;
  head->framing = have_length ? Framing::kContentLength
                  : chunked   ? Framing::kModuleChunked
                              : Framing::kFrontEnd;
  return true;
}

// The state of one request while the module works on it. ConnID points
// here. `request` and the control block's copies never change during the
// call, so GetServerVariable and ReadClient read them without a lock; every
// callback that touches the answer (the header requests, WriteClient,
// HSE_REQ_DONE_WITH_SESSION, HSE_REQ_IS_KEEP_CONN) holds `mutex`, which
// serialises the sink calls of one request.
struct ExtensionCall {
  uint32_t magic = kCallMagic;
  const Request* request;
  ResponseSink* sink;

  std::mutex mutex;
  std::condition_variable session_done;
  bool done_with_session = false;
  bool head_sent = false;
  bool answer_failed = false;  // bad header block answered with 500
  bool delivery_failed = false;
  ResponseHead head;
  uint64_t body_bytes = 0;
  uint64_t withheld_body_bytes = 0;

  // Writable copies for the control block's string members.
  std::string method, query, path_info, path_translated, content_type, body;
  EXTENSION_CONTROL_BLOCK ecb;
};

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
    *value = std::to_string(request.body.size());
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

bool HasBody(const Request& request, int status) {
  return request.method != "HEAD" && status != 204 && status != 304;
}

// Passes body bytes to the sink within the announced Content-Length.
// Caller holds call->mutex and has sent the head.
BOOL DeliverBody(ExtensionCall* call, const char* data, size_t size) {
  if (!call->head.has_body) {
    call->withheld_body_bytes += size;
    return TRUE;
  }
  if (size == 0) return TRUE;
  bool overrun = false;
  if (call->head.framing == Framing::kContentLength) {
    uint64_t room = call->head.content_length - call->body_bytes;
    if (size > room) {
      size = static_cast<size_t>(room);
      overrun = true;
    }
  }
  if (size > 0) {
    if (!call->sink->WriteBody(data, size)) {
      call->delivery_failed = true;
      return Fail(ERROR_CONNECTION_ABORTED);
    }
    call->body_bytes += size;
  }
  return overrun ? Fail(ERROR_INVALID_PARAMETER) : TRUE;
}

// Sends a head without header lines and with an empty body.
void SendBareHead(ExtensionCall* call, int status) {
  call->head = ResponseHead();
  call->head.status = status;
  call->head.status_text = std::to_string(status);
  if (*ReasonPhrase(status) != '\0') call->head.status_text += std::string(" ") + ReasonPhrase(status);
  call->head.header_block = "Content-Length: 0\r\n";
  call->head.headers.push_back({"Content-Length", "0"});
  call->head.framing = Framing::kContentLength;
  call->head.has_body = false;
  call->head.keep_conn = status != 503;
  call->head_sent = true;
  call->ecb.dwHttpStatusCode = static_cast<DWORD>(status);
  if (!call->sink->SendHead(call->head)) call->delivery_failed = true;
}

// The common part of both header requests. `status` and `block` need no
// terminating NUL.
BOOL SendHeader(ExtensionCall* call, std::string_view status, std::string_view block,
                bool keep_conn) {
  std::lock_guard<std::mutex> lock(call->mutex);
  if (call->head_sent) return Fail(ERROR_INVALID_PARAMETER);
  ResponseHead head;
  std::string_view body;
  if (!ParseResponseHead(status, block, &head, &body)) {
    call->answer_failed = true;
    SendBareHead(call, 500);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  head.keep_conn = keep_conn;
  head.has_body = HasBody(*call->request, head.status);
  call->head = std::move(head);
  call->head_sent = true;
  call->ecb.dwHttpStatusCode = static_cast<DWORD>(call->head.status);
  if (!call->sink->SendHead(call->head)) {
    call->delivery_failed = true;
    return Fail(ERROR_CONNECTION_ABORTED);
  }
  return DeliverBody(call, body.data(), body.size());
}

// A counted string that may or may not include its NUL, or stop earlier.
std::string_view CountedText(LPCSTR text, DWORD count) {
  return std::string_view(text, strnlen(text, count));
}

BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD,
                                  LPDWORD data_type) {
  ExtensionCall* call = FromHandle(conn);
  if (call == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  switch (request) {
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
      bool keep = call->sink->ClientKeepsAlive() &&
                  (!call->head_sent || call->head.keep_conn);
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
  // The header call must come first; after a rejected block the 500 is out.
  if (!call->head_sent || call->answer_failed) return Fail(ERROR_INVALID_PARAMETER);
  if (call->delivery_failed) return Fail(ERROR_CONNECTION_ABORTED);
  return DeliverBody(call, static_cast<const char*>(buffer), *bytes);
}

BOOL WINAPI ReadClient(HCONN conn, LPVOID, LPDWORD size) {
  ExtensionCall* call = FromHandle(conn);
  if (call == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // The whole body is in lpbData already, so there is nothing left to read.
  *size = 0;
  return TRUE;
}

void FillControlBlock(ExtensionCall* call) {
  const Request& request = *call->request;
  call->method = request.method;
  call->query = request.query;
  call->path_info.assign(PathInfoOf(request));
  call->content_type.assign(ContentTypeOf(request));
  call->body = request.body;

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
  ecb.cbTotalBytes = static_cast<DWORD>(call->body.size());
  ecb.cbAvailable = ecb.cbTotalBytes;
  ecb.lpbData = reinterpret_cast<LPBYTE>(call->body.data());
  ecb.GetServerVariable = GetServerVariable;
  ecb.WriteClient = WriteClient;
  ecb.ReadClient = ReadClient;
  ecb.ServerSupportFunction = ServerSupportFunction;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::unique_ptr<Module> Module::Load(const std::string& path, std::string* error) {
  // A bare file name would make dlopen search the library path.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *error = std::string("cannot load module: ") + dlerror();
    return nullptr;
  }
  auto get_version =
      reinterpret_cast<PFN_GETEXTENSIONVERSION>(dlsym(handle, "GetExtensionVersion"));
  auto proc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(handle, "HttpExtensionProc"));
  if (get_version == nullptr || proc == nullptr) {
    *error = path + ": module does not export " +
             (get_version == nullptr ? "GetExtensionVersion" : "HttpExtensionProc");
    dlclose(handle);
    return nullptr;
  }
  HSE_VERSION_INFO info;
  memset(&info, 0, sizeof info);
  SetLastError(NO_ERROR);
  if (!get_version(&info)) {
    *error = path + ": GetExtensionVersion failed (error " + std::to_string(GetLastError()) + ")";
    dlclose(handle);
    return nullptr;
  }
  info.lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN - 1] = '\0';

  std::unique_ptr<Module> module(new Module());
  module->handle_ = handle;
  module->http_extension_proc_ = proc;
  module->terminate_extension_ =
      reinterpret_cast<PFN_TERMINATEEXTENSION>(dlsym(handle, "TerminateExtension"));
  module->description_ = info.lpszExtensionDesc;
  return module;
}

Module::~Module() { Terminate(); }

ServeResult Module::Serve(const Request& request, ResponseSink* sink) {
  ExtensionCall call;
  call.request = &request;
  call.sink = sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminated_) {
      SendBareHead(&call, 503);
      sink->Finish(!call.delivery_failed);
      return ServeResult{503, 0};
    }
    ++in_flight_;
  }

  FillControlBlock(&call);
  DWORD status = http_extension_proc_(&call.ecb);
  std::unique_lock<std::mutex> lock(call.mutex);
  if (status == HSE_STATUS_PENDING) {
    call.session_done.wait(lock, [&] { return call.done_with_session; });
  }
  if (!call.head_sent) SendBareHead(&call, 500);
  const ResponseHead& head = call.head;
  bool short_body = head.framing == Framing::kContentLength && head.has_body &&
                    call.body_bytes != head.content_length;
  sink->Finish(!call.delivery_failed && !short_body);
  ServeResult result{head.status, call.body_bytes, call.withheld_body_bytes};
  lock.unlock();

  std::lock_guard<std::mutex> module_lock(mutex_);
  if (--in_flight_ == 0) idle_.notify_all();
  return result;
}

void Module::Terminate() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (terminated_) return;
  terminated_ = true;
  idle_.wait(lock, [this] { return in_flight_ == 0; });
  if (terminate_extension_ != nullptr) terminate_extension_(HSE_TERM_MUST_UNLOAD);
  dlclose(handle_);
  handle_ = nullptr;
}

bool ParseResponseHead(std::string_view status, std::string_view block, ResponseHead* head,
                       std::string_view* body) {
  return ParseStatus(status, head) && ParseHeaderBlock(block, head, body) && DecideFraming(head);
}

bool SplitTarget(const std::string& target, std::string* path, std::string* query) {
  if (target.empty() || target[0] != '/') return false;
  size_t mark = target.find('?');
  std::string_view raw_path(target.data(), mark == std::string::npos ? target.size() : mark);
  std::string decoded;
  decoded.reserve(raw_path.size());
  for (size_t i = 0; i < raw_path.size(); ++i) {
    if (raw_path[i] != '%') {
      size_t run_end = std::min(raw_path.find('%', i), raw_path.size());
      decoded.append(raw_path.data() + i, run_end - i);
      i = run_end - 1;
      continue;
    }
    int high = i + 2 < raw_path.size() ? HexDigit(raw_path[i + 1]) : -1;
    int low = high >= 0 ? HexDigit(raw_path[i + 2]) : -1;
    if (low < 0 || (high == 0 && low == 0)) return false;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  *path = std::move(decoded);
  *query = mark == std::string::npos ? std::string() : target.substr(mark + 1);
  return true;
}

bool ClientAllowsKeepAlive(const Request& request) {
  bool http11 = request.protocol == "HTTP/1.1";
  for (const HeaderField& field : request.headers) {
    if (!EqualsIgnoreCase(field.name, "Connection")) continue;
    std::string_view value = TrimBlanks(field.value);
    if (EqualsIgnoreCase(value, "close")) return false;
    if (EqualsIgnoreCase(value, "keep-alive")) return true;
  }
  return http11;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "";
  }
}

}  // namespace isapi
