// Drives orvanehp.dll as IIS would: LoadLibrary, GetProcAddress and calls
// from several threads, with the real Win32 profile and file calls beneath
// the module. Runs on Windows or under Wine. Holds the tests only the DLL
// runs; tests/extension/module_suite.cpp holds those both builds run.
//
//   module_win32_tests.exe <path of orvanehp.dll> [gtest flags]
//
// The default-installation test creates "C:\Program Files\Orvane" and
// removes it again; it refuses to run where that folder already exists.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/extension/module_suite.h"

namespace {

using module_platform::LoadedModule;
using module_suite::FallbackAnswer;
using module_suite::kHeaderBlock;
using module_suite::ModuleTest;
using testing_host::FakeRequest;

const char kDefaultInstallDir[] = "C:\\Program Files\\Orvane";

// Makes the program run EmptyInstallationDirectoryChild() instead of the tests.
const char kEmptyInstallDirFlag[] = "--empty-installation-directory-child";

// A 32-bit host looks the entry points up by their plain names; the
// stdcall-decorated names must not be what the DLL exports.
TEST(Exports, CarryUndecoratedNamesOnly) {
  const HMODULE module = static_cast<HMODULE>(LoadedModule().handle);
  ASSERT_NE(module, nullptr);
  for (const char* name : {"GetExtensionVersion@4", "_GetExtensionVersion@4",
                           "HttpExtensionProc@4", "TerminateExtension@4"}) {
    EXPECT_EQ(GetProcAddress(module, name), nullptr) << name;
  }
  EXPECT_NE(LoadedModule().get_version, nullptr);
  EXPECT_NE(LoadedModule().terminate, nullptr);
}

TEST_F(ModuleTest, DefaultInstallationDirectoryIsInProgramFiles) {
  namespace fs = std::filesystem;
  const fs::path root = kDefaultInstallDir;
  ASSERT_FALSE(fs::exists(root)) << root << " exists already; run this test in a scratch prefix";
  module_platform::RemoveInstallDir();
  EXPECT_EQ(Request(), FallbackAnswer());

  fs::create_directories(root / "data");
  fs::create_directories(root / "help");
  struct RemoveOnExit {
    ~RemoveOnExit() {
      std::error_code ignored;
      fs::remove_all(kDefaultInstallDir, ignored);
    }
  } remove_on_exit;
  {
    std::ofstream ini(root / "data" / "dremgate_j.ini", std::ios::binary);
    ini << "[Template]\r\nerr=C:\\Program Files\\Orvane\\template\\dremerror.html\r\n";
    std::ofstream page(root / "help" / "nohp.html", std::ios::binary);
    page << "default place";
  }
  EXPECT_EQ(Request(), kHeaderBlock + std::string("default place"));
}

// The module opens the page for reading and lets others read it too. A
// holder whose access or sharing conflicts with that makes the open fail,
// and the answer is the fallback page.
struct Holder {
  const char* name;
  DWORD access;
  DWORD share;
  bool expect_page;
};

class SharingTest : public ModuleTest, public ::testing::WithParamInterface<Holder> {};

TEST_P(SharingTest, PageHeldByAnotherHandle) {
  UseStandardInstallation("shared");
  HANDLE held = CreateFileA(PagePath().c_str(), GetParam().access, GetParam().share, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
  std::string answer = Request();
  CloseHandle(held);
  EXPECT_EQ(answer, GetParam().expect_page ? kHeaderBlock + std::string("shared")
                                           : FallbackAnswer());
  EXPECT_EQ(Request(), kHeaderBlock + std::string("shared"));
}

INSTANTIATE_TEST_SUITE_P(
    Holders, SharingTest,
    ::testing::Values(Holder{"ReaderSharingRead", GENERIC_READ, FILE_SHARE_READ, true},
                      Holder{"ReaderSharingAll", GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
                      Holder{"ReaderSharingNothing", GENERIC_READ, 0, false},
                      Holder{"WriterSharingAll", GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The C runtime cannot give a running process a variable that is present
// but empty (_putenv with an empty value removes it), yet a process started
// with one sees it. So this runs in a child started with ORVANE_INSDIR=""
// (see EmptyInstallationDirectoryChild).
TEST(InstallationDirectory, PresentButEmptyMeansTheRootOfTheCurrentDrive) {
  char exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  std::string command = std::string("\"") + exe + "\" \"" + module_platform::module_path + "\" " +
                        kEmptyInstallDirFlag;
  ASSERT_TRUE(SetEnvironmentVariableA("ORVANE_INSDIR", ""));
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child;
  BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &startup, &child);
  SetEnvironmentVariableA("ORVANE_INSDIR", nullptr);
  ASSERT_TRUE(started) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
  DWORD status = 1;
  GetExitCodeProcess(child.hProcess, &status);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  EXPECT_EQ(status, 0u) << "see the child's report above";
}

// Body of the child process above. The configuration path is then
// "\data\dremgate_j.ini", which Windows resolves on the current drive; the
// default installation directory is not used. Returns 0 when every answer
// is right.
int EmptyInstallationDirectoryChild() {
  namespace fs = std::filesystem;
  const char* dir = getenv("ORVANE_INSDIR");
  if (dir == nullptr || *dir != '\0') {
    fprintf(stderr, "child: ORVANE_INSDIR is not present and empty\n");
    return 1;
  }
  if (LoadedModule().proc == nullptr || !SetCurrentDirectoryA("C:\\")) {
    fprintf(stderr, "child: cannot load the module or enter C:\\\n");
    return 1;
  }
  const fs::path data = "C:\\data";
  const fs::path install = "C:\\orvane-empty-insdir";
  if (fs::exists(data) || fs::exists(install)) {
    fprintf(stderr, "child: C:\\data or %s exists already\n", install.string().c_str());
    return 1;
  }
  auto answer = [] {
    FakeRequest request;
    request.Run(LoadedModule().proc);
    return request.Answer();
  };
  int failures = 0;
  if (answer() != FallbackAnswer()) {
    fprintf(stderr, "child: no configuration, yet not the fallback page\n");
    ++failures;
  }
  fs::create_directories(data);
  fs::create_directories(install / "help");
  {
    std::ofstream ini(data / "dremgate_j.ini", std::ios::binary);
    ini << "[Template]\r\nerr=" << install.string() << "\\template\\dremerror.html\r\n";
    std::ofstream page(install / "help" / "nohp.html", std::ios::binary);
    page << "drive root";
  }
  if (answer() != kHeaderBlock + std::string("drive root")) {
    fprintf(stderr, "child: C:\\data\\dremgate_j.ini was not used\n");
    ++failures;
  }
  std::error_code ignored;
  fs::remove_all(data, ignored);
  fs::remove_all(install, ignored);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const bool child = argc == 3 && strcmp(argv[2], kEmptyInstallDirFlag) == 0;
  if (argc != 2 && !child) {
    fprintf(stderr, "usage: %s <path of orvanehp.dll> [gtest flags]\n", argv[0]);
    return 2;
  }
  module_platform::module_path = argv[1];
  return child ? EmptyInstallationDirectoryChild() : RUN_ALL_TESTS();
}
