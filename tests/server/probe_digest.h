// What the probe module's /digest reports about the body it read, so that
// a test can check a body arrived whole: its length, what lpbData held and
// its CRC-32 (as zlib computes it).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>

namespace probe {

inline uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size) {
  crc = ~crc;
  while (size-- > 0) {
    crc ^= *data++;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// The /digest line: cbTotalBytes as `total`, `available` bytes in lpbData,
// `read` all the module read, `end` how its last ReadClient ended.
inline std::string DigestLine(const std::string& total, size_t available, const std::string& read,
                              const std::string& end) {
  char crc[9];
  snprintf(crc, sizeof crc, "%08x",
           Crc32(0, reinterpret_cast<const unsigned char*>(read.data()), read.size()));
  return "total " + total + " available " + std::to_string(available) + " nul yes read " +
         std::to_string(read.size()) + " crc32 " + crc + " end " + end + "\n";
}

// The /digest line for `body` read whole: the first 48 KiB in lpbData, the
// rest by ReadClient; a chunked body's total is unknown.
inline std::string DigestOf(const std::string& body, bool chunked) {
  return DigestLine(chunked ? "4294967295" : std::to_string(body.size()),
                    std::min<size_t>(body.size(), 48 * 1024), body, "TRUE");
}

}  // namespace probe
