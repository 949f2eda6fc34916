// Decodes a body in HTTP/1.1 chunked coding as a module writes it: in
// pieces that may split a chunk, its size line or the trailer anywhere.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

namespace isapi {

class ChunkDecoder {
 public:
  // Appends the data bytes found in `coded` to *data. Returns false, and
  // takes nothing more from then on, at the first byte that breaks the
  // coding (a size that is not hexadecimal or does not fit 60 bits, a
  // chunk not followed by CRLF, a bare CR or LF); the body then never
  // becomes done. Bytes after the end (the last chunk and the trailer's
  // blank line) are refused too, leaving it done. Chunk extensions and
  // trailer lines are skipped.
  bool Feed(std::string_view coded, std::string* data);

  // Whether the whole coded body, up to the trailer's blank line, was fed.
  bool done() const { return state_ == State::kDone; }

 private:
  enum class State {
    kSize,          // hex digits of a chunk size
    kExtension,     // after the size, up to CR
    kSizeLf,        // LF after the size line
    kData,          // `remaining_` data bytes
    kDataCr,        // CR after the data
    kDataLf,        // LF after the data
    kTrailerStart,  // start of a trailer line, or the blank line
    kTrailerLine,   // inside a trailer line, up to CR
    kTrailerLf,     // LF after a trailer line
    kEndLf,         // LF of the blank line that ends the body
    kDone,
    kBroken,
  };

  State state_ = State::kSize;
  uint64_t remaining_ = 0;
  bool size_has_digit_ = false;
};

}  // namespace isapi
