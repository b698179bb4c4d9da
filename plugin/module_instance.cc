// The plug-in library's only export.
#include "plugin/access_plugin.h"

#if defined(_WIN32)
#define QRV_EXPORT __declspec(dllexport)
#else
#define QRV_EXPORT __attribute__((visibility("default")))
#endif

// Host thread; must not overlap Init, Uninit or a destructor. Each call makes
// a new object, which the host deletes; the library keeps no reference.
extern "C" QRV_EXPORT IAccess* ModuleInstance() {
  return new qrv::plugin::CQRVAccessPlugin();
}
