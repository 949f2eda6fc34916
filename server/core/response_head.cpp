#include "server/core/response_head.h"

#include <algorithm>
#include <charconv>

#include "server/core/http_text.h"

namespace isapi {
namespace {

// Parses "NNN" or "NNN reason". A final answer needs a code of 200 or more.
bool ParseStatus(std::string_view text, ResponseHead* head) {
  if (text.size() < 3 || (text.size() > 3 && text[3] != ' ')) return false;
  if (!std::all_of(text.begin(), text.begin() + 3, [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  int code = 0;
  std::from_chars(text.data(), text.data() + 3, code);
  if (code < 200 || HasControl(text)) return false;
  head->status = code;
  head->status_text.assign(text.data(), text.size());
  return true;
}

// Splits the module's header block into header lines and the body bytes
// that may follow its blank line. Lines end in CRLF; the last line may lack
// it and the blank line may be missing.
bool ParseHeaderBlock(std::string_view block, ResponseHead* head, std::string_view* body) {
  *body = std::string_view();
  // One allocation each instead of one per doubling.
  std::string_view lines = block.substr(0, block.find("\r\n\r\n"));
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
    if (colon == std::string_view::npos) return false;
    std::string_view name = line.substr(0, colon);
    std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!IsToken(name) || HasControl(value)) return false;
    head->headers.push_back({std::string(name), std::string(value)});
    head->header_block.append(line.data(), line.size());
    head->header_block += "\r\n";
    pos = next;
  }
  return true;
}

// Derives the framing from the module's Content-Length and
// Transfer-Encoding lines, and takes the Transfer-Encoding line out.
bool DecideFraming(ResponseHead* head, bool* chunked) {
  bool have_length = false;
  *chunked = false;
  size_t line_start = 0;
  for (size_t i = 0; i < head->headers.size(); ++i) {
    const HeaderField& field = head->headers[i];
    size_t line_length = head->header_block.find("\r\n", line_start) + 2 - line_start;
    if (EqualsIgnoreCase(field.name, "Transfer-Encoding")) {
      if (!EqualsIgnoreCase(field.value, "chunked") || *chunked) return false;
      *chunked = true;
      head->header_block.erase(line_start, line_length);
      head->headers.erase(head->headers.begin() + static_cast<ptrdiff_t>(i));
      --i;
      continue;
    }
    if (EqualsIgnoreCase(field.name, "Content-Length")) {
      uint64_t length = 0;
      if (!ParseDecimal(field.value, UINT64_MAX, &length)) return false;
      if (have_length && length != head->content_length) return false;
      have_length = true;
      head->content_length = length;
    }
    line_start += line_length;
  }
  if (have_length && *chunked) return false;
  head->framing = have_length ? Framing::kContentLength : Framing::kFrontEnd;
  return true;
}

}  // namespace

bool ParseResponseHead(std::string_view status, std::string_view block, ResponseHead* head,
                       bool* chunked, std::string_view* body) {
  return ParseStatus(status, head) && ParseHeaderBlock(block, head, body) &&
         DecideFraming(head, chunked);
}

}  // namespace isapi
