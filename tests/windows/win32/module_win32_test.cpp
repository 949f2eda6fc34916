// Drives orvanehp.dll as IIS would: LoadLibrary, GetProcAddress and calls
// from several threads, with the real Win32 profile and file calls beneath
// the module. Runs on Windows or under Wine.
//
//   module_win32_tests.exe <path of orvanehp.dll> [gtest flags]
//
// The default-installation test creates "C:\Program Files\Orvane" and
// removes it again; it refuses to run where that folder already exists.
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/extension/cases.h"
#include "tests/extension/fake_host.h"
#include "tests/extension/installation.h"

namespace {

using testing_host::FakeRequest;
using testing_host::TempInstallation;
using testing_host::VariableMode;

const char kHeaderBlock[] =
    "Content-type: text/html\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
    "TrResult: -1\r\n\r\n";
const char kDefaultInstallDir[] = "C:\\Program Files\\Orvane";

// Makes the program run EmptyInstallationDirectoryChild() instead of the tests.
const char kEmptyInstallDirFlag[] = "--empty-installation-directory-child";

std::string g_dll_path;

struct Module {
  Module() {
    handle = LoadLibraryA(g_dll_path.c_str());
    if (handle == nullptr) return;
    get_version = reinterpret_cast<PFN_GETEXTENSIONVERSION>(
        reinterpret_cast<void*>(GetProcAddress(handle, "GetExtensionVersion")));
    proc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(
        reinterpret_cast<void*>(GetProcAddress(handle, "HttpExtensionProc")));
    terminate = reinterpret_cast<PFN_TERMINATEEXTENSION>(
        reinterpret_cast<void*>(GetProcAddress(handle, "TerminateExtension")));
  }
  HMODULE handle = nullptr;
  PFN_GETEXTENSIONVERSION get_version = nullptr;
  PFN_HTTPEXTENSIONPROC proc = nullptr;
  PFN_TERMINATEEXTENSION terminate = nullptr;
};

const Module& LoadedModule() {
  static const Module module;
  return module;
}

// The fallback page's text, encoded here by the platform's code page 932
// tables rather than taken from the module.
std::string FallbackPageFromText() {
  const wchar_t text[] =
      L"<html><head></head><body bgcolor=#FFFFFF link=#0000CC><center><table><tr><td><center>"
      L"<p><p><b>\u5185\u90e8\u30a8\u30e9\u30fc\u304c\u767a\u751f\u3057\u307e\u3057\u305f\u3002"
      L"</b><p>\u4e0a\u8a18\u7406\u7531\u306e\u305f\u3081\u3001\u7ffb\u8a33\u306e\u5b9f\u884c"
      L"\u3092\u4e2d\u6b62\u3057\u307e\u3057\u305f\u3002</center></td></tr></table></center>"
      L"</body></html>";
  int units = static_cast<int>(wcslen(text));
  int size = WideCharToMultiByte(932, 0, text, units, nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(932, 0, text, units, &out[0], size, nullptr, nullptr);
  return out;
}

std::string FallbackAnswer() { return kHeaderBlock + FallbackPageFromText(); }

// Sets or removes ORVANE_INSDIR in the C runtime the module reads it from:
// both import getenv and _putenv from the same msvcrt.dll.
void SetInstallDir(const std::string& dir) { _putenv(("ORVANE_INSDIR=" + dir).c_str()); }
void RemoveInstallDir() { _putenv("ORVANE_INSDIR="); }

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(LoadedModule().handle, nullptr) << "LoadLibrary error " << GetLastError();
    ASSERT_NE(LoadedModule().proc, nullptr);
    SetInstallDir(installation.dir());
  }
  void TearDown() override { RemoveInstallDir(); }

  // Runs one request and checks what every answer must be: one header call
  // with a null status and the block's exact length, nothing written before
  // it, and HSE_STATUS_SUCCESS.
  std::string Request(FakeRequest& request) {
    EXPECT_EQ(request.Run(LoadedModule().proc), HSE_STATUS_SUCCESS);
    EXPECT_EQ(request.header_calls.size(), 1u);
    EXPECT_FALSE(request.wrote_before_header);
    for (const auto& call : request.header_calls) {
      EXPECT_TRUE(call.status_was_null);
      EXPECT_EQ(call.size, call.block.size());
      EXPECT_EQ(call.block, kHeaderBlock);
    }
    return request.Answer();
  }
  std::string Request() {
    FakeRequest request;
    return Request(request);
  }
  void UseStandardInstallation(const std::string& page) {
    installation.WriteFile("data/dremgate_j.ini",
                           "[Template]\r\nerr=" + installation.dir() +
                               "\\template\\dremerror.html\r\n");
    installation.WriteFile("help/nohp.html", page);
  }
  std::string PagePath() const { return installation.dir() + "\\help\\nohp.html"; }

  TempInstallation installation;
};

TEST(FallbackPage, IsTheShiftJisEncodingOfItsText) {
  std::string expected = FallbackPageFromText();
  ASSERT_EQ(expected.size(), 219u);
  ASSERT_NE(LoadedModule().proc, nullptr);
  RemoveInstallDir();
  FakeRequest request;
  request.Run(LoadedModule().proc);
  ASSERT_EQ(request.writes.size(), 1u);
  EXPECT_EQ(request.writes[0], expected);
}

TEST(Registration, ReportsVersionFourAndTheDescription) {
  ASSERT_NE(LoadedModule().get_version, nullptr);
  HSE_VERSION_INFO info;
  memset(&info, 0x5a, sizeof info);
  EXPECT_TRUE(LoadedModule().get_version(&info));
  EXPECT_EQ(info.dwExtensionVersion >> 16, 4u);
  EXPECT_EQ(info.dwExtensionVersion & 0xFFFF, 0u);
  EXPECT_STREQ(info.lpszExtensionDesc, "orvane HP Translation CGI module");
}

TEST(Registration, TerminateAcceptsEveryFlag) {
  ASSERT_NE(LoadedModule().terminate, nullptr);
  for (DWORD flags : {DWORD{0}, HSE_TERM_ADVISORY_UNLOAD, HSE_TERM_MUST_UNLOAD, DWORD{0xFFFFFFFF}}) {
    EXPECT_TRUE(LoadedModule().terminate(flags)) << flags;
  }
}

// A 32-bit host looks the entry points up by their plain names; the
// stdcall-decorated names must not be what the DLL exports.
TEST(Exports, CarryUndecoratedNamesOnly) {
  ASSERT_NE(LoadedModule().handle, nullptr);
  for (const char* name : {"GetExtensionVersion@4", "_GetExtensionVersion@4",
                           "HttpExtensionProc@4", "TerminateExtension@4"}) {
    EXPECT_EQ(GetProcAddress(LoadedModule().handle, name), nullptr) << name;
  }
  EXPECT_NE(LoadedModule().get_version, nullptr);
  EXPECT_NE(LoadedModule().terminate, nullptr);
}

class InstallationTest : public ModuleTest,
                         public ::testing::WithParamInterface<cases::Installation> {};

TEST_P(InstallationTest, AnswersWithPageOrFallback) {
  const cases::Installation& setup = GetParam();
  installation.Populate(setup, installation.dir());
  std::string expected = setup.expect_page ? kHeaderBlock + setup.page : FallbackAnswer();
  EXPECT_EQ(Request(), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, InstallationTest,
                         ::testing::ValuesIn(cases::AllInstallations()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModuleTest, EmptyPageIsAHeaderAndAZeroByteWrite) {
  UseStandardInstallation("");
  FakeRequest request;
  EXPECT_EQ(Request(request), kHeaderBlock);
  ASSERT_EQ(request.writes.size(), 1u);
  EXPECT_EQ(request.writes[0].size(), 0u);
}

TEST_F(ModuleTest, InstallationDirectoryIsJoinedAsGiven) {
  UseStandardInstallation("joined");
  SetInstallDir(installation.dir() + "\\");
  EXPECT_EQ(Request(), kHeaderBlock + std::string("joined"));
}

TEST_F(ModuleTest, InstallationDirectoryLongerThanThePathBufferGivesTheFallback) {
  UseStandardInstallation("fits");
  // The configuration path adds 20 characters and a terminator to the
  // directory; 1024 bytes hold a directory of at most 1003 characters. The
  // ANSI file calls of Windows stop at MAX_PATH already, so only the longer
  // directories, which the module refuses itself, are checked here.
  for (size_t length : {1004u, 5000u}) {
    std::string dir = installation.dir();
    dir.resize(length, '\\');
    SetInstallDir(dir);
    EXPECT_EQ(Request(), FallbackAnswer()) << length;
  }
}

TEST_F(ModuleTest, DefaultInstallationDirectoryIsInProgramFiles) {
  namespace fs = std::filesystem;
  const fs::path root = kDefaultInstallDir;
  ASSERT_FALSE(fs::exists(root)) << root << " exists already; run this test in a scratch prefix";
  RemoveInstallDir();
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

TEST_F(ModuleTest, PageOfFourGiBOrMoreGivesTheFallback) {
  UseStandardInstallation("");
  for (LONGLONG size : {LONGLONG{0xFFFFFFFF}, LONGLONG{0x100000000} + 5}) {
    HANDLE file = CreateFileA(PagePath().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // Sparse where the file system allows it, so no disk space is used.
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = size;
    bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(sized) << GetLastError();
    EXPECT_EQ(Request(), FallbackAnswer()) << size;
  }
}

TEST_F(ModuleTest, AnswerDoesNotDependOnTheRequest) {
  UseStandardInstallation("same for all");
  FakeRequest plain;
  FakeRequest busy;
  busy.variables["REQUEST_METHOD"] = "POST";
  busy.variables["QUERY_STRING"] = std::string(70000, 'q');
  busy.variables["HTTP_COOKIE"] = "a=b; orvane-color=" + std::string(5000, 'c') + "; x=y";
  busy.variables["REMOTE_ADDR"] = std::string(300, '9');
  EXPECT_EQ(Request(plain), Request(busy));
}

TEST_F(ModuleTest, EditsShowInTheNextAnswer) {
  UseStandardInstallation("first");
  EXPECT_EQ(Request(), kHeaderBlock + std::string("first"));
  installation.WriteFile("help/nohp.html", "second, longer");
  EXPECT_EQ(Request(), kHeaderBlock + std::string("second, longer"));
  // The platform's profile reader may cache a file; a changed file must
  // still be read afresh.
  installation.WriteFile("data/dremgate_j.ini", "[Template]\r\nerr=\r\n");
  EXPECT_EQ(Request(), FallbackAnswer());
  UseStandardInstallation("third");
  EXPECT_EQ(Request(), kHeaderBlock + std::string("third"));
  ASSERT_TRUE(DeleteFileA((installation.dir() + "\\data\\dremgate_j.ini").c_str()));
  EXPECT_EQ(Request(), FallbackAnswer());
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

struct HostileHost {
  const char* name;
  VariableMode mode;
};

class HostileHostTest : public ModuleTest, public ::testing::WithParamInterface<HostileHost> {};

TEST_P(HostileHostTest, StillGetsTheSameAnswerInFewCalls) {
  UseStandardInstallation("hostile");
  FakeRequest request;
  request.mode = GetParam().mode;
  request.variables["HTTP_COOKIE"] = "orvane-color=red";
  EXPECT_EQ(Request(request), kHeaderBlock + std::string("hostile"));
  EXPECT_LE(request.variable_calls, 12);
}

INSTANTIATE_TEST_SUITE_P(Modes, HostileHostTest,
                         ::testing::Values(HostileHost{"AlwaysTooSmall", VariableMode::kAlwaysTooSmall},
                                           HostileHost{"NearFourGiB", VariableMode::kNearFourGiB},
                                           HostileHost{"FillWithoutNul", VariableMode::kFillWithoutNul},
                                           HostileHost{"FailEverything", VariableMode::kFailEverything}),
                         [](const auto& info) { return std::string(info.param.name); });

DWORD HandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

TEST_F(ModuleTest, ConcurrentRequestsGetIdenticalAnswersAndLeakNoHandles) {
  std::string page(20000, 'p');
  page[100] = '\0';
  UseStandardInstallation(page);
  const std::string expected = kHeaderBlock + page;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  auto run = [&](int requests) {
    for (int i = 0; i < requests; ++i) {
      FakeRequest request;
      request.Run(LoadedModule().proc);
      if (request.Answer() != expected || request.header_calls.size() != 1) ++wrong;
    }
  };
  // One request first, so that lazily created runtime handles exist before
  // counting.
  run(1);
  const DWORD handles_before = HandleCount();
  for (int t = 0; t < 8; ++t) threads.emplace_back(run, 100);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(HandleCount(), handles_before);
}

// The C runtime cannot give a running process a variable that is present
// but empty (_putenv with an empty value removes it), yet a process started
// with one sees it. So this runs in a child started with ORVANE_INSDIR=""
// (see EmptyInstallationDirectoryChild).
TEST(InstallationDirectory, PresentButEmptyMeansTheRootOfTheCurrentDrive) {
  char exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  std::string command =
      std::string("\"") + exe + "\" \"" + g_dll_path + "\" " + kEmptyInstallDirFlag;
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
  if (argc == 3 && strcmp(argv[2], kEmptyInstallDirFlag) == 0) {
    g_dll_path = argv[1];
    return EmptyInstallationDirectoryChild();
  }
  if (argc != 2) {
    fprintf(stderr, "usage: %s <path of orvanehp.dll> [gtest flags]\n", argv[0]);
    return 2;
  }
  g_dll_path = argv[1];
  return RUN_ALL_TESTS();
}
