#include "server/http/access_log.h"

#include <time.h>

namespace isapi_http {

AccessLog::~AccessLog() {
  if (owns_file_) fclose(file_);
}

bool AccessLog::Open(const std::string& name) {
  if (name.empty()) return true;
  name_ = name;
  owns_file_ = name != "-";
  file_ = owns_file_ ? fopen(name.c_str(), "ae") : stdout;
  return file_ != nullptr;
}

bool AccessLog::Reopen() {
  if (!owns_file_) return true;
  FILE* file = fopen(name_.c_str(), "ae");
  if (file == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  fclose(file_);
  file_ = file;
  return true;
}

void AccessLog::Write(const isapi::Request& request, int status, uint64_t body_bytes) {
  // name_ is set once, before any request; file_ changes under the lock.
  if (name_.empty()) return;
  char when[64];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
  std::string size = body_bytes == 0 ? "-" : std::to_string(body_bytes);
  std::string line = request.remote_addr + " - - [" + when + "] \"" +
                     EscapeLogField(request.method) + " " + EscapeLogField(request.target) +
                     " " + EscapeLogField(request.protocol) + "\" " + std::to_string(status) +
                     " " + size + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  fwrite(line.data(), 1, line.size(), file_);
  fflush(file_);
}

std::string EscapeLogField(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace isapi_http
