// The plug-in library's only export.
#include "plugin/access_plugin.h"

// Host thread; must not overlap Init, Uninit or a destructor. Each call makes
// a new object, which the host deletes; the library keeps no reference.
extern "C" __attribute__((visibility("default"))) IAccess* ModuleInstance() {
  return new qrv::plugin::CQRVAccessPlugin();
}
