// The release qrvaccess-mingw.dll as a MinGW host sees it: it loads with only its
// device library beside it, exports the factory, and the object it makes works
// through the public header's virtual operations.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "qrvaccess/qrv_access.h"

namespace {

// The build's path under Wine's drive for the Unix root.
std::string WindowsPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return "Z:" + path;
}

TEST(Win32Dll, LoadsAndMakesAWorkingObject) {
  // Its own folder first: the test double's namesake sits beside this test.
  HMODULE module =
      LoadLibraryExA(WindowsPath(QRV_PLUGIN_DLL).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  auto factory = reinterpret_cast<ModuleInstanceFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, "ModuleInstance")));
  ASSERT_NE(factory, nullptr);
  IAccess* access = factory();
  ASSERT_NE(access, nullptr);
  // An unknown operation is refused with -1 before any device work.
  ParameterMap in;
  in["Operation"] = "999";
  ParameterMap out;
  EXPECT_EQ(access->Execute(in, out), -1);
  delete access;
  EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
