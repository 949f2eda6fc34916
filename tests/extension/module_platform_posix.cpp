// module_platform.h for orvanehp.so.
#include <dlfcn.h>
#include <iconv.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "tests/extension/module_platform.h"

namespace module_platform {

std::string module_path = ORVANEHP_PATH;

const bool kFileCallsTakeLongPaths = true;

const Module& LoadedModule() {
  static const Module module = [] {
    Module loaded;
    loaded.handle = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (loaded.handle == nullptr) {
      loaded.error = dlerror();
      return loaded;
    }
    loaded.get_version =
        reinterpret_cast<PFN_GETEXTENSIONVERSION>(dlsym(loaded.handle, "GetExtensionVersion"));
    loaded.proc =
        reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(loaded.handle, "HttpExtensionProc"));
    loaded.terminate =
        reinterpret_cast<PFN_TERMINATEEXTENSION>(dlsym(loaded.handle, "TerminateExtension"));
    return loaded;
  }();
  return module;
}

void SetInstallDir(const std::string& dir) { setenv("ORVANE_INSDIR", dir.c_str(), 1); }

void RemoveInstallDir() { unsetenv("ORVANE_INSDIR"); }

std::string Utf8ToCp932(const std::string& utf8) {
  iconv_t converter = iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) return "";
  std::string text = utf8;
  // cp932 never takes more bytes for a character than UTF-8 does.
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

bool ResizeFile(const std::string& path, uint64_t size) {
  return truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

int OpenHandles() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

}  // namespace module_platform
