// Loads the shared plug-in the way a host does: dlopen, the factory by name,
// then only virtual calls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "qrvaccess/qrv_access.h"

namespace {

TEST(LoadPluginTest, HostCreatesInitialisesAndDeletesThePlugin) {
  void* library = dlopen(QRV_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto factory = reinterpret_cast<ModuleInstanceFunction>(dlsym(library, "ModuleInstance"));
  ASSERT_NE(factory, nullptr) << dlerror();

  IAccess* first = factory();
  IAccess* second = factory();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->moduleInfo.name, "");
  EXPECT_EQ(first->Init(), 1);
  EXPECT_EQ(first->moduleInfo.name, "PLUGIN.Access.QRV");
  EXPECT_EQ(first->moduleInfo.version, "1.0");
  EXPECT_EQ(first->GetAccessType(), 11);

  ParameterMap in{{"Operation", "43"}};
  ParameterMap out;
  EXPECT_EQ(first->Execute(in, out), -1);
  in = {{"Operation", "33"}};
  EXPECT_EQ(second->Execute(in, out), 0);
  EXPECT_EQ(in.count("LOGINID"), 1u);

  first->Uninit();
  delete second;
  delete first;
  // Only the plug-in's own function is visible to the host.
  EXPECT_EQ(dlsym(library,
                  "_ZN3qrv6plugin7ExecuteERSt3mapINSt7__cxx1112basic_stringIcSt11char_"
                  "traitsIcESaIcEEES7_St4lessIS7_ESaISt4pairIKS7_S7_EEESF_"),
            nullptr);
}

}  // namespace
