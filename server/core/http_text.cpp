#include "server/core/http_text.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace isapi {

bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsTokenChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7f;
  });
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseDecimal(std::string_view text, uint64_t max, uint64_t* value) {
  // from_chars alone would take a leading '-' and stop at the first
  // non-digit; both must fail here.
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  uint64_t result = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (error != std::errc() || end != text.data() + text.size() || result > max) return false;
  *value = result;
  return true;
}

bool SplitHostPort(std::string_view text, std::string_view* host, std::string_view* port) {
  size_t host_end;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host_end = close + 1;
    if (host_end < text.size() && text[host_end] != ':') return false;
  } else {
    host_end = text.find(':');
    if (host_end != std::string_view::npos &&
        text.find(':', host_end + 1) != std::string_view::npos) {
      return false;
    }
    if (host_end == std::string_view::npos) host_end = text.size();
  }
  *host = text.substr(0, host_end);
  *port = host_end < text.size() ? text.substr(host_end + 1) : std::string_view();
  return true;
}

namespace {

bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool IsNameChar(char c) {
  return IsAsciiAlpha(c) || IsAsciiDigit(c) ||
         (c != '\0' && strchr("-._~!$&'()*+,;=", c) != nullptr);
}

// Merges the dot segments of `path`, which starts with '/', as RFC 3986
// does. False when a ".." would climb above the root.
bool MergeDotSegments(std::string* path) {
  std::string merged;
  merged.reserve(path->size());
  for (size_t at = 1;;) {
    size_t end = std::min(path->find('/', at), path->size());
    std::string_view segment(path->data() + at, end - at);
    bool dots = segment == "." || segment == "..";
    if (segment == "..") {
      if (merged.empty()) return false;
      merged.erase(merged.rfind('/'));
    } else if (!dots) {
      merged.append("/").append(segment);
    }
    if (end == path->size()) {
      if (dots || merged.empty()) merged += '/';
      break;
    }
    at = end + 1;
  }
  *path = std::move(merged);
  return true;
}

}  // namespace

bool IsValidHost(std::string_view text) {
  if (text.empty()) return true;
  std::string_view host, port;
  if (!SplitHostPort(text, &host, &port) || host.empty() ||
      !std::all_of(port.begin(), port.end(), IsAsciiDigit)) {
    return false;
  }
  if (host.front() == '[') {
    std::string_view inside = host.substr(1, host.size() - 2);
    return !inside.empty() && std::all_of(inside.begin(), inside.end(), [](char c) {
      return HexDigit(c) >= 0 || c == ':' || c == '.';
    });
  }
  return host.front() != '.' && host.find("..") == std::string_view::npos &&
         std::all_of(host.begin(), host.end(), IsNameChar);
}

bool SplitAbsoluteForm(std::string_view target, std::string_view* authority,
                       std::string* origin) {
  size_t scheme_end = target.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0 || !IsAsciiAlpha(target[0])) {
    return false;
  }
  std::string_view scheme = target.substr(0, scheme_end);
  if (!std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return IsAsciiAlpha(c) || IsAsciiDigit(c) || c == '+' || c == '-' || c == '.';
      })) {
    return false;
  }
  std::string_view rest = target.substr(scheme_end + 3);
  size_t end = rest.find_first_of("/?");
  *authority = rest.substr(0, end);
  origin->assign(end != std::string_view::npos && rest[end] == '/' ? "" : "/");
  if (end != std::string_view::npos) origin->append(rest.substr(end));
  return true;
}

bool SplitTarget(std::string_view target, std::string* path, std::string* query) {
  if (target.empty() || target[0] != '/') return false;
  size_t mark = target.find('?');
  std::string_view raw_path = target.substr(0, mark);
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
  // Only a path with a dot right after a '/' can hold a dot segment.
  if (decoded.find("/.") != std::string::npos && !MergeDotSegments(&decoded)) return false;
  *path = std::move(decoded);
  if (mark == std::string_view::npos) {
    query->clear();
  } else {
    query->assign(target.substr(mark + 1));
  }
  return true;
}

bool ClientAllowsKeepAlive(std::string_view protocol, const std::vector<HeaderField>& headers) {
  bool keep = protocol == "HTTP/1.1";
  for (const HeaderField& field : headers) {
    if (!EqualsIgnoreCase(field.name, "Connection")) continue;
    std::string_view list = field.value;
    while (!list.empty()) {
      size_t comma = std::min(list.find(','), list.size());
      std::string_view option = TrimBlanks(list.substr(0, comma));
      if (EqualsIgnoreCase(option, "close")) return false;
      if (EqualsIgnoreCase(option, "keep-alive")) keep = true;
      list.remove_prefix(std::min(comma + 1, list.size()));
    }
  }
  return keep;
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
    case 505: return "HTTP Version Not Supported";
    default: return "";
  }
}

std::string StatusText(int status) {
  std::string text = std::to_string(status);
  const char* reason = ReasonPhrase(status);
  if (*reason != '\0') text.append(" ").append(reason);
  return text;
}

}  // namespace isapi
