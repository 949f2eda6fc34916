// What one request costs inside the module: HttpExtensionProc through the
// in-process fake host, against a copy of the example installation (notice
// page) and against an empty one (fallback page).
#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <benchmark/benchmark.h>

#include "tests/extension/fake_host.h"
#include "tests/extension/installation.h"

namespace {

PFN_HTTPEXTENSIONPROC LoadProc() {
  void* module = dlopen(ORVANEHP_PATH, RTLD_NOW | RTLD_LOCAL);
  return module ? reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(module, "HttpExtensionProc"))
                : nullptr;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void RunRequests(benchmark::State& state, bool with_page) {
  static const PFN_HTTPEXTENSIONPROC proc = LoadProc();
  if (proc == nullptr) {
    state.SkipWithError("cannot load the module");
    return;
  }
  testing_host::TempInstallation installation;
  const std::filesystem::path example = EXAMPLE_INSTALLATION;
  if (with_page) {
    installation.WriteFile("data/dremgate_j.ini",
                           "[Template]\r\nerr=" + installation.dir() +
                               "\\template\\dremerror.html\r\n");
    installation.WriteFile("help/nohp.html", ReadAll(example / "help" / "nohp.html"));
  }
  setenv("ORVANE_INSDIR", installation.dir().c_str(), 1);
  size_t bytes = 0;
  for (auto _ : state) {
    testing_host::FakeRequest request;
    request.Run(proc);
    bytes += request.writes.empty() ? 0 : request.writes.back().size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  unsetenv("ORVANE_INSDIR");
}

void BM_NoticePage(benchmark::State& state) { RunRequests(state, true); }
void BM_FallbackPage(benchmark::State& state) { RunRequests(state, false); }

BENCHMARK(BM_NoticePage);
BENCHMARK(BM_FallbackPage);

}  // namespace

BENCHMARK_MAIN();
