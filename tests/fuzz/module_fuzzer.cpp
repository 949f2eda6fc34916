// The module's whole request path, through the fake host, with fuzzed
// installation files and request variables.
//
// Input (FuzzedDataProvider): how the host answers GetServerVariable, the
// query string and cookie, the configuration file (or none), where "{INS}"
// stands for the installation directory as a POSIX path or as drive C:, and
// the notice page (or none) and how many times its bytes repeat.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "extension/module.h"
#include "tests/extension/fake_host.h"
#include "tests/extension/installation.h"
#include "tests/fuzz/fuzz_check.h"

// The module's entry point, compiled into this program.
extern "C" DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb);

namespace {

using testing_host::FakeRequest;
using testing_host::VariableMode;

const char kHeaderBlock[] =
    "Content-type: text/html\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
    "TrResult: -1\r\n\r\n";

const VariableMode kModes[] = {VariableMode::kHonest, VariableMode::kAlwaysTooSmall,
                               VariableMode::kNearFourGiB, VariableMode::kFillWithoutNul,
                               VariableMode::kFailEverything};

// The lowest free descriptor: it moves when a request leaves one open.
// (Compared within one input: libFuzzer itself opens pipes to its
// symbolizer between inputs.)
int LowestFreeDescriptor() {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  close(fd);
  return fd;
}

void Place(testing_host::TempInstallation& installation, const char* relative, bool present,
           const std::string& contents) {
  if (present) {
    installation.WriteFile(relative, contents);
  } else {
    std::filesystem::remove(std::filesystem::path(installation.dir()) / relative);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testing_host::TempInstallation installation;
  static const bool environment_set =
      setenv("ORVANE_INSDIR", installation.dir().c_str(), 1) == 0 &&
      setenv("WIN32_DRIVE_C", installation.dir().c_str(), 1) == 0;
  FUZZ_CHECK(environment_set);
  static const std::string fallback(reinterpret_cast<const char*>(kFallbackPage),
                                    sizeof kFallbackPage);

  FuzzedDataProvider input(data, size);
  FakeRequest request;
  request.mode = input.PickValueInArray(kModes);
  request.variables["QUERY_STRING"] = input.ConsumeRandomLengthString(2000);
  request.variables["HTTP_COOKIE"] = input.ConsumeRandomLengthString(2000);
  const bool has_ini = input.ConsumeBool();
  const std::string insdir = input.ConsumeBool() ? std::string("C:") : installation.dir();
  const std::string ini = testing_host::ExpandInsdir(input.ConsumeRandomLengthString(), insdir);
  const bool has_page = input.ConsumeBool();
  // Repeated, a page outgrows the module's 16 KiB stack buffer.
  const int copies = input.ConsumeIntegralInRange(1, 8);
  std::string page;
  const std::string part = input.ConsumeRemainingBytesAsString();
  for (int i = 0; i < copies; ++i) page += part;
  Place(installation, "data/dremgate_j.ini", has_ini, ini);
  Place(installation, "help/nohp.html", has_page, page);

  const int free_descriptor = LowestFreeDescriptor();
  FUZZ_CHECK(request.Run(HttpExtensionProc) == HSE_STATUS_SUCCESS);
  // Exactly one header call, with the fixed block, before the one write.
  FUZZ_CHECK(request.header_calls.size() == 1);
  FUZZ_CHECK(!request.wrote_before_header);
  FUZZ_CHECK(request.header_calls[0].status_was_null);
  FUZZ_CHECK(request.header_calls[0].block == kHeaderBlock);
  FUZZ_CHECK(request.header_calls[0].size == request.header_calls[0].block.size());
  FUZZ_CHECK(request.writes.size() == 1);
  // The body is exactly the page or exactly the fallback, and without both
  // files it can only be the fallback.
  const std::string& body = request.writes[0];
  FUZZ_CHECK(body == fallback || (has_page && body == page));
  if (!has_ini || !has_page) FUZZ_CHECK(body == fallback);
  const int now_free = LowestFreeDescriptor();
  if (now_free != free_descriptor) {
    char target[256] = "";
    const std::string link = "/proc/self/fd/" + std::to_string(free_descriptor);
    readlink(link.c_str(), target, sizeof target - 1);
    fprintf(stderr, "descriptor %d left open: %s\n", free_descriptor, target);
  }
  FUZZ_CHECK(now_free == free_descriptor);
  return 0;
}
