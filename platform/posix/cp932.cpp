#include "platform/posix/cp932.h"

#include <iconv.h>
#include <stdint.h>
#include <string.h>

#include <vector>

namespace win32compat {

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// What Windows makes of a byte sequence code page 932 does not define.
constexpr char16_t kDefaultUnit = 0x30FB;  // KATAKANA MIDDLE DOT, cp932 81 45

// Single bytes Windows maps both ways and glibc's CP932 rejects.
struct SingleByte {
  unsigned char byte;
  char16_t unit;
};
const SingleByte kWindowsOnlyBytes[] = {
    {0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2}, {0xFF, 0xF8F3}};

// Windows' best-fit choices for characters cp932 lacks, where glibc has no
// mapping or (for the '?' rows) maps a lookalike that Windows does not.
struct BestFit {
  char16_t unit;
  uint16_t code;  // a byte, or lead << 8 | trail
};
const BestFit kBestFit[] = {{0x00A1, '!'},    {0x00A6, '|'}, {0x00A9, 'c'},    {0x00AA, 'a'},
                            {0x00AB, 0x81E1}, {0x00AD, '-'}, {0x00AE, 'R'},    {0x00AF, 0x8150},
                            {0x00B2, '2'},    {0x00B3, '3'}, {0x00B5, 0x83CA}, {0x00B7, 0x8145},
                            {0x00B8, 0x8143}, {0x00B9, '1'}, {0x00BA, 'o'},    {0x00BB, 0x81E2},
                            {0x3094, 0x8394}, {0x2014, '?'}, {0x2016, '?'},    {0x203E, '?'},
                            {0x2212, '?'},    {0x301C, '?'}};

// U+00C0..U+00FF become their base letter; NUL marks the two signs (U+00D7,
// U+00F7) that cp932 has.
const char kLatin1Letters[] = "AAAAAAACEEEEIIIIDNOOOOO\0OUUUUYTsaaaaaaaceeeeiiiidnooooo\0ouuuuyty";

// Converts one character; returns the number of bytes written to `out`,
// 0 when the converter has no mapping for it.
size_t ConvertOne(iconv_t converter, const char* in, size_t in_size, char* out, size_t out_size) {
  if (converter == kNoConverter) return 0;
  char* in_ptr = const_cast<char*>(in);
  char* out_ptr = out;
  size_t out_left = out_size;
  if (iconv(converter, &in_ptr, &in_size, &out_ptr, &out_left) == static_cast<size_t>(-1) ||
      in_size != 0) {
    return 0;
  }
  return out_size - out_left;
}

char16_t UnitOf(const char* utf16le) {
  return static_cast<char16_t>(static_cast<unsigned char>(utf16le[0]) |
                               static_cast<unsigned char>(utf16le[1]) << 8);
}

// Both directions of code page 932 as Windows has them: glibc's CP932 plus
// the entries above. Built once, on first use; about 80,000 iconv calls.
// Without glibc's converters only ASCII survives, which is still a defined
// result.
struct Tables {
  Tables();
  char16_t from_byte[0x100];
  std::vector<char16_t> from_pair;  // index (lead - 0x80) << 8 | trail
  std::vector<uint16_t> to_cp932;   // index: the UTF-16 unit
};

Tables::Tables() : from_pair(0x80 << 8, kDefaultUnit), to_cp932(0x10000, '?') {
  iconv_t decoder = iconv_open("UTF-16LE", "CP932");
  iconv_t encoder = iconv_open("CP932", "UTF-16LE");
  char out[4];
  for (unsigned lead = 0; lead < 0x100; ++lead) {
    const char single = static_cast<char>(lead);
    from_byte[lead] = static_cast<char16_t>(lead);
    if (lead >= 0x80) {
      from_byte[lead] =
          ConvertOne(decoder, &single, 1, out, sizeof out) == 2 ? UnitOf(out) : kDefaultUnit;
    }
    if (!IsCp932LeadByte(static_cast<unsigned char>(lead))) continue;
    for (unsigned trail = 1; trail < 0x100; ++trail) {
      const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
      if (ConvertOne(decoder, pair, 2, out, sizeof out) == 2) {
        from_pair[(lead - 0x80) << 8 | trail] = UnitOf(out);
      }
    }
  }
  for (unsigned unit = 0; unit < 0x10000; ++unit) {
    if (unit < 0x80) {
      to_cp932[unit] = static_cast<uint16_t>(unit);
      continue;
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) continue;  // halves of a pair: one '?' each
    const char in[] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    const size_t written = ConvertOne(encoder, in, 2, out, sizeof out);
    if (written == 1) to_cp932[unit] = static_cast<unsigned char>(out[0]);
    if (written == 2) {
      to_cp932[unit] = static_cast<uint16_t>(static_cast<unsigned char>(out[0]) << 8 |
                                             static_cast<unsigned char>(out[1]));
    }
  }
  for (const SingleByte& entry : kWindowsOnlyBytes) {
    from_byte[entry.byte] = entry.unit;
    to_cp932[entry.unit] = entry.byte;
  }
  for (const BestFit& entry : kBestFit) to_cp932[entry.unit] = entry.code;
  for (unsigned i = 0; i < sizeof kLatin1Letters - 1; ++i) {
    if (kLatin1Letters[i] != '\0') to_cp932[0xC0 + i] = static_cast<uint16_t>(kLatin1Letters[i]);
  }
  if (decoder != kNoConverter) iconv_close(decoder);
  if (encoder != kNoConverter) iconv_close(encoder);
}

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

}  // namespace

namespace {

// Decodes the character at text[*i] and advances *i past it.
char16_t DecodeOne(const Tables& tables, const char* text, size_t size, size_t* i) {
  const unsigned char byte = static_cast<unsigned char>(text[*i]);
  ++*i;
  if (!IsCp932LeadByte(byte)) return tables.from_byte[byte];
  const unsigned char trail = *i < size ? static_cast<unsigned char>(text[*i]) : 0;
  if (trail == 0) return kDefaultUnit;
  ++*i;
  return tables.from_pair[(byte - 0x80) << 8 | trail];
}

}  // namespace

// ASCII, which maps to itself, takes a short path in both decoders: paths
// and profile files are mostly ASCII, and they are decoded on every call.

size_t Cp932ToUtf16(const char* text, size_t size, char16_t* out) {
  const Tables& tables = GetTables();
  char16_t* next = out;
  for (size_t i = 0; i < size;) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      *next++ = byte;
      ++i;
    } else {
      *next++ = DecodeOne(tables, text, size, &i);
    }
  }
  return static_cast<size_t>(next - out);
}

std::u16string Cp932ToUtf16(const char* text, size_t size) {
  std::u16string units(size, u'\0');
  units.resize(Cp932ToUtf16(text, size, &units[0]));
  return units;
}

size_t Cp932ToUtf8(const char* text, size_t size, char* out, size_t room) {
  const Tables& tables = GetTables();
  size_t length = 0;
  auto put = [&](unsigned value) {
    if (length < room) out[length] = static_cast<char>(value);
    ++length;
  };
  for (size_t i = 0; i < size;) {
    size_t ascii_end = i;
    for (uint64_t word; ascii_end + 8 <= size; ascii_end += 8) {
      memcpy(&word, text + ascii_end, 8);
      if ((word & 0x8080808080808080u) != 0) break;
    }
    while (ascii_end < size && static_cast<unsigned char>(text[ascii_end]) < 0x80) ++ascii_end;
    if (ascii_end != i) {
      const size_t run = ascii_end - i;
      if (length < room) memcpy(out + length, text + i, run < room - length ? run : room - length);
      length += run;
      i = ascii_end;
      continue;
    }
    // Code page 932 maps only into the Basic Multilingual Plane, so every
    // character takes at most three UTF-8 bytes.
    const char16_t unit = DecodeOne(tables, text, size, &i);
    if (unit < 0x80) {
      put(unit);
    } else if (unit < 0x800) {
      put(0xC0 | unit >> 6);
      put(0x80 | (unit & 0x3F));
    } else {
      put(0xE0 | unit >> 12);
      put(0x80 | (unit >> 6 & 0x3F));
      put(0x80 | (unit & 0x3F));
    }
  }
  return length;
}

std::string Cp932ToUtf8(const char* text, size_t size) {
  std::string utf8(3 * size, '\0');
  utf8.resize(Cp932ToUtf8(text, size, &utf8[0], utf8.size()));
  return utf8;
}

uint16_t Cp932CodeOf(char16_t unit) { return GetTables().to_cp932[unit]; }

std::string Utf16ToCp932(const char16_t* units, size_t count) {
  const Tables& tables = GetTables();
  std::string bytes;
  bytes.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    const uint16_t code = tables.to_cp932[units[i]];
    if (code > 0xFF) bytes += static_cast<char>(code >> 8);
    bytes += static_cast<char>(code & 0xFF);
  }
  return bytes;
}

}  // namespace win32compat
