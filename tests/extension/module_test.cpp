// Drives orvanehp.so through the fake host, as a web server would.
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
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

struct Module {
  Module() {
    handle = dlopen(ORVANEHP_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    get_version = reinterpret_cast<PFN_GETEXTENSIONVERSION>(dlsym(handle, "GetExtensionVersion"));
    proc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(handle, "HttpExtensionProc"));
    terminate = reinterpret_cast<PFN_TERMINATEEXTENSION>(dlsym(handle, "TerminateExtension"));
  }
  void* handle = nullptr;
  PFN_GETEXTENSIONVERSION get_version = nullptr;
  PFN_HTTPEXTENSIONPROC proc = nullptr;
  PFN_TERMINATEEXTENSION terminate = nullptr;
};

const Module& LoadedModule() {
  static const Module module;
  return module;
}

// The fallback page's text, encoded here independently of the module.
std::string FallbackPageFromText() {
  std::string text =
      "<html><head></head><body bgcolor=#FFFFFF link=#0000CC><center><table><tr><td><center>"
      "<p><p><b>\u5185\u90e8\u30a8\u30e9\u30fc\u304c\u767a\u751f\u3057\u307e\u3057\u305f\u3002"
      "</b><p>\u4e0a\u8a18\u7406\u7531\u306e\u305f\u3081\u3001\u7ffb\u8a33\u306e\u5b9f\u884c"
      "\u3092\u4e2d\u6b62\u3057\u307e\u3057\u305f\u3002</center></td></tr></table></center>"
      "</body></html>";
  iconv_t converter = iconv_open("CP932", "UTF-8");
  std::string out(text.size(), '\0');
  char* in = &text[0];
  size_t in_left = text.size();
  char* at = &out[0];
  size_t out_left = out.size();
  size_t converted = iconv(converter, &in, &in_left, &at, &out_left);
  iconv_close(converter);
  if (converted == static_cast<size_t>(-1)) return "";
  out.resize(out.size() - out_left);
  return out;
}

std::string FallbackAnswer() { return kHeaderBlock + FallbackPageFromText(); }

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(LoadedModule().handle, nullptr) << dlerror();
    ASSERT_NE(LoadedModule().proc, nullptr);
    setenv("ORVANE_INSDIR", installation.dir().c_str(), 1);
    unsetenv("WIN32_DRIVE_C");
  }
  void TearDown() override { unsetenv("ORVANE_INSDIR"); }

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

  TempInstallation installation;
};

TEST(FallbackPage, IsTheShiftJisEncodingOfItsText) {
  std::string expected = FallbackPageFromText();
  ASSERT_EQ(expected.size(), 219u);
  FakeRequest request;
  ASSERT_NE(LoadedModule().proc, nullptr);
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
  for (DWORD flags : {0u, HSE_TERM_ADVISORY_UNLOAD, HSE_TERM_MUST_UNLOAD, 0xFFFFFFFFu}) {
    EXPECT_TRUE(LoadedModule().terminate(flags)) << flags;
  }
}

TEST(Exports, AreExactlyTheThreeEntryPoints) {
  std::string command = std::string("nm -D --defined-only '") + ORVANEHP_PATH + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string entry(line);
    entry.erase(entry.find_last_not_of("\r\n") + 1);
    names.push_back(entry.substr(entry.rfind(' ') + 1));
  }
  ASSERT_EQ(pclose(pipe), 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"GetExtensionVersion", "HttpExtensionProc",
                                             "TerminateExtension"}));
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
  setenv("ORVANE_INSDIR", (installation.dir() + "\\").c_str(), 1);
  EXPECT_EQ(Request(), kHeaderBlock + std::string("joined"));
}

TEST_F(ModuleTest, InstallationDirectoryLongerThanThePathBufferGivesTheFallback) {
  UseStandardInstallation("fits");
  // The configuration path adds 20 characters and a terminator to the
  // directory; 1024 bytes hold a directory of at most 1003 characters.
  for (size_t length : {1003u, 1004u, 5000u}) {
    std::string dir = installation.dir();
    dir.resize(length, '/');
    setenv("ORVANE_INSDIR", dir.c_str(), 1);
    EXPECT_EQ(Request(), length <= 1003 ? kHeaderBlock + std::string("fits") : FallbackAnswer())
        << length;
  }
}

TEST_F(ModuleTest, DefaultInstallationDirectoryIsOnDriveC) {
  unsetenv("ORVANE_INSDIR");
  EXPECT_EQ(Request(), FallbackAnswer());

  std::filesystem::path root = installation.dir();
  std::filesystem::create_directories(root / "Program Files" / "Orvane" / "data");
  std::filesystem::create_directories(root / "Program Files" / "Orvane" / "help");
  installation.WriteFile("Program Files/Orvane/data/dremgate_j.ini",
                         "[Template]\r\nerr=C:\\Program Files\\Orvane\\template\\dremerror.html\r\n");
  installation.WriteFile("Program Files/Orvane/help/nohp.html", "default place");
  setenv("WIN32_DRIVE_C", installation.dir().c_str(), 1);
  EXPECT_EQ(Request(), kHeaderBlock + std::string("default place"));

  // Present but empty is not absent: the default is not used.
  setenv("ORVANE_INSDIR", "", 1);
  EXPECT_EQ(Request(), FallbackAnswer());
}

TEST_F(ModuleTest, PageOfFourGiBOrMoreGivesTheFallback) {
  UseStandardInstallation("");
  std::string page = installation.dir() + "/help/nohp.html";
  for (off_t size : {off_t{0xFFFFFFFF}, off_t{0x100000000} + 5}) {
    ASSERT_EQ(truncate(page.c_str(), size), 0);
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
  std::filesystem::remove(std::filesystem::path(installation.dir()) / "data" / "dremgate_j.ini");
  EXPECT_EQ(Request(), FallbackAnswer());
}

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

// Runs `request` with standard error captured; returns what was written.
template <typename Request>
std::string CapturedStderr(Request request) {
  fflush(stderr);
  const int saved = dup(2);
  FILE* capture = tmpfile();
  if (saved < 0 || capture == nullptr) return "<cannot capture stderr>";
  dup2(fileno(capture), 2);
  request();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text(static_cast<size_t>(lseek(fileno(capture), 0, SEEK_END)), '\0');
  pread(fileno(capture), &text[0], text.size(), 0);
  fclose(capture);
  return text;
}

TEST_F(ModuleTest, WritesNothingToStderr) {
  UseStandardInstallation("quiet");
  EXPECT_EQ(CapturedStderr([this] { Request(); }), "");
}

TEST_F(ModuleTest, TraceBuildShowsThePathResolution) {
  void* traced = dlopen(ORVANEHP_TRACE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(traced, nullptr) << dlerror();
  auto proc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(traced, "HttpExtensionProc"));
  ASSERT_NE(proc, nullptr);
  // Conversion characters in a path are text, never a format.
  const std::string dir = installation.dir() + "/odd%s%n%d";
  std::filesystem::create_directories(std::filesystem::path(dir) / "data");
  std::filesystem::create_directories(std::filesystem::path(dir) / "help");
  installation.WriteFile("odd%s%n%d/data/dremgate_j.ini",
                         "[Template]\r\nerr=" + dir + "\\template\\dremerror.html\r\n");
  installation.WriteFile("odd%s%n%d/help/nohp.html", "traced");
  setenv("ORVANE_INSDIR", dir.c_str(), 1);
  FakeRequest request;
  request.variables["QUERY_STRING"] = "q=1";
  request.variables["HTTP_COOKIE"] = "a=b; orvane-color=blue; c=d";
  std::string trace = CapturedStderr([&] { request.Run(proc); });
  EXPECT_EQ(request.Answer(), kHeaderBlock + std::string("traced"));
  EXPECT_EQ(trace,
            "CGI DEBUG START!!\n"
            "Log(Remoto IP ADDRESS) : 192.0.2.7\n"
            "QUERY_STRING : q=1\n"
            "Cookie(orvane-color) : blue\n" +
                dir + "\\data\\dremgate_j.ini\n" + dir + "\\help\\nohp.html\n");
  dlclose(traced);
}

int OpenDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST_F(ModuleTest, ConcurrentRequestsGetIdenticalAnswersAndLeakNoDescriptors) {
  std::string page(20000, 'p');
  page[100] = '\0';
  UseStandardInstallation(page);
  const std::string expected = kHeaderBlock + page;
  const int descriptors_before = OpenDescriptors();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        FakeRequest request;
        request.Run(LoadedModule().proc);
        if (request.Answer() != expected || request.header_calls.size() != 1) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(OpenDescriptors(), descriptors_before);
}

}  // namespace
