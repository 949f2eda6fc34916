// What the probe module's /digest reports about the body it read, so that
// a test can check a body arrived whole: its length, what lpbData held and
// its CRC-32 (as zlib computes it); and what its /numbered writes.
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

// The probe's /numbered write number `index`: the number, then dots to
// 1 KiB, so that a lost, doubled or reordered write shows where it was.
inline std::string NumberedWrite(long index) {
  std::string write = std::to_string(index);
  write.resize(1024, '.');
  return write;
}

// The first of `body`'s 1 KiB records that is not the probe's /numbered
// write of the same number; -1 when each of the `count` writes arrived
// once and in order.
inline long FirstMisplacedWrite(const std::string& body, long count) {
  for (long i = 0; i < count; ++i) {
    size_t at = static_cast<size_t>(i) * 1024;
    if (body.size() < at + 1024 || body.compare(at, 1024, NumberedWrite(i)) != 0) return i;
  }
  return body.size() == static_cast<size_t>(count) * 1024 ? -1 : count;
}

}  // namespace probe
