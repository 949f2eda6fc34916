// tests/extension/module_platform.h for orvanehp.dll.
#include <windows.h>

#include <stdlib.h>

#include <string>

#include "tests/extension/module_platform.h"

namespace module_platform {

std::string module_path;

const bool kFileCallsTakeLongPaths = false;

namespace {

template <typename Function>
Function EntryPoint(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

const Module& LoadedModule() {
  static const Module module = [] {
    Module loaded;
    HMODULE handle = LoadLibraryA(module_path.c_str());
    if (handle == nullptr) {
      loaded.error = "LoadLibrary error " + std::to_string(GetLastError());
      return loaded;
    }
    loaded.handle = handle;
    loaded.get_version = EntryPoint<PFN_GETEXTENSIONVERSION>(handle, "GetExtensionVersion");
    loaded.proc = EntryPoint<PFN_HTTPEXTENSIONPROC>(handle, "HttpExtensionProc");
    loaded.terminate = EntryPoint<PFN_TERMINATEEXTENSION>(handle, "TerminateExtension");
    return loaded;
  }();
  return module;
}

// The module and this program import getenv and _putenv from the same
// msvcrt.dll, so the module sees what _putenv sets here.
void SetInstallDir(const std::string& dir) { _putenv(("ORVANE_INSDIR=" + dir).c_str()); }

void RemoveInstallDir() { _putenv("ORVANE_INSDIR="); }

std::string Utf8ToCp932(const std::string& utf8) {
  const int length = static_cast<int>(utf8.size());
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, &wide[0], static_cast<int>(wide.size()));
  const int units = static_cast<int>(wide.size());
  BOOL unmappable = FALSE;
  std::string out(WideCharToMultiByte(932, 0, wide.data(), units, nullptr, 0, nullptr, nullptr),
                  '\0');
  WideCharToMultiByte(932, 0, wide.data(), units, &out[0], static_cast<int>(out.size()), nullptr,
                      &unmappable);
  return unmappable ? "" : out;
}

bool ResizeFile(const std::string& path, uint64_t size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD ignored = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return sized;
}

int OpenHandles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
}

}  // namespace module_platform
