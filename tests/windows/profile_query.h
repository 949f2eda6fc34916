// One single-key GetPrivateProfileStringA read and the text that records its
// outcome. Shared by the Win32 probe (run under Wine) and the Linux side of
// the differential test, so that both sides record outcomes alike.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

namespace profile_query {

// Bytes the buffer is filled with before the call, and how many of them
// follow the buffer as a guard.
constexpr unsigned char kCanary = 0xCC;
constexpr size_t kGuard = 64;

inline std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

// Returns false for text that is not lower- or upper-case hex pairs.
inline bool FromHex(const std::string& hex, std::string* bytes) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = digit(hex[i]);
    int low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

// A canary-filled buffer of `size` bytes plus the guard.
inline std::vector<char> FreshBuffer(unsigned long size) {
  return std::vector<char>(size + kGuard, static_cast<char>(kCanary));
}

// Describes the call's result on `buffer` (from FreshBuffer(size)) as one
// line: "<count> <TAB> <hex of the bytes before the terminator, or -> <TAB>
// <state>", where state is "ok", or names what the call got wrong: no NUL
// after the bytes, a count not below the size, bytes written past the size,
// or a buffer of size 0 that was touched.
inline std::string Describe(const std::vector<char>& buffer, unsigned long size,
                            unsigned long count) {
  std::string state;
  if (size == 0 && count != 0) state += "count-for-empty-buffer,";
  if (size > 0 && count >= size) state += "count-not-below-size,";
  if (size > 0 && count < size && buffer[count] != '\0') state += "no-nul,";
  for (size_t i = size; i < buffer.size(); ++i) {
    if (static_cast<unsigned char>(buffer[i]) != kCanary) {
      state += "wrote-past-size,";
      break;
    }
  }
  if (state.empty()) state = "ok,";
  state.pop_back();
  unsigned long shown = count < size ? count : size;
  std::string bytes(buffer.data(), shown);
  return std::to_string(count) + "\t" + (shown == 0 ? "-" : ToHex(bytes)) + "\t" + state;
}

}  // namespace profile_query
