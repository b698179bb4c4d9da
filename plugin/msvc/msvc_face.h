// The plug-in object as a Visual Studio 2015-2022 host sees it (32-bit,
// release runtime): the host calls its 18 virtual operations in slot order
// with the member-function convention of 32-bit Windows (object in ECX, the
// callee removes its stack arguments) and reads its public data directly.
//
//   32-bit offset  width  field
//   0              4      table of the 18 operations (MsvcFaceTable), the
//                         word before it the type information (msvc_rtti.h)
//   4              24     moduleInfo.name       (MsvcString)
//   28             24     moduleInfo.version
//   52             24     moduleInfo.extraText
//   76             4      moduleInfo.extraValue
//   80             8      properties            (MsvcPropertyMap)
//   88             -      not the host's: the plug-in object it stands for
//
// Every container the host can see or was handed lives in the host's heap
// (platform/host_heap.h). Every operation catches what the plug-in throws:
// an exception cannot cross into a host of another C++ runtime, so the
// operation reports -1 instead (a void operation does nothing more).
// Threads and locks: as the plug-in object's operations (plugin/access_plugin.h);
// Execute copies the host's maps in and back (once when they are one map) on
// the calling thread and calls out to nothing while doing so.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/callconv.h"
#include "platform/host_heap.h"
#include "plugin/msvc/msvc_string.h"
#include "plugin/msvc/msvc_tree.h"
#include "qrvaccess/qrv_access.h"

namespace qrv::plugin {
class CQRVAccessPlugin;
}

namespace qrv::plugin::msvc {

struct MsvcFace;

// The table the host's slot numbers index. By-value arguments arrive in the
// host's layout and are the callee's to destroy.
struct MsvcFaceTable {
  MsvcFace*(QRV_THISCALL* destroy)(MsvcFace* self, uint32_t flags);       // 0: bit 0 frees
  void(QRV_THISCALL* reserved)(MsvcFace* self);                           // 1
  int32_t(QRV_THISCALL* init)(MsvcFace* self);                            // 2
  void(QRV_THISCALL* uninit)(MsvcFace* self);                             // 3
  void(QRV_THISCALL* handlePacket)(MsvcFace* self, PacketRecord record);  // 4
  void(QRV_THISCALL* handleLargePacket)(MsvcFace* self, LargePacketRecord record);    // 5
  void(QRV_THISCALL* handlePacket2)(MsvcFace* self, PacketRecord record);             // 6
  void(QRV_THISCALL* setInt)(MsvcFace* self, MsvcString name, int32_t value);         // 7
  int32_t(QRV_THISCALL* getInt)(MsvcFace* self, MsvcString name);                     // 8
  void(QRV_THISCALL* handleParameters)(MsvcFace* self, MsvcParameterMap parameters);  // 9
  int32_t(QRV_THISCALL* getAccessType)(MsvcFace* self);                               // 10
  int32_t(QRV_THISCALL* execute)(MsvcFace* self, MsvcParameterMap* input,
                                 MsvcParameterMap* output);                              // 11
  void(QRV_THISCALL* setDiscoveryCallback)(MsvcFace* self, DiscoveryCallback callback);  // 12
  int32_t(QRV_THISCALL* setStreamDataCallback)(MsvcFace* self, uint32_t slot,
                                               StreamDataCallback callback,
                                               uintptr_t user);  // 13
  int32_t(QRV_THISCALL* setSlotCallback2)(MsvcFace* self, uint32_t a, uint32_t b,
                                          uint32_t c);  // 14
  int32_t(QRV_THISCALL* setAlarmCallback)(MsvcFace* self, AlarmCallback callback,
                                          uint32_t unused);  // 15
  int32_t(QRV_THISCALL* setConnectionStatusCallback)(MsvcFace* self,
                                                     ConnectionStatusCallback callback,
                                                     uint32_t unused);  // 16
  int32_t(QRV_THISCALL* setSlotCallback3)(MsvcFace* self, uint32_t slot, uint32_t a,
                                          uint32_t b);  // 17
};
static_assert(sizeof(MsvcFaceTable) == 18 * sizeof(void*));

struct MsvcModuleInfo {
  MsvcString name;
  MsvcString version;
  MsvcString extraText;
  int32_t extraValue;
};

struct MsvcFace {
  const MsvcFaceTable* table;
  MsvcModuleInfo moduleInfo;
  MsvcPropertyMap properties;
  // Past the host's view.
  CQRVAccessPlugin* core;
  const platform::HostHeap* heap;
};
#if defined(__i386__)
static_assert(offsetof(MsvcFace, moduleInfo) == 4);
static_assert(offsetof(MsvcFace, moduleInfo.extraValue) == 76);
static_assert(offsetof(MsvcFace, properties) == 80);
#endif

// A new object whose containers live in `heap` (which must outlive it), or
// null when memory ran out. Host thread; overlaps no other call.
MsvcFace* CreateMsvcFace(const platform::HostHeap& heap);

}  // namespace qrv::plugin::msvc
