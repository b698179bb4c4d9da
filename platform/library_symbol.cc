#include "platform/library_symbol.h"

#include <dlfcn.h>

namespace qrv::platform {

void* FindFunctionBeside(const void* anchor, const char* name) {
  Dl_info info{};
  if (anchor == nullptr || dladdr(anchor, &info) == 0) return nullptr;
  // The main program reports an empty file name; null opens it (and with it
  // every library it was linked against).
  const char* file =
      info.dli_fname != nullptr && info.dli_fname[0] != '\0' ? info.dli_fname : nullptr;
  // RTLD_NOLOAD only takes another reference to the library already mapped,
  // whatever scope the host loaded it into; dropping it again never unloads.
  void* library = dlopen(file, RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) return nullptr;
  void* function = dlsym(library, name);
  dlclose(library);
  return function;
}

}  // namespace qrv::platform
