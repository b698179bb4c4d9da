// The plug-in object handed to hosts by ModuleInstance.
//
// The object holds only its module information and property map; the device
// table, the host's event callbacks and the event service are process-wide
// and shared by every object.
#pragma once

#include <cstdint>

#include "qrvaccess/qrv_access.h"

namespace qrv::plugin {

inline constexpr char kModuleName[] = "PLUGIN.Access.QRV";
inline constexpr char kModuleVersion[] = "1.0";
inline constexpr int32_t kAccessType = 11;

class CQRVAccessPlugin : public IAccess {
 public:
  // Host thread that owns the object; must not overlap any other call.
  ~CQRVAccessPlugin() override = default;

  // Host thread; must not overlap any other plug-in call. Installs the fault
  // translator on the calling thread, fills the module information, releases
  // what slots of an earlier Init still hold, resets the table and starts the
  // event service. Returns 1, or -1 after a processor fault.
  int32_t Init() override;
  // Host thread; must not overlap any other call. Stops the event service
  // (which releases the clients of every slot in use); the table lock stays.
  void Uninit() override;

  // Any thread; no lock.
  int32_t GetAccessType() override { return kAccessType; }
  // Any host thread; see plugin/dispatcher.h.
  int32_t Execute(ParameterMap& input, ParameterMap& output) override;
  // Any thread; lock-free. The first non-null registration wins.
  void SetDiscoveryCallback(DiscoveryCallback callback) override;
  // Any host thread. Stores the slot's callback under the table lock, then,
  // without the lock, replays the slot's cached headers to it on this thread.
  // 10 for a slot above 255, else 0.
  int32_t SetStreamDataCallback(uint32_t slot, StreamDataCallback callback,
                                uintptr_t user) override;
  // Any thread; ignores its arguments, returns 0.
  int32_t SetSlotCallback2(uint32_t a, uint32_t b, uint32_t c) override;
  // Any thread; lock-free. The first non-null registration wins; returns 0.
  int32_t SetAlarmCallback(AlarmCallback callback, uint32_t unused) override;
  // Any thread; lock-free. The first non-null registration wins; returns 0.
  int32_t SetConnectionStatusCallback(ConnectionStatusCallback callback, uint32_t unused) override;
  // Any thread; stores nothing. 10 for a slot above 255, else 0.
  int32_t SetSlotCallback3(uint32_t slot, uint32_t a, uint32_t b) override;
};

}  // namespace qrv::plugin
