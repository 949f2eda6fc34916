#include "server/core/http_text.h"

namespace isapi {
namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

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

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool ParseDecimal(std::string_view text, uint64_t max, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (digit > max || result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
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

}  // namespace isapi
