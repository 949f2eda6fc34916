#include <dlfcn.h>
#include <string.h>

#include "server/core/extension_call.h"
#include "server/core/host_core.h"

namespace isapi {

std::unique_ptr<Module> Module::Load(const std::string& path, std::string* error) {
  // A bare file name would make dlopen search the library path.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *error = std::string("cannot load module: ") + dlerror();
    return nullptr;
  }
  auto get_version =
      reinterpret_cast<PFN_GETEXTENSIONVERSION>(dlsym(handle, "GetExtensionVersion"));
  auto proc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(handle, "HttpExtensionProc"));
  if (get_version == nullptr || proc == nullptr) {
    *error = path + ": module does not export " +
             (get_version == nullptr ? "GetExtensionVersion" : "HttpExtensionProc");
    dlclose(handle);
    return nullptr;
  }
  HSE_VERSION_INFO info;
  memset(&info, 0, sizeof info);
  SetLastError(NO_ERROR);
  if (!get_version(&info)) {
    *error = path + ": GetExtensionVersion failed (error " + std::to_string(GetLastError()) + ")";
    dlclose(handle);
    return nullptr;
  }
  info.lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN - 1] = '\0';

  std::unique_ptr<Module> module(new Module());
  module->handle_ = handle;
  module->http_extension_proc_ = proc;
  module->terminate_extension_ =
      reinterpret_cast<PFN_TERMINATEEXTENSION>(dlsym(handle, "TerminateExtension"));
  module->description_ = info.lpszExtensionDesc;
  return module;
}

Module::~Module() { Terminate(); }

ServeResult Module::Serve(const Request& request, ResponseSink* sink) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminated_) {
      SendBareAnswer(sink, 503, request.method != "HEAD");
      return ServeResult{503, 0};
    }
    ++in_flight_;
  }

  ExtensionCall call(request, sink, hold_limit_);
  DWORD status = http_extension_proc_(&call.ecb);
  std::unique_lock<std::mutex> lock(call.mutex);
  if (status == HSE_STATUS_PENDING) {
    call.session_done.wait(lock, [&] { return call.done_with_session; });
  }
  ServeResult result = call.response.End();
  lock.unlock();

  std::lock_guard<std::mutex> module_lock(mutex_);
  if (--in_flight_ == 0) idle_.notify_all();
  return result;
}

void Module::Terminate() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (terminated_) return;
  terminated_ = true;
  idle_.wait(lock, [this] { return in_flight_ == 0; });
  if (terminate_extension_ != nullptr) terminate_extension_(HSE_TERM_MUST_UNLOAD);
  dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace isapi
