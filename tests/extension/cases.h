// Installations and the answer the module must give for each. Shared by
// the Linux tests of orvanehp.so and the Win32 test host of orvanehp.dll,
// so both builds are held to the same bytes.
//
// In `ini`, "{INS}" stands for the installation directory as the module
// sees it (ORVANE_INSDIR), so entries stay valid wherever a test puts its
// installation.
#pragma once

#include <string>
#include <vector>

namespace cases {

struct Installation {
  const char* name;
  // Contents of data\dremgate_j.ini; nullptr: no such file.
  const char* ini;
  // Contents of help\nohp.html; absent when `has_page` is false.
  std::string page;
  bool has_page;
  // help\nohp.html is a directory rather than a file.
  bool page_is_directory;
  // The answer's body: the page itself, or the fallback page.
  bool expect_page;
};

inline std::vector<Installation> AllInstallations() {
  const std::string page = "<html><body>notice</body></html>\r\n";
  const char* standard = "[Template]\r\nerr={INS}\\template\\dremerror.html\r\n";
  return {
      {"NoConfiguration", nullptr, page, true, false, false},
      {"Standard", standard, page, true, false, true},
      {"SectionAndKeyInOtherCase", "[TEMPLATE]\r\nERR={INS}\\template\\dremerror.html\r\n", page,
       true, false, true},
      {"QuotedValue", "[Template]\r\nerr=\"{INS}\\template\\dremerror.html\"\r\n", page, true,
       false, true},
      {"BackupSuffixDropped", "[Template]\r\nerr={INS}\\template\\dremerror.html.bak\r\n", page,
       true, false, true},
      {"FirstOfTwoMarkersCounts",
       "[Template]\r\nerr={INS}\\template\\dremerror.html\\template\\dremerror.html\r\n", page,
       true, false, true},
      {"MissingKey", "[Template]\r\nother={INS}\\template\\dremerror.html\r\n", page, true, false,
       false},
      {"KeyInOtherSection", "[Other]\r\nerr={INS}\\template\\dremerror.html\r\n", page, true,
       false, false},
      {"EmptyValue", "[Template]\r\nerr=\r\n", page, true, false, false},
      {"ValueWithoutMarker", "[Template]\r\nerr={INS}\\help\\nohp.html\r\n", page, true, false,
       false},
      {"MarkerInOtherCase", "[Template]\r\nerr={INS}\\Template\\DremError.html\r\n", page, true,
       false, false},
      {"PageMissing", standard, "", false, false, false},
      {"PageIsDirectory", standard, "", false, true, false},
      {"EmptyPage", standard, "", true, false, true},
      {"PageWithNulAndShiftJisBytes", standard,
       std::string("<p>\x00\x01\x93\xfa\x96\x7b\x8c\xea\xff\r\n\x00</p>", 19), true, false, true},
  };
}

}  // namespace cases
