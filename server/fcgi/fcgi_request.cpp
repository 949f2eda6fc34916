#include "server/fcgi/fcgi_request.h"

#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include <string_view>

#include "server/core/address_text.h"
#include "server/core/http_text.h"

namespace isapi_fcgi {

namespace {

const char kHeaderPrefix[] = "HTTP_";

// "8080" -> 8080; anything that is not a port number -> 0.
uint16_t ParsePort(const std::string& text) {
  uint64_t port = 0;
  return isapi::ParseDecimal(text, 65535, &port) ? static_cast<uint16_t>(port) : 0;
}

// Takes the path info off a SCRIPT_NAME that still holds it, as Apache's
// mod_proxy_fcgi sends by default ("/x.dll/more", no PATH_INFO). As IIS
// maps an extension, the script ends with the first segment named *.dll;
// returns what follows it ("/more"), or "" when no such segment is
// followed by more path.
std::string SplitScriptName(std::string* script_name) {
  std::string_view name = *script_name;
  for (size_t slash = name.find('/', 1); slash != std::string_view::npos;
       slash = name.find('/', slash + 1)) {
    if (slash >= 4 && isapi::EqualsIgnoreCase(name.substr(slash - 4, 4), ".dll")) {
      std::string path_info(name.substr(slash));
      script_name->resize(slash);
      return path_info;
    }
  }
  return "";
}

bool HasHeader(const isapi::Request& request, const char* name) {
  for (const isapi::HeaderField& field : request.headers) {
    if (isapi::EqualsIgnoreCase(field.name, name)) return true;
  }
  return false;
}

}  // namespace

std::string HeaderNameFromParam(const std::string& param_suffix) {
  std::string name = param_suffix;
  bool word_start = true;
  for (char& c : name) {
    if (c == '_') {
      c = '-';
      word_start = true;
      continue;
    }
    unsigned char byte = static_cast<unsigned char>(c);
    c = static_cast<char>(word_start ? toupper(byte) : tolower(byte));
    word_start = false;
  }
  return name;
}

bool RequestFromParams(const Params& params, isapi::Request* request) {
  // The CGI parameters used below; the first of repeated names counts.
  enum Known {
    kContentType, kContentLength, kRequestMethod, kQueryString, kScriptName, kPathInfo,
    kDocumentUri, kRequestUri, kServerProtocol, kServerSoftware, kRemoteAddr, kRemotePort,
    kServerAddr, kServerPort, kServerName, kHttps, kKnownCount
  };
  static const char* const kKnownNames[kKnownCount] = {
      "CONTENT_TYPE", "CONTENT_LENGTH", "REQUEST_METHOD", "QUERY_STRING", "SCRIPT_NAME",
      "PATH_INFO", "DOCUMENT_URI", "REQUEST_URI", "SERVER_PROTOCOL", "SERVER_SOFTWARE",
      "REMOTE_ADDR", "REMOTE_PORT", "SERVER_ADDR", "SERVER_PORT", "SERVER_NAME", "HTTPS"};
  const std::string* known[kKnownCount] = {};  // value of each, nullptr when absent

  for (const auto& [name, value] : params) {
    if (name.size() > sizeof kHeaderPrefix - 1 &&
        name.compare(0, sizeof kHeaderPrefix - 1, kHeaderPrefix) == 0) {
      request->headers.push_back({HeaderNameFromParam(name.substr(sizeof kHeaderPrefix - 1)),
                                  value});
      continue;
    }
    for (int i = 0; i < kKnownCount; ++i) {
      if (known[i] == nullptr && name == kKnownNames[i]) {
        known[i] = &value;
        break;
      }
    }
  }
  auto param = [&known](Known which) -> std::string {
    return known[which] != nullptr ? *known[which] : std::string();
  };

  if (!param(kContentType).empty() && !HasHeader(*request, "Content-Type")) {
    request->headers.push_back({"Content-Type", param(kContentType)});
  }
  // Caddy sends -1 for a chunked body: no length, so no header.
  uint64_t content_length = 0;
  if (isapi::ParseDecimal(param(kContentLength), UINT64_MAX, &content_length) &&
      !HasHeader(*request, "Content-Length")) {
    request->headers.push_back({"Content-Length", param(kContentLength)});
  }

  request->method = param(kRequestMethod);
  request->query = param(kQueryString);
  request->script_name = param(kScriptName);
  std::string path_info = param(kPathInfo);
  if (path_info.empty()) path_info = SplitScriptName(&request->script_name);
  request->protocol = param(kServerProtocol);
  request->server_software = param(kServerSoftware);

  std::string request_uri = param(kRequestUri);
  if (known[kScriptName] != nullptr || known[kPathInfo] != nullptr) {
    request->path = request->script_name + path_info;
  } else if (known[kDocumentUri] != nullptr) {
    request->path = param(kDocumentUri);
  } else {
    std::string ignored_query;
    if (!isapi::SplitTarget(request_uri, &request->path, &ignored_query)) request->path.clear();
  }
  request->target = !request_uri.empty() ? request_uri
                    : request->query.empty() ? request->path
                                             : request->path + "?" + request->query;

  request->remote_addr = param(kRemoteAddr);
  request->remote_port = ParsePort(param(kRemotePort));
  request->local_addr = param(kServerAddr);
  request->local_port = ParsePort(param(kServerPort));

  request->server_name = param(kServerName);
  if (request->server_name.empty()) {
    request->server_name = isapi::ServerName(request->headers, request->local_addr);
  }

  std::string https = param(kHttps);
  request->https = !https.empty() && !isapi::EqualsIgnoreCase(https, "off");

  for (const isapi::HeaderField& field : request->headers) {
    if (isapi::EqualsIgnoreCase(field.name, "Host") && !isapi::IsValidHost(field.value)) {
      return false;
    }
  }
  return true;
}

}  // namespace isapi_fcgi
