// Win32 backend: the module that holds the anchor, found without taking a
// reference (the caller's own import keeps it loaded), and its export.
#include "platform/library_symbol.h"

#include <windows.h>

namespace qrv::platform {

void* FindFunctionBeside(const void* anchor, const char* name) {
  if (anchor == nullptr || name == nullptr) return nullptr;
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(anchor), &module)) {
    return nullptr;
  }
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

}  // namespace qrv::platform
