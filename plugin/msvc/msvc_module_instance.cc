// The Windows plug-in's only export, for hosts built with Visual Studio
// 2015-2022: the object it returns speaks their C++ ABI (msvc_face.h).
#include "platform/host_heap.h"
#include "plugin/msvc/msvc_face.h"

// Host thread; must not overlap Init, Uninit or a destructor. Null only when
// memory ran out. The host reads the result as its own compiler's IAccess,
// which is what the face lays out; our g++ IAccess is another layout and is
// never reached through this pointer.
extern "C" __declspec(dllexport) IAccess* ModuleInstance() {
  return reinterpret_cast<IAccess*>(
      qrv::plugin::msvc::CreateMsvcFace(qrv::platform::HostRuntimeHeap()));
}
