// Drives the module through the fake host, as a web server would. Both
// orvanehp.so and orvanehp.dll run these tests, so both are held to the same
// bytes; module_platform.h hides how each is loaded and fed.
#include "tests/extension/module_suite.h"

#include <string.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/extension/cases.h"

namespace module_suite {

using module_platform::LoadedModule;
using testing_host::FakeRequest;
using testing_host::VariableMode;

namespace {

std::string FallbackPageFromText() {
  return module_platform::Utf8ToCp932(
      u8"<html><head></head><body bgcolor=#FFFFFF link=#0000CC><center><table><tr><td><center>"
      u8"<p><p><b>\u5185\u90e8\u30a8\u30e9\u30fc\u304c\u767a\u751f\u3057\u307e\u3057\u305f\u3002"
      u8"</b><p>\u4e0a\u8a18\u7406\u7531\u306e\u305f\u3081\u3001\u7ffb\u8a33\u306e\u5b9f\u884c"
      u8"\u3092\u4e2d\u6b62\u3057\u307e\u3057\u305f\u3002</center></td></tr></table></center>"
      u8"</body></html>");
}

}  // namespace

std::string FallbackAnswer() { return kHeaderBlock + FallbackPageFromText(); }

namespace {

TEST(FallbackPage, IsTheShiftJisEncodingOfItsText) {
  std::string expected = FallbackPageFromText();
  ASSERT_EQ(expected.size(), 219u);
  ASSERT_NE(LoadedModule().proc, nullptr);
  module_platform::RemoveInstallDir();
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
  module_platform::SetInstallDir(installation.dir() + "\\");
  EXPECT_EQ(Request(), kHeaderBlock + std::string("joined"));
}

TEST_F(ModuleTest, InstallationDirectoryLongerThanThePathBufferGivesTheFallback) {
  UseStandardInstallation("fits");
  // The configuration path adds 20 characters and a terminator to the
  // directory; 1024 bytes hold a directory of at most 1003 characters.
  for (size_t length : {1003u, 1004u, 5000u}) {
    if (length <= 1003 && !module_platform::kFileCallsTakeLongPaths) continue;
    std::string dir = installation.dir();
    dir.resize(length, '\\');
    module_platform::SetInstallDir(dir);
    EXPECT_EQ(Request(), length <= 1003 ? kHeaderBlock + std::string("fits") : FallbackAnswer())
        << length;
  }
}

TEST_F(ModuleTest, PageOfFourGiBOrMoreGivesTheFallback) {
  UseStandardInstallation("");
  for (uint64_t size : {uint64_t{0xFFFFFFFF}, uint64_t{0x100000000} + 5}) {
    ASSERT_TRUE(module_platform::ResizeFile(PagePath(), size)) << size;
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
  ASSERT_TRUE(std::filesystem::remove(std::filesystem::path(installation.dir()) / "data" /
                                      "dremgate_j.ini"));
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

TEST_F(ModuleTest, ConcurrentRequestsGetIdenticalAnswersAndLeakNoHandles) {
  std::string page(20000, 'p');
  page[100] = '\0';
  UseStandardInstallation(page);
  const std::string expected = kHeaderBlock + page;
  std::atomic<int> wrong{0};
  auto run = [&](int requests) {
    for (int i = 0; i < requests; ++i) {
      FakeRequest request;
      request.Run(LoadedModule().proc);
      if (request.Answer() != expected || request.header_calls.size() != 1) ++wrong;
    }
  };
  // One request first, so that handles a runtime creates lazily exist
  // before counting.
  run(1);
  const int handles_before = module_platform::OpenHandles();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back(run, 500);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(module_platform::OpenHandles(), handles_before);
}

}  // namespace
}  // namespace module_suite
