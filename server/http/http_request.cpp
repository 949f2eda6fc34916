#include "server/http/http_request.h"

#include "server/core/address_text.h"
#include "server/core/http_text.h"

namespace isapi_http {

namespace {

const char kServerSoftware[] = "isapi-server/0.0.1";

// Makes `authority` the request's Host, as the authority of an
// absolute-form target overrides the Host field.
void SetHost(std::string_view authority, std::vector<isapi::HeaderField>* headers) {
  for (isapi::HeaderField& field : *headers) {
    if (isapi::EqualsIgnoreCase(field.name, "Host")) {
      field.value.assign(authority);
      return;
    }
  }
  headers->push_back({"Host", std::string(authority)});
}

}  // namespace

int RefuseRequest(std::string_view method, std::string_view target, std::string_view version,
                  const std::vector<isapi::HeaderField>& headers, uint64_t max_body) {
  if (!isapi::IsToken(method)) return 400;
  for (char c : target) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return 400;
  }
  int lengths = 0;
  int hosts = 0;
  bool bad_length = false;
  bool bad_host = false;
  bool encoding = false;
  bool chunked = false;
  uint64_t length = 0;
  for (const isapi::HeaderField& field : headers) {
    if (!isapi::IsToken(field.name) || isapi::HasControl(field.value)) return 400;
    if (isapi::EqualsIgnoreCase(field.name, "Content-Length")) {
      ++lengths;
      if (!isapi::ParseDecimal(field.value, UINT64_MAX, &length)) bad_length = true;
    } else if (isapi::EqualsIgnoreCase(field.name, "Transfer-Encoding")) {
      // A second Transfer-Encoding line lists further codings.
      chunked = !encoding && isapi::EqualsIgnoreCase(field.value, "chunked");
      encoding = true;
    } else if (isapi::EqualsIgnoreCase(field.name, "Host")) {
      ++hosts;
      if (!isapi::IsValidHost(field.value)) bad_host = true;
    }
  }
  if (lengths > 1 || bad_length || (lengths == 1 && encoding)) return 400;
  // HTTP/1.0 has no chunked framing: a proxy on the way may have read the
  // body differently.
  if (encoding && version == "HTTP/1.0") return 400;
  if (hosts > 1 || bad_host || (hosts == 0 && version != "HTTP/1.0")) return 400;
  if (encoding && !chunked) return 501;
  return lengths == 1 && length > max_body ? 413 : 0;
}

bool RunawayChunkExtension(std::string_view unparsed) {
  // The parser reads the CRLF that ends a chunk's data with the next line.
  if (unparsed.substr(0, 2) == "\r\n") unparsed.remove_prefix(2);
  size_t digits = 0;
  while (digits < unparsed.size() && isapi::HexDigit(unparsed[digits]) >= 0) ++digits;
  std::string_view extension = unparsed.substr(digits);
  return extension.substr(0, extension.find_first_of("\r\n")).size() > kMaxChunkExtensionBytes;
}

int MapRequest(std::string_view method, std::string_view target, std::string_view version,
               const ConnectionAddresses& addresses, isapi::Request* request) {
  request->method.assign(method);
  request->target.assign(target);
  request->protocol.assign(version);
  std::string_view origin = request->target;
  std::string_view authority;
  std::string rest;
  if (isapi::SplitAbsoluteForm(request->target, &authority, &rest)) {
    if (authority.empty() || !isapi::IsValidHost(authority)) return 400;
    SetHost(authority, &request->headers);
    origin = rest;
  }
  if (!isapi::SplitTarget(origin, &request->path, &request->query)) return 400;
  request->server_software = kServerSoftware;
  request->remote_addr = addresses.remote_addr;
  request->remote_port = addresses.remote_port;
  request->local_addr = addresses.local_addr;
  request->local_port = addresses.local_port;
  request->server_name = isapi::ServerName(request->headers, request->local_addr);
  request->body_length_unknown = false;
  for (const isapi::HeaderField& field : request->headers) {
    // RefuseRequest let through only "chunked".
    if (isapi::EqualsIgnoreCase(field.name, "Transfer-Encoding")) {
      request->body_length_unknown = true;
    }
  }
  return 0;
}

}  // namespace isapi_http
