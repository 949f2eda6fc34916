#include "platform/posix/cp932.h"

#include <errno.h>
#include <iconv.h>

namespace win32compat {

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) {
  iconv_t converter = iconv_open("UTF-8", "CP932");
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  utf8->assign(cp932.size() * 3, '\0');
  char* in = const_cast<char*>(cp932.data());
  size_t in_left = cp932.size();
  char* out = &(*utf8)[0];
  size_t out_left = utf8->size();
  size_t result = iconv(converter, &in, &in_left, &out, &out_left);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1)) return false;
  utf8->resize(utf8->size() - out_left);
  return true;
}

}  // namespace win32compat
