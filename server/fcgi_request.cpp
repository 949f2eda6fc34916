#include "server/fcgi_request.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <map>

namespace isapi_fcgi {

namespace {

const char kHeaderPrefix[] = "HTTP_";

// "8080" -> 8080; anything that is not a port number -> 0.
uint16_t ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  unsigned long port = 0;
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) return 0;
    port = port * 10 + static_cast<unsigned long>(c - '0');
  }
  return port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

// "example.com:8080" -> "example.com", "[::1]:80" -> "[::1]".
std::string HostWithoutPort(const std::string& host) {
  size_t bracket = host.rfind(']');
  size_t colon = host.rfind(':');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
    return host;
  }
  return host.substr(0, colon);
}

bool HasHeader(const isapi::Request& request, const char* name) {
  for (const isapi::HeaderField& field : request.headers) {
    if (strcasecmp(field.name.c_str(), name) == 0) return true;
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

void RequestFromParams(const char* const* params, isapi::Request* request) {
  std::map<std::string, std::string> cgi;
  for (const char* const* entry = params; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = strchr(*entry, '=');
    if (equals == nullptr) continue;
    std::string name(*entry, equals);
    std::string value(equals + 1);
    if (name.compare(0, sizeof kHeaderPrefix - 1, kHeaderPrefix) == 0 &&
        name.size() > sizeof kHeaderPrefix - 1) {
      request->headers.push_back(
          {HeaderNameFromParam(name.substr(sizeof kHeaderPrefix - 1)), std::move(value)});
    } else {
      cgi.emplace(std::move(name), std::move(value));
    }
  }
  auto param = [&cgi](const char* name) -> std::string {
    auto found = cgi.find(name);
    return found == cgi.end() ? std::string() : found->second;
  };

  if (!param("CONTENT_TYPE").empty() && !HasHeader(*request, "Content-Type")) {
    request->headers.push_back({"Content-Type", param("CONTENT_TYPE")});
  }
  if (!param("CONTENT_LENGTH").empty() && !HasHeader(*request, "Content-Length")) {
    request->headers.push_back({"Content-Length", param("CONTENT_LENGTH")});
  }

  request->method = param("REQUEST_METHOD");
  request->query = param("QUERY_STRING");
  request->script_name = param("SCRIPT_NAME");
  request->protocol = param("SERVER_PROTOCOL");
  request->server_software = param("SERVER_SOFTWARE");

  std::string request_uri = param("REQUEST_URI");
  if (cgi.count("SCRIPT_NAME") != 0 || cgi.count("PATH_INFO") != 0) {
    request->path = request->script_name + param("PATH_INFO");
  } else if (cgi.count("DOCUMENT_URI") != 0) {
    request->path = param("DOCUMENT_URI");
  } else {
    std::string ignored_query;
    if (!isapi::SplitTarget(request_uri, &request->path, &ignored_query)) request->path.clear();
  }
  request->target = !request_uri.empty() ? request_uri
                    : request->query.empty() ? request->path
                                             : request->path + "?" + request->query;

  request->remote_addr = param("REMOTE_ADDR");
  request->remote_port = ParsePort(param("REMOTE_PORT"));
  request->local_addr = param("SERVER_ADDR");
  request->local_port = ParsePort(param("SERVER_PORT"));

  request->server_name = param("SERVER_NAME");
  if (request->server_name.empty()) {
    for (const isapi::HeaderField& field : request->headers) {
      if (strcasecmp(field.name.c_str(), "Host") == 0) {
        request->server_name = HostWithoutPort(field.value);
        break;
      }
    }
  }
  if (request->server_name.empty()) request->server_name = request->local_addr;

  std::string https = param("HTTPS");
  request->https = !https.empty() && strcasecmp(https.c_str(), "off") != 0;
}

}  // namespace isapi_fcgi
