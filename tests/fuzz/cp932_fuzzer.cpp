// The cp932 conversions, on arbitrary bytes read both as cp932 text and as
// UTF-16 code units.
#include <stdint.h>
#include <string.h>

#include <string>

#include "platform/posix/cp932.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using win32compat::Cp932ToUtf16;
using win32compat::Cp932ToUtf8;
using win32compat::IsCp932LeadByte;
using win32compat::Utf16ToCp932;

std::string EncodeUtf8(const std::u16string& units) {
  std::string utf8;
  for (char16_t unit : units) {
    if (unit < 0x80) {
      utf8 += static_cast<char>(unit);
    } else if (unit < 0x800) {
      utf8 += static_cast<char>(0xC0 | unit >> 6);
      utf8 += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      utf8 += static_cast<char>(0xE0 | unit >> 12);
      utf8 += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
      utf8 += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return utf8;
}

// The number of characters in cp932 text: a lead byte takes the next byte
// with it unless that is NUL or there is none.
size_t CountCharacters(const std::string& text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++count) {
    const bool pair = IsCp932LeadByte(static_cast<unsigned char>(text[i])) &&
                      i + 1 < text.size() && text[i + 1] != '\0';
    i += pair ? 2 : 1;
  }
  return count;
}

// Whether every lead byte in `text` has a trail byte other than NUL.
bool WholeCharacters(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsCp932LeadByte(static_cast<unsigned char>(text[i]))) continue;
    if (i + 1 == text.size() || text[i + 1] == '\0') return false;
    ++i;
  }
  return true;
}

// What encoding must give for any units: one whole character per unit, and
// text that decodes and encodes back to itself.
void CheckEncoding(const std::u16string& units) {
  const std::string bytes = Utf16ToCp932(units.data(), units.size());
  FUZZ_CHECK(bytes.size() <= 2 * units.size());
  FUZZ_CHECK(WholeCharacters(bytes));
  const std::u16string decoded = Cp932ToUtf16(bytes.data(), bytes.size());
  FUZZ_CHECK(decoded.size() == units.size());
  FUZZ_CHECK(Utf16ToCp932(decoded.data(), decoded.size()) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Decoding: one BMP unit per character, and both decoders agree.
  const std::u16string units = Cp932ToUtf16(text.data(), text.size());
  FUZZ_CHECK(units.size() == CountCharacters(text));
  for (char16_t unit : units) FUZZ_CHECK(unit < 0xD800 || unit > 0xDFFF);
  FUZZ_CHECK(Cp932ToUtf8(text.data(), text.size()) == EncodeUtf8(units));
  CheckEncoding(units);

  // Encoding units that no decoder made: lone surrogates, private use, ...
  std::u16string raw(size / 2, u'\0');
  memcpy(&raw[0], data, raw.size() * 2);
  CheckEncoding(raw);
  return 0;
}
