// What the module's behaviour tests need from the platform they run on:
// loading the module, its environment, and a few file and process facts.
// module_platform_posix.cpp implements it for orvanehp.so,
// tests/windows/win32/module_platform_win32.cpp for orvanehp.dll.
#pragma once

#include <stdint.h>

#include <string>

#include "isapi/isapi.h"

namespace module_platform {

// The loaded module. On failure `handle` is null and `error` says why; an
// entry point that cannot be found is null.
struct Module {
  void* handle = nullptr;  // the dlopen handle, or the HMODULE
  std::string error;
  PFN_GETEXTENSIONVERSION get_version = nullptr;
  PFN_HTTPEXTENSIONPROC proc = nullptr;
  PFN_TERMINATEEXTENSION terminate = nullptr;
};

// Path of the module under test: the build's on POSIX; on Windows the test
// program's first argument, which main() stores before any test runs.
extern std::string module_path;

// Loads the module at `module_path` on the first call; every call returns
// that one module, which stays loaded until the process ends. Thread-safe.
const Module& LoadedModule();

// Makes the module see ORVANE_INSDIR=`dir` from its next request on, in the
// environment the module reads it from. On Windows an empty `dir` removes
// the variable instead: the C runtime cannot hold an empty one. Not
// thread-safe.
void SetInstallDir(const std::string& dir);

// Removes ORVANE_INSDIR as SetInstallDir sets it. Not thread-safe.
void RemoveInstallDir();

// `utf8` in code page 932, converted by the platform's own tables, never by
// the module. Returns "" when some character has no cp932 form.
std::string Utf8ToCp932(const std::string& utf8);

// Sets the size of the existing file at `path` (native separators) to
// `size` bytes without writing them out where the file system allows.
// Returns false on failure.
bool ResizeFile(const std::string& path, uint64_t size);

// Number of descriptors (POSIX) or handles (Windows) the process has open.
int OpenHandles();

// Whether the platform's file calls open a path as long as the module's
// 1024-byte path buffer holds. False on Windows, whose ANSI file calls stop
// at MAX_PATH.
extern const bool kFileCallsTakeLongPaths;

}  // namespace module_platform
