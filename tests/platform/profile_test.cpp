// GetPrivateProfileStringA beyond the evidence corpus: the rules whose
// cases are not in profile-cases, file handling, defaults and the places
// where cp932 decoding decides the outcome.
#include <sys/stat.h>

#include <ostream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::DriveMapping;
using test_support::TempDir;

class Profile : public ::testing::Test {
 protected:
  // Reads section/key from a file holding `content`, with default "".
  std::string Read(const std::string& content, const char* section = "Template",
                   const char* key = "err", DWORD size = 1024) {
    dir_.Write("case.ini", content);
    return ReadPath("T:\\case.ini", section, key, size);
  }

  std::string ReadPath(const char* path, const char* section = "Template", const char* key = "err",
                       DWORD size = 1024, const char* fallback = "") {
    std::string buffer(size + 1, '#');
    const DWORD count = GetPrivateProfileStringA(section, key, fallback, &buffer[0], size, path);
    EXPECT_EQ(buffer[count], '\0');
    return buffer.substr(0, count);
  }

  TempDir dir_;
  DriveMapping drive_{'T', dir_.path()};
};

// The bytes of a string literal, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// `text` as UTF-16 with a byte-order mark.
std::string Utf16(std::u16string_view text, bool big_endian) {
  std::string bytes;
  for (char16_t unit : u"\ufeff" + std::u16string(text)) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += big_endian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

struct Case {
  const char* name;
  std::string content;
  std::string expected;
  const char* section = "Template";
  const char* key = "err";
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class ProfileRule : public Profile, public ::testing::WithParamInterface<Case> {};

TEST_P(ProfileRule, ReadsTheKey) {
  EXPECT_EQ(Read(GetParam().content, GetParam().section, GetParam().key), GetParam().expected);
}

const Case kRuleCases[] = {
    {"CrLfLines", "[A]\r\nerr=a\r\n[Template]\r\nerr=crlf\r\n", "crlf"},
    {"LfCrLines", "[Template]\n\rerr=lfcr\n\r", "lfcr"},
    {"NoFinalLineBreak", "[Template]\nerr=last", "last"},
    {"KeyCaseDiffers", "[Template]\nERR=upper\n", "upper"},
    {"SectionEndsAtNextHeader", "[Template]\nx=1\n[Other]\nerr=other\n", ""},
    {"KeyIsNotAPrefix", "[Template]\nerror=long\nerr2=digit\n", ""},
    {"FirstMatchingKeyWinsEvenIfEmpty", "[Template]\nerr=\nerr=second\n", ""},
    {"BlanksAroundEquals", "[Template]\n\t err \t=\t value \t\n", "value"},
    {"BlanksInsideBrackets", "[ \tTemplate\t ]\nerr=inner\n", "inner"},
    {"BlanksInsideValueKept", "[Template]\nerr=a  b\tc\n", "a  b\tc"},
    {"FormFeedIsBlank", "\f[Template]\f\nerr=\fff\f\n", "ff"},
    {"CtrlZIsBlank", "[Template]\nerr=\x1azz\x1a\n\x1a", "zz"},
    {"IdeographicSpaceKept", "[Template]\nerr=\x81\x40v\x81\x40\n", "\x81\x40v\x81\x40"},
    {"SingleQuotesStripped", "[Template]\nerr='single'\n", "single"},
    {"MismatchedQuotesKept", "[Template]\nerr=\"mixed'\n", "\"mixed'"},
    {"TrailingQuoteOnlyKept", "[Template]\nerr=close\"\n", "close\""},
    {"LoneQuoteKept", "[Template]\nerr=\"\n", "\""},
    {"QuotedBlanksKept", "[Template]\nerr=\" \"\n", " "},
    {"OnlyFirstSectionCounts", "[template]\nx=1\n[Template]\nerr=second\n", ""},
    {"HashIsPartOfKey", "[Template]\n#err=x\nerr=real\n", "real"},
    {"CommentedHeaderIsAKey", "[Other]\n;[Template]\nerr=other\n", ""},
    {"SemicolonInValue", "[Template]\nerr=a;b#c\n", "a;b#c"},
    {"LineWithoutEqualsHidesLaterKey", "[Template]\nerr\nerr=later\n", ""},
    {"EmptyKeyLineIsHarmless", "[Template]\n=x\nerr=real\n", "real"},
    {"NoEscapesOrExpansion", "[Template]\nerr=%TEMP%\\n\\\n", "%TEMP%\\n\\"},
    {"HeaderEndsAtFirstBracket", "[Template]]\nerr=first\n", "first"},
    {"HeaderWithoutBracketRunsToEnd", "[ Template \nerr=open\n", "open"},
    {"HeaderNeedsLeadingBracket", "Template]\nerr=no\n", ""},
    {"TextAfterHeaderIgnored", "[Template] err=x\nerr=ok\n", "ok"},
    {"Utf8BomIsText", "\xef\xbb\xbf[Other]\n[Template]\nerr=line2\n", "line2"},
    {"Utf8WithoutBomIsRaw", "[Template]\nerr=\xc3\xa9t\xc3\xa9\n", "\xc3\xa9t\xc3\xa9"},
    {"Utf16LeConvertedAndUnquoted", Utf16(u"[Template]\nerr=\"\u3042\u00e9\"", false),
     "\x82\xa0"
     "e"},
    {"Utf16LeOddLastByteIsALowByte", Utf16(u"[Template]\nerr=vw", false) + "x", "vwx"},
    {"Utf16BigEndianIsText", Utf16(u"[Template]\nerr=be\n", true), ""},
    {"SjisTrail5DInSectionName", "[\x83\x5d]\nerr=zo\n", "zo", "\x83\x5d"},
    {"InvalidPairSwallowsEquals", "[Template]\n\x81=err=v\n", "v", "Template",
     "\x81\x45"
     "err"},
    {"NulEndsKey", Bytes("[Template]\nerr\0junk=v\n"), "v"},
    {"NulEndsValue", Bytes("[Template]\nerr=ab\0cd\n"), "ab"},
    {"NulInsideQuotesKeepsOpeningQuote", Bytes("[Template]\nerr=\"ab\0\"\n"), "\"ab"},
    {"NulEndsSectionName", Bytes("[Template\0x]\nerr=nul\n"), "nul"},
    {"LeadByteSwallowsCr", "[Template]\nerr=a\x81\r\nx=1\n", "a\x81\x45"},
    {"LeadByteSwallowsLf", "[Template]\nerr=b\x81\nx=1\n", "b\x81\x45x=1"},
    {"LeadByteAtEnd", "[Template]\nerr=c\x81", "c\x81\x45"},
    {"InvalidTrailByte", "[Template]\nerr=d\x81\x7f.\n", "d\x81\x45."},
    {"UserDefinedSingleBytes", "[Template]\nerr=\x80\xa0\xfd\xfe\xff\n", "\x80\xa0\xfd\xfe\xff"},
    {"DuplicateCodesComeBackAsWindowsPrefers", "[Template]\nerr=\xed\x40\x87\x90\n",
     "\xfa\x5c\x81\xe0"},
    {"UnassignedPairBecomesMiddleDot", "[Template]\nerr=\x85\x40\n", "\x81\x45"},
};

INSTANTIATE_TEST_SUITE_P(Rules, ProfileRule, ::testing::ValuesIn(kRuleCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Profile, LongLinesAndNamesHaveNoLimit) {
  const std::string value(70000, 'v');
  const std::string name(9000, 'n');
  EXPECT_EQ(Read("[" + name + "]\nerr=x\n[Template]\n" + name + "=y\nerr=" + value + "\n",
                 "Template", "err", 80000),
            value);
}

TEST_F(Profile, BufferCutsKeepWholeDoubleByteCharacters) {
  const std::string value = "\x93\xfa\x96\x7b\x8c\xea";  // 3 characters, 6 bytes
  const std::string content = "[Template]\nerr=" + value + "\n";
  EXPECT_EQ(Read(content, "Template", "err", 4), value.substr(0, 2));
  EXPECT_EQ(Read(content, "Template", "err", 6), value.substr(0, 4));
  EXPECT_EQ(Read("[Template]\nerr=a" + value + "\n", "Template", "err", 3), "a");
}

TEST_F(Profile, QuotesComeOffBeforeTheCut) {
  EXPECT_EQ(Read("[Template]\nerr=\"abcdef\"\n", "Template", "err", 4), "abc");
  EXPECT_EQ(Read("[Template]\nerr=\"abcdef\"\n", "Template", "err", 8), "abcdef");
}

TEST_F(Profile, QueryNamesAreTrimmedAndMatchedWithoutCase) {
  const std::string content = "[Template]\nerr=found\n";
  EXPECT_EQ(Read(content, " \ttemplate ", "\tERR "), "found");
  EXPECT_EQ(Read(content, "Templat", "err"), "");
}

TEST_F(Profile, EmptySectionNameIsTheTextBeforeTheFirstHeader) {
  EXPECT_EQ(Read("err=top\n[]\nerr=explicit\n", "", "err"), "top");
  EXPECT_EQ(Read("[]\nerr=explicit\n", "", "err"), "");
}

TEST_F(Profile, DefaultLosesTrailingSpacesAndQuotes) {
  dir_.Write("case.ini", "[Template]\nerr=v\n");
  EXPECT_EQ(ReadPath("T:\\case.ini", "Template", "none", 1024, "fallback  "), "fallback");
  EXPECT_EQ(ReadPath("T:\\case.ini", "Template", "none", 1024, "\"quoted\" "), "quoted");
  EXPECT_EQ(ReadPath("T:\\case.ini", "Template", "none", 1024, "   "), " ");
  EXPECT_EQ(ReadPath("T:\\missing.ini", "Template", "err", 1024, "'gone'"), "gone");
  EXPECT_EQ(ReadPath("T:\\case.ini", "Template", "none", 4, "fallback"), "fal");

  char buffer[8] = "#######";
  EXPECT_EQ(
      GetPrivateProfileStringA("Template", "none", nullptr, buffer, sizeof buffer, "T:\\case.ini"),
      0u);
  EXPECT_EQ(buffer[0], '\0');
}

TEST_F(Profile, UnusableFilesGiveTheDefaultVerbatim) {
  mkdir((dir_.path() + "/folder.ini").c_str(), 0755);
  SetLastError(0);
  EXPECT_EQ(ReadPath("T:\\folder.ini", "Template", "err", 1024, "'dir'"), "'dir'");
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  SetLastError(0);
  EXPECT_EQ(ReadPath("T:\\missing.ini", "Template", "err", 1024, "d"), "d");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  SetLastError(0);
  EXPECT_EQ(ReadPath("Q:\\unmapped.ini", "Template", "err", 1024, "'q'"), "'q'");
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Profile, FifoFailsWithoutBlocking) {
  ASSERT_EQ(mkfifo((dir_.path() + "/pipe.ini").c_str(), 0600), 0);
  EXPECT_EQ(ReadPath("T:\\pipe.ini", "Template", "err", 1024, "d"), "d");
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Profile, BareFileNameIsLookedUpInTheWindowsDirectory) {
  TempDir system_drive;
  DriveMapping drive_c('C', system_drive.path());
  system_drive.Write("Windows/app.ini", "[Template]\nerr=windir\n");
  system_drive.Write("Windows/\xe8\xa1\xa8.ini", "[Template]\nerr=hyo\n");  // 表.ini
  dir_.Write("app.ini", "[Template]\nerr=elsewhere\n");

  EXPECT_EQ(ReadPath("app.ini"), "windir");
  EXPECT_EQ(ReadPath("\x95\x5c.ini"), "hyo") << "a 5C trail byte is not a separator";
  EXPECT_EQ(ReadPath("T:\\app.ini"), "elsewhere");
}

TEST_F(Profile, ZeroSizeOrNoBufferWritesNothing) {
  dir_.Write("case.ini", "[Template]\nerr=value\n");
  char buffer[4] = {'x', 'y', 'z', 'w'};
  EXPECT_EQ(GetPrivateProfileStringA("Template", "err", "", buffer, 0, "T:\\case.ini"), 0u);
  EXPECT_EQ(std::string(buffer, 4), "xyzw");
  EXPECT_EQ(GetPrivateProfileStringA("Template", "err", "", nullptr, 16, "T:\\case.ini"), 0u);
}

TEST_F(Profile, NullSectionOrKeyGivesTheDefault) {
  dir_.Write("case.ini", "[Template]\nerr=value\n");
  char buffer[16];
  EXPECT_EQ(GetPrivateProfileStringA(nullptr, "err", "d", buffer, sizeof buffer, "T:\\case.ini"),
            1u);
  EXPECT_STREQ(buffer, "d");
  EXPECT_EQ(
      GetPrivateProfileStringA("Template", nullptr, "", buffer, sizeof buffer, "T:\\case.ini"), 0u);
  EXPECT_STREQ(buffer, "");
}

TEST_F(Profile, RereadsTheFileOnEveryCall) {
  EXPECT_EQ(Read("[Template]\nerr=first\n"), "first");
  EXPECT_EQ(Read("[Template]\nerr=second\n"), "second");
}

}  // namespace
