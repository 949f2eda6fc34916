// GetPrivateProfileStringA on arbitrary files and queries.
//
// Input: the section on the first line, the key on the second, the buffer
// size in decimal on the third (1024 when it is not a number), and the
// file's bytes after that. The file is read by its POSIX path and by one of
// its Windows names, with drive C: mapped to its directory.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/posix/cp932.h"
#include "platform/win32.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr DWORD kMaxSize = 4096;
const char kDefault[] = "dflt";

std::string NextLine(const uint8_t** data, size_t* size) {
  const uint8_t* end = static_cast<const uint8_t*>(memchr(*data, '\n', *size));
  const size_t length = end != nullptr ? static_cast<size_t>(end - *data) : *size;
  std::string line(reinterpret_cast<const char*>(*data), length);
  const size_t taken = end != nullptr ? length + 1 : length;
  *data += taken;
  *size -= taken;
  return line;
}

size_t CharLength(const std::string& text, size_t at) {
  return win32compat::IsCp932LeadByte(static_cast<unsigned char>(text[at])) ? 2 : 1;
}

// The same name with the case of its ASCII letters swapped, leaving the
// trail bytes of double-byte characters (some of which are letters) alone.
std::string SwapCase(const std::string& name) {
  std::string swapped = name;
  for (size_t i = 0; i < swapped.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(swapped[i]);
    if (win32compat::IsCp932LeadByte(c) && i + 1 < swapped.size() && swapped[i + 1] != '\0') {
      ++i;
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
      swapped[i] = static_cast<char>(c ^ 0x20);
    }
  }
  return swapped;
}

// Queries with a buffer of exactly `size` bytes, so that AddressSanitizer
// sees any write past it, and checks what every answer must be.
std::string Query(const std::string& section, const std::string& key, DWORD size,
                  const std::string& file) {
  std::vector<char> out(size);
  const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), kDefault,
                                                out.data(), size, file.c_str());
  if (size == 0) {
    FUZZ_CHECK(length == 0);
    return std::string();
  }
  FUZZ_CHECK(length < size);
  FUZZ_CHECK(out[length] == '\0');
  FUZZ_CHECK(memchr(out.data(), '\0', length) == nullptr);
  const std::string value(out.data(), length);
  // Whole characters only: no lead byte without its trail.
  size_t at = 0;
  while (at < value.size()) at += CharLength(value, at);
  FUZZ_CHECK(at == value.size());
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const test_support::TempDir dir;
  static const test_support::DriveMapping drive_c('C', dir.path());
  // The other names of the same file; a bare name is in C:\Windows.
  static const char* const kOtherNames[] = {"C:\\profile.ini", "C:profile.ini", "profile.ini"};
  const char* const other_name = kOtherNames[size % 3];
  const std::string section = NextLine(&data, &size).c_str();
  const std::string key = NextLine(&data, &size).c_str();
  const std::string size_text = NextLine(&data, &size);
  char* end = nullptr;
  const unsigned long parsed = strtoul(size_text.c_str(), &end, 10);
  const DWORD buffer_size = size_text.empty() || *end != '\0' ? 1024
                            : parsed > kMaxSize               ? kMaxSize
                                                              : static_cast<DWORD>(parsed);
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string file = dir.Write("profile.ini", bytes);
  if (other_name == kOtherNames[2]) dir.Write("Windows/profile.ini", bytes);

  // A buffer larger than any value the file can hold gives the whole value.
  const DWORD whole_size = static_cast<DWORD>(2 * size + sizeof kDefault + 1);
  const std::string whole = Query(section, key, whole_size, file);
  FUZZ_CHECK(whole.find_first_of("\r\n") == std::string::npos);

  // A smaller buffer gets the longest prefix of whole characters that fits.
  const std::string cut = Query(section, key, buffer_size, file);
  if (buffer_size > 0) {
    FUZZ_CHECK(whole.compare(0, cut.size(), cut) == 0);
    FUZZ_CHECK(cut.size() == whole.size() ||
               cut.size() + CharLength(whole, cut.size()) > buffer_size - 1);
  }

  // Section and key names ignore ASCII case.
  FUZZ_CHECK(Query(SwapCase(section), SwapCase(key), whole_size, file) == whole);

  // Windows names of the file read the same; a missing file is an empty one.
  FUZZ_CHECK(Query(section, key, whole_size, other_name) == whole);
  FUZZ_CHECK(Query(section, key, whole_size, "C:\\missing.ini") == kDefault);
  return 0;
}
