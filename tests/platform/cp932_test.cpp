// Code page 932 conversions, checked character by character against the
// tables Windows and Wine use where Wine's table file is installed.
#include "platform/posix/cp932.h"

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using win32compat::Cp932ToUtf16;
using win32compat::Utf16ToCp932;

std::string Encode(const std::u16string& units) { return Utf16ToCp932(units.data(), units.size()); }

std::u16string Decode(const std::string& bytes) { return Cp932ToUtf16(bytes.data(), bytes.size()); }

TEST(Utf16ToCp932, BestFitAndReplacement) {
  struct {
    std::u16string units;
    std::string bytes;
  } cases[] = {
      {u"caf\u00e9", "cafe"},           // Latin letters lose their marks
      {u"\u00c6\u00df\u00ff", "Asy"},   // ligatures and y-diaeresis too
      {u"\u20ac", "?"},                 // no euro sign in cp932
      {u"\u0416", "\x84\x47"},          // Cyrillic is in cp932
      {u"\U0001F600", "??"},            // one '?' per unit of a pair
      {u"\xd800x", "?x"},               // lone surrogate
      {u"\u00a5\u00d7", "\\\x81\x7e"},  // yen to 5C; multiplication sign
      {u"\u2212\u301c", "??"},          // lookalikes Windows leaves out
      {u"\u3042\uff71\u8868", "\x82\xa0\xb1\x95\x5c"},
      {u"\u0080\uf8f0\uf8f3", "\x80\xa0\xff"},  // single bytes outside Shift_JIS
      {std::u16string(1, u'\0'), std::string(1, '\0')},
  };
  for (const auto& c : cases) EXPECT_EQ(Encode(c.units), c.bytes);
}

TEST(Cp932ToUtf16, BrokenSequencesBecomeMiddleDot) {
  struct {
    std::string bytes;
    std::u16string units;
  } cases[] = {
      {"\x95\x5c\x83\x5d", u"\u8868\u30be"},                         // 5C and 5D trail bytes
      {"a\x81", u"a\u30fb"},                                         // lead byte at the end
      {std::string("\x81\0b", 3), std::u16string(u"\u30fb\0b", 3)},  // NUL is not taken
      {"\x81\r\n", u"\u30fb\n"},                                     // an invalid trail is taken
      {"\x85\x40", u"\u30fb"},                                       // unassigned pair
      {"\x80\xa0\xfd\xfe\xff\xb1", u"\u0080\uf8f0\uf8f1\uf8f2\uf8f3\uff71"},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.bytes), c.units);
}

// Wine's table for code page 932 (generated from Microsoft's best-fit data);
// the tests that need it are skipped where Wine is not installed.
class WineTable : public ::testing::Test {
 protected:
  void SetUp() override {
    FILE* file = fopen("/usr/share/wine/nls/c_932.nls", "rb");
    if (file == nullptr) GTEST_SKIP() << "Wine's c_932.nls is not installed";
    uint16_t word;
    while (fread(&word, sizeof word, 1, file) == 1) words_.push_back(word);
    fclose(file);
    // Layout: header (its size in words first), then the offset to the
    // wide-char table, the 256-entry byte table, a glyph table flag, the
    // double-byte range count and the per-lead-byte offsets.
    const size_t header = words_.at(0);
    wide_ = header + 1 + words_.at(header);
    bytes_ = header + 1;
    size_t next = bytes_ + 256;
    if (words_.at(next++) != 0) next += 256;
    offsets_ = next + 1;
    ASSERT_EQ(words_.at(1), 932);
    ASSERT_GE(words_.size(), wide_ + 0x10000);
  }

  uint16_t WideToCode(char16_t unit) const { return words_[wide_ + unit]; }
  uint16_t ByteToUnit(unsigned char byte) const { return words_[bytes_ + byte]; }
  uint16_t PairToUnit(unsigned char lead, unsigned char trail) const {
    return words_[offsets_ + words_[offsets_ + lead] + trail];
  }

  std::vector<uint16_t> words_;
  size_t wide_ = 0, bytes_ = 0, offsets_ = 0;
};

TEST_F(WineTable, EveryUtf16UnitEncodesAlike) {
  int mismatches = 0;
  for (uint32_t unit = 0; unit < 0x10000; ++unit) {
    const uint16_t code = WideToCode(static_cast<char16_t>(unit));
    std::string expected;
    if (code > 0xFF) expected.push_back(static_cast<char>(code >> 8));
    expected.push_back(static_cast<char>(code & 0xFF));
    const std::u16string units(1, static_cast<char16_t>(unit));
    if (Encode(units) != expected && ++mismatches <= 10) {
      ADD_FAILURE() << "U+" << std::hex << unit << " encodes differently";
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(WineTable, EveryByteAndPairDecodesAlike) {
  int mismatches = 0;
  for (unsigned lead = 0; lead < 0x100; ++lead) {
    const bool is_lead = win32compat::IsCp932LeadByte(static_cast<unsigned char>(lead));
    if (!is_lead && Decode(std::string(1, static_cast<char>(lead))) !=
                        std::u16string(1, ByteToUnit(static_cast<unsigned char>(lead)))) {
      ADD_FAILURE() << "byte " << std::hex << lead << " decodes differently";
      ++mismatches;
    }
    for (unsigned trail = 1; is_lead && trail < 0x100; ++trail) {
      const std::string pair = {static_cast<char>(lead), static_cast<char>(trail)};
      const char16_t expected =
          PairToUnit(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail));
      if (Decode(pair) != std::u16string(1, expected) && ++mismatches <= 10) {
        ADD_FAILURE() << "pair " << std::hex << lead << " " << trail << " decodes differently";
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
