// An extension module for driving the host through real HTTP. PATH_INFO
// picks the behaviour; each answer shows what the host did.
//   /page          200 with Content-Length and a fixed body
//   /stream        200 without Content-Length, body in three writes
//   /nothing       returns without sending anything
//   /bad-header    a header block with a bare LF inside a line
//   /bad-status    status text "20x Odd"
//   /status-only   status "404 Not Found", empty block, then a body
//   /short         announces Content-Length 100, writes 10 bytes
//   /ex-close      HEADER_EX with fKeepConn FALSE and Content-Length
//   /chunked       "Transfer-encoding: chunked", "hello world" in chunks the module
//                  writes itself, split across writes, with an extension and a trailer
//   /chunked-bad   chunked, then a chunk size that is not hexadecimal
//   /chunked-unended  chunked, without the last chunk
//   /long-short    announces Content-Length 300000, writes 200000 bytes
//   /long-chunked-unended  chunked, 200000 bytes without the last chunk
//   /big?KIB       KIB KiB (256 without a query) of body without
//                  Content-Length, in 1 KiB writes
//   /numbered?KIB  KIB KiB of body without Content-Length, in 1 KiB writes,
//                  each write its number in decimal, then dots to 1 KiB
//                  (NumberedWrite in probe_digest.h)
//   /echo          the request body (lpbData, then ReadClient), with Content-Length
//   /digest        what the body looked like: cbTotalBytes, cbAvailable,
//                  whether lpbData[cbAvailable] is NUL, the bytes read in
//                  all, their CRC-32 and how the last ReadClient ended
//   /vars          GetServerVariable results, one "NAME=value" line each
//   /errors        GetServerVariable/ServerSupportFunction/WriteClient error cases
//   /block         waits until /release is requested (at most 10 s)
//   /release       lets every /block request go on
//   /gate          waits until PROBE_GATE_FD, a pipe's read end, becomes
//                  readable (the writer closed it; at most 10 s), then answers
//                  "opened" or "timed out", and reports whether its
//                  WriteClient succeeded ("wrote PATH" or "write failed PATH")
//   /answer?STATUS|LINE|LINE...
//                  the status and header lines of the query (%XX decoded),
//                  then "twelve bytes" as the body unless the method is HEAD
//   /crash         dies of SIGSEGV, as a module with a bad pointer does
// With PROBE_LOAD_ONCE naming a file, GetExtensionVersion refuses
// (ERROR_ACCESS_DENIED) when that file exists and creates it otherwise: a
// configuration check loads the module, the workers after it cannot.
// TerminateExtension appends "terminate <flags>" to the file named by
// PROBE_TERMINATE_LOG, when set. With PROBE_EVENT_FD set to an open
// descriptor, every request writes "enter PATH\n" to it when it reaches
// HttpExtensionProc and "leave PATH\n" when it returns, so that a test
// can wait for a request to be inside the module instead of sleeping.
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "isapi/isapi.h"
#include "tests/server/probe_digest.h"

namespace {

std::mutex gate_mutex;
std::condition_variable gate_open;
bool released = false;

std::string Variable(EXTENSION_CONTROL_BLOCK* ecb, const char* name) {
  char value[8192];
  DWORD size = sizeof value;
  if (!ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), value, &size)) {
    return "<error " + std::to_string(GetLastError()) + ">";
  }
  return std::string(value, size - 1);
}

void SendHeader(EXTENSION_CONTROL_BLOCK* ecb, const char* status, const char* block) {
  DWORD length = static_cast<DWORD>(strlen(block));
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                             const_cast<char*>(status), &length,
                             reinterpret_cast<LPDWORD>(const_cast<char*>(block)));
}

BOOL Write(EXTENSION_CONTROL_BLOCK* ecb, const std::string& text) {
  DWORD length = static_cast<DWORD>(text.size());
  return ecb->WriteClient(ecb->ConnID, const_cast<char*>(text.data()), &length, HSE_IO_SYNC);
}

BOOL SendText(EXTENSION_CONTROL_BLOCK* ecb, const std::string& body) {
  std::string block = "Content-Type: text/plain\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n";
  SendHeader(ecb, nullptr, block.c_str());
  return Write(ecb, body);
}

std::string Outcome(BOOL result) {
  return result ? "TRUE" : "FALSE " + std::to_string(GetLastError());
}

// Hands `handle` the whole body: lpbData first, then ReadClient until it
// gives 0 bytes or fails. Returns how the last ReadClient ended.
template <typename Handle>
std::string ReadWholeBody(EXTENSION_CONTROL_BLOCK* ecb, Handle handle) {
  handle(ecb->lpbData, ecb->cbAvailable);
  char buffer[16384];
  while (true) {
    DWORD size = sizeof buffer;
    BOOL result = ecb->ReadClient(ecb->ConnID, buffer, &size);
    if (!result || size == 0) return Outcome(result);
    handle(buffer, size);
  }
}

std::string Digest(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string out = "total " + std::to_string(ecb->cbTotalBytes) + " available " +
                    std::to_string(ecb->cbAvailable) + " nul " +
                    (ecb->lpbData[ecb->cbAvailable] == 0 ? "yes" : "no");
  uint64_t bytes = 0;
  uint32_t crc = 0;
  std::string end = ReadWholeBody(ecb, [&](const void* data, size_t size) {
    bytes += size;
    crc = probe::Crc32(crc, static_cast<const unsigned char*>(data), size);
  });
  char hex[9];
  snprintf(hex, sizeof hex, "%08x", crc);
  return out + " read " + std::to_string(bytes) + " crc32 " + hex + " end " + end + "\n";
}

// The host's answers to calls made wrongly, one line each.
std::string ErrorCases(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string out;
  char small[4];
  DWORD size = sizeof small;
  char protocol[] = "SERVER_PROTOCOL";
  BOOL result = ecb->GetServerVariable(ecb->ConnID, protocol, small, &size);
  out += "small-buffer " + Outcome(result) + " size " + std::to_string(size) + "\n";
  char method[] = "REQUEST_METHOD";
  char exact[4];
  size = 4;  // "GET" and its NUL
  result = ecb->GetServerVariable(ecb->ConnID, method, exact, &size);
  out += "exact-buffer " + Outcome(result) + " size " + std::to_string(size) + "\n";
  size = 0;
  result = ecb->GetServerVariable(ecb->ConnID, method, nullptr, &size);
  out += "null-buffer-zero-size " + Outcome(result) + " size " + std::to_string(size) + "\n";
  char unknown[] = "NO_SUCH_VARIABLE";
  size = sizeof small;
  out += "unknown " + Outcome(ecb->GetServerVariable(ecb->ConnID, unknown, small, &size)) + "\n";
  char absent[] = "HTTP_X_NOT_SENT";
  size = sizeof small;
  out += "absent-header " + Outcome(ecb->GetServerVariable(ecb->ConnID, absent, small, &size)) +
         "\n";
  out += "null-size " + Outcome(ecb->GetServerVariable(ecb->ConnID, method, small, nullptr)) +
         "\n";
  size = sizeof small;
  out += "null-name " + Outcome(ecb->GetServerVariable(ecb->ConnID, nullptr, small, &size)) +
         "\n";
  size = sizeof small;
  out += "null-conn " + Outcome(ecb->GetServerVariable(nullptr, method, small, &size)) + "\n";
  DWORD bytes = 3;
  out += "write-before-header " +
         Outcome(ecb->WriteClient(ecb->ConnID, const_cast<char*>("abc"), &bytes, HSE_IO_SYNC)) +
         "\n";
  out += "unknown-request " +
         Outcome(ecb->ServerSupportFunction(ecb->ConnID, 9999, nullptr, nullptr, nullptr)) + "\n";
  BOOL keep = -1;
  result = ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IS_KEEP_CONN, &keep, nullptr, nullptr);
  out += "is-keep-conn " + Outcome(result) + " " + std::to_string(keep) + "\n";
  out += "done-with-session " +
         Outcome(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, nullptr,
                                            nullptr, nullptr)) +
         "\n";
  out += "control-block " + std::to_string(ecb->cbSize) + " " + std::to_string(ecb->dwVersion) +
         " method " + ecb->lpszMethod + " query [" + ecb->lpszQueryString + "] path [" +
         ecb->lpszPathInfo + "] translated [" + ecb->lpszPathTranslated + "] type [" +
         ecb->lpszContentType + "]\n";
  return out;
}

const char* const kVariables[] = {
    "REQUEST_METHOD", "QUERY_STRING",    "PATH_INFO",       "SCRIPT_NAME",
    "URL",            "SERVER_NAME",     "SERVER_PORT",     "SERVER_PROTOCOL",
    "SERVER_SOFTWARE", "GATEWAY_INTERFACE", "REMOTE_ADDR",   "REMOTE_HOST",
    "REMOTE_PORT",    "CONTENT_LENGTH",  "CONTENT_TYPE",    "HTTPS",
    "HTTP_HOST",      "HTTP_X_PROBE",    "HTTP_COOKIE",     "ALL_HTTP",
    "ALL_RAW"};

std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void SendAnswer(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string query = PercentDecoded(ecb->lpszQueryString);
  size_t bar = query.find('|');
  std::string status = query.substr(0, bar), block;
  while (bar != std::string::npos) {
    size_t next = query.find('|', bar + 1);
    block += query.substr(bar + 1, next - bar - 1) + "\r\n";
    bar = next;
  }
  SendHeader(ecb, status.c_str(), (block + "\r\n").c_str());
  if (strcmp(ecb->lpszMethod, "HEAD") != 0) Write(ecb, "twelve bytes");
}

// One line per write, so lines of concurrent requests never interleave.
void Report(const char* what, const std::string& path) {
  const char* fd = getenv("PROBE_EVENT_FD");
  if (fd == nullptr) return;
  std::string line = std::string(what) + " " + path + "\n";
  ssize_t written = write(atoi(fd), line.data(), line.size());
  (void)written;
}

}  // namespace

extern "C" {

ISAPI_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* info) {
  const char* once = getenv("PROBE_LOAD_ONCE");
  if (once != nullptr) {
    int fd = open(once, O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd < 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    close(fd);
  }
  info->dwExtensionVersion = kIsapiVersion;
  strcpy(info->lpszExtensionDesc, "probe module");
  return TRUE;
}

ISAPI_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string path = ecb->lpszPathInfo;
  Report("enter", path);
  if (path == "/page") {
    SendText(ecb, "page body\n");
  } else if (path == "/stream") {
    SendHeader(ecb, nullptr, "Content-Type: text/plain\r\n\r\n");
    Write(ecb, "one ");
    Write(ecb, "two ");
    Write(ecb, "three\n");
  } else if (path == "/nothing") {
  } else if (path == "/bad-header") {
    SendHeader(ecb, nullptr, "Content-Type: text/plain\nX-Bad: 1\r\n\r\n");
    Write(ecb, "must not appear");
  } else if (path == "/bad-status") {
    SendHeader(ecb, "20x Odd", "Content-Type: text/plain\r\n\r\n");
  } else if (path == "/status-only") {
    SendHeader(ecb, "404 Not Found", "");
    Write(ecb, "missing");
  } else if (path == "/short") {
    SendHeader(ecb, nullptr, "Content-Length: 100\r\n\r\n");
    Write(ecb, "0123456789");
  } else if (path == "/chunked") {
    SendHeader(ecb, nullptr, "Transfer-encoding: chunked\r\n\r\n");
    Write(ecb, "5;x=1\r\nhel");
    Write(ecb, "lo\r\n6\r");
    Write(ecb, "\n world\r\n0\r\nX-Trailer: 1\r\n\r\n");
  } else if (path == "/chunked-bad") {
    SendHeader(ecb, nullptr, "Transfer-Encoding: chunked\r\n\r\n");
    Write(ecb, "5\r\nhello\r\nzz\r\n");
  } else if (path == "/chunked-unended") {
    SendHeader(ecb, nullptr, "Transfer-Encoding: chunked\r\n\r\n");
    Write(ecb, "5\r\nhello\r\n");
  } else if (path == "/long-short") {
    SendHeader(ecb, nullptr, "Content-Length: 300000\r\n\r\n");
    std::string piece(1000, 'l');
    for (int i = 0; i < 200; ++i) Write(ecb, piece);
  } else if (path == "/long-chunked-unended") {
    SendHeader(ecb, nullptr, "Transfer-Encoding: chunked\r\n\r\n");
    std::string chunk = "3e8\r\n" + std::string(1000, 'c') + "\r\n";
    for (int i = 0; i < 200; ++i) Write(ecb, chunk);
  } else if (path == "/ex-close") {
    HSE_SEND_HEADER_EX_INFO info;
    memset(&info, 0, sizeof info);
    info.pszStatus = "201 Created";
    info.cchStatus = static_cast<DWORD>(strlen(info.pszStatus));
    info.pszHeader = "Content-Length: 2\r\n\r\n";
    info.cchHeader = static_cast<DWORD>(strlen(info.pszHeader));
    info.fKeepConn = FALSE;
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER_EX, &info, nullptr,
                               nullptr);
    Write(ecb, "ok");
  } else if (path == "/big") {
    SendHeader(ecb, nullptr, "Content-Type: application/octet-stream\r\n\r\n");
    std::string piece(1024, 'b');
    long kib = *ecb->lpszQueryString != '\0' ? atol(ecb->lpszQueryString) : 256;
    for (long i = 0; i < kib; ++i) {
      if (!Write(ecb, piece)) break;
    }
  } else if (path == "/numbered") {
    SendHeader(ecb, nullptr, "Content-Type: application/octet-stream\r\n\r\n");
    long kib = atol(ecb->lpszQueryString);
    for (long i = 0; i < kib; ++i) {
      if (!Write(ecb, probe::NumberedWrite(i))) break;
    }
  } else if (path == "/echo") {
    std::string body;
    ReadWholeBody(ecb, [&](const void* data, size_t size) {
      body.append(static_cast<const char*>(data), size);
    });
    SendText(ecb, body);
  } else if (path == "/digest") {
    SendText(ecb, Digest(ecb));
  } else if (path == "/vars") {
    std::string out;
    for (const char* name : kVariables) out += std::string(name) + "=" + Variable(ecb, name) + "\n";
    SendText(ecb, out);
  } else if (path == "/errors") {
    SendText(ecb, ErrorCases(ecb));
  } else if (path == "/block") {
    std::unique_lock<std::mutex> lock(gate_mutex);
    bool opened = gate_open.wait_for(lock, std::chrono::seconds(10), [] { return released; });
    lock.unlock();
    SendText(ecb, opened ? "released\n" : "timed out\n");
  } else if (path == "/gate") {
    const char* fd = getenv("PROBE_GATE_FD");
    pollfd gate = {fd != nullptr ? atoi(fd) : -1, POLLIN, 0};
    bool opened = poll(&gate, 1, 10000) == 1;
    Report(SendText(ecb, opened ? "opened\n" : "timed out\n") ? "wrote" : "write failed",
           path);
  } else if (path == "/answer") {
    SendAnswer(ecb);
  } else if (path == "/crash") {
    // A sanitizer's handler would turn the signal into its own report and
    // exit status; the host must see the signal itself, as it does from an
    // uninstrumented module.
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
  } else if (path == "/release") {
    {
      std::lock_guard<std::mutex> lock(gate_mutex);
      released = true;
    }
    gate_open.notify_all();
    SendText(ecb, "open\n");
  } else {
    SendHeader(ecb, "404 Not Found", "Content-Length: 0\r\n\r\n");
  }
  Report("leave", path);
  return HSE_STATUS_SUCCESS;
}

ISAPI_EXPORT BOOL WINAPI TerminateExtension(DWORD flags) {
  const char* log = getenv("PROBE_TERMINATE_LOG");
  if (log != nullptr) {
    FILE* file = fopen(log, "a");
    if (file != nullptr) {
      fprintf(file, "terminate %u\n", flags);
      fclose(file);
    }
  }
  return TRUE;
}

}  // extern "C"
