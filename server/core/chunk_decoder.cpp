#include "server/core/chunk_decoder.h"

#include <algorithm>

#include "server/core/http_text.h"

namespace isapi {

bool ChunkDecoder::Feed(std::string_view coded, std::string* data) {
  size_t pos = 0;
  while (pos < coded.size() && state_ != State::kBroken) {
    char c = coded[pos];
    switch (state_) {
      case State::kSize: {
        int digit = HexDigit(c);
        if (digit >= 0) {
          if (remaining_ >> 56 != 0) {
            state_ = State::kBroken;
            break;
          }
          remaining_ = remaining_ * 16 + static_cast<uint64_t>(digit);
          size_has_digit_ = true;
        } else if (!size_has_digit_) {
          state_ = State::kBroken;
        } else if (c == '\r') {
          state_ = State::kSizeLf;
        } else if (c == ';' || c == ' ' || c == '\t') {
          state_ = State::kExtension;
        } else {
          state_ = State::kBroken;
        }
        ++pos;
        break;
      }
      case State::kExtension:
        if (c == '\r') state_ = State::kSizeLf;
        else if (c == '\n') state_ = State::kBroken;
        ++pos;
        break;
      case State::kSizeLf:
        if (c != '\n') {
          state_ = State::kBroken;
        } else {
          size_has_digit_ = false;
          state_ = remaining_ == 0 ? State::kTrailerStart : State::kData;
        }
        ++pos;
        break;
      case State::kData: {
        size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, coded.size() - pos));
        data->append(coded.data() + pos, take);
        remaining_ -= take;
        pos += take;
        if (remaining_ == 0) state_ = State::kDataCr;
        break;
      }
      case State::kDataCr:
        state_ = c == '\r' ? State::kDataLf : State::kBroken;
        ++pos;
        break;
      case State::kDataLf:
        state_ = c == '\n' ? State::kSize : State::kBroken;
        ++pos;
        break;
      case State::kTrailerStart:
        state_ = c == '\r' ? State::kEndLf : c == '\n' ? State::kBroken : State::kTrailerLine;
        ++pos;
        break;
      case State::kTrailerLine:
        if (c == '\r') state_ = State::kTrailerLf;
        else if (c == '\n') state_ = State::kBroken;
        ++pos;
        break;
      case State::kTrailerLf:
        state_ = c == '\n' ? State::kTrailerStart : State::kBroken;
        ++pos;
        break;
      case State::kEndLf:
        state_ = c == '\n' ? State::kDone : State::kBroken;
        ++pos;
        break;
      case State::kDone:
        // Refused, but what came before stays a whole body.
        return false;
      case State::kBroken:
        break;
    }
  }
  return state_ != State::kBroken;
}

}  // namespace isapi
