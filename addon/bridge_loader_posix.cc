#include "bridge_loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace vyn::addon {

LibraryHandle load_library(const char* utf8_path, std::int32_t length) {
  const std::string path =
      utf8_path == nullptr ? std::string()
                           : std::string(utf8_path, static_cast<std::size_t>(std::max(length, 0)));
  if (path.empty() || path.front() == '\0') {
    errno = ENOENT;
    return nullptr;
  }
  errno = 0;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr && errno == 0) {
    // dlopen leaves errno alone for files that are not shared objects; the
    // caller reports the code as the reason, so it must not read "success".
    errno = ENOEXEC;
  }
  return library;
}

void* find_export(LibraryHandle library, const char* name) {
  if (library == nullptr) {
    return nullptr;
  }
  return dlsym(library, name);
}

unsigned long load_failure_code() {
  const int code = errno;
  return static_cast<unsigned long>(code != 0 ? code : ENOENT);
}

}  // namespace vyn::addon
