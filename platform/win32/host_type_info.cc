// Win32 backend: type_info's table, read from a type_info object of msvcrt.dll.
//
// The type_info table lives in each Visual Studio module's own image (the
// runtime links it in statically), so no runtime DLL exports it. msvcrt.dll
// exports std::exception's table, though, and its compiler put the
// complete-object locator in the word before it; that locator's type
// descriptor is a type_info object whose first word is the table sought. Any
// module's copy of the table serves: it holds only type_info's destructor.
#include "platform/host_type_info.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace qrv::platform {

namespace {

struct Locator {
  uint32_t signature;
  uint32_t offset;
  uint32_t constructorDisplacement;
  const void* const* type;
  const void* hierarchy;
};

// Whether bytes at address lie inside the image of module: every pointer read
// on the way is checked, so a runtime laid out otherwise gives null, not a
// fault.
bool InImage(HMODULE module, const void* address, size_t bytes) {
  const auto base = reinterpret_cast<uintptr_t>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const auto at = reinterpret_cast<uintptr_t>(address);
  return at >= base && at - base <= nt->OptionalHeader.SizeOfImage &&
         bytes <= nt->OptionalHeader.SizeOfImage - (at - base);
}

const void* FindTable() {
  HMODULE crt = GetModuleHandleA("msvcrt.dll");
  if (crt == nullptr) return nullptr;
  const auto* exceptionTable = reinterpret_cast<const void* const*>(
      reinterpret_cast<void*>(GetProcAddress(crt, "??_7exception@@6B@")));
  if (exceptionTable == nullptr || !InImage(crt, exceptionTable - 1, sizeof(void*))) return nullptr;
  const auto* locator = static_cast<const Locator*>(exceptionTable[-1]);
  if (!InImage(crt, locator, sizeof(*locator)) || locator->signature != 0) return nullptr;
  static constexpr char kName[] = ".?AVexception@@";
  const void* const* type = locator->type;
  if (!InImage(crt, type, 2 * sizeof(void*) + sizeof(kName))) return nullptr;
  if (std::memcmp(type + 2, kName, sizeof(kName)) != 0) return nullptr;
  return type[0];
}

}  // namespace

const void* HostTypeInfoTable() {
  static const void* const table = FindTable();
  return table;
}

}  // namespace qrv::platform
