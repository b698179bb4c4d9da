#include "events/discovery.h"

#include <cstring>
#include <string>
#include <utility>

#include "events/event_service.h"
#include "events/host_callbacks.h"

namespace qrv::events {

namespace {

constexpr char kDefaultAccount[] = "tundra";

}  // namespace

// The host's record of a found device, 252 bytes, zero-filled first:
//
//   offset  width  from the server answer
//   0       16     bytes 107..122 (address text)
//   16      16     bytes 132..147 (network mask text)
//   32      16     bytes 132..147 again
//   48      6      bytes 101..106 (MAC address)
//   54      50     zero
//   104     4      102209
//   108     100    zero
//   208     20     "tundra", zero-padded (default user name)
//   228     20     "tundra", zero-padded (default password)
//   248     4      uint16 at 192 (control port), widened without sign
DiscoveryRecord BuildDiscoveryRecord(const devicelib::ServerInfoRecord& info) {
  DiscoveryRecord record;
  std::memset(&record, 0, sizeof(record));
  static_assert(sizeof(record.address) == sizeof(info.address));
  static_assert(sizeof(record.mask) == sizeof(info.mask));
  static_assert(sizeof(record.mac) == sizeof(info.mac));
  std::memcpy(record.address, info.address, sizeof(record.address));
  std::memcpy(record.mask, info.mask, sizeof(record.mask));
  std::memcpy(record.mask2, info.mask, sizeof(record.mask2));
  std::memcpy(record.mac, info.mac, sizeof(record.mac));
  record.deviceType = kQrvDeviceTypeCode;
  std::memcpy(record.defaultUser, kDefaultAccount, sizeof(kDefaultAccount));
  std::memcpy(record.defaultPassword, kDefaultAccount, sizeof(kDefaultAccount));
  uint16_t port;
  std::memcpy(&port, &info.controlPort, sizeof(port));
  record.port = static_cast<int32_t>(static_cast<uint32_t>(port));
  return record;
}

// Up to the NUL, never past the 64-byte field.
std::string DiscoveryIdentity(const devicelib::ServerInfoRecord& info) {
  const void* nul = std::memchr(info.identity, '\0', sizeof(info.identity));
  const size_t length =
      nul != nullptr ? static_cast<const char*>(nul) - info.identity : sizeof(info.identity);
  return std::string(info.identity, length);
}

// Library enumeration thread. Holds the service lock from the look-up to the
// insertion, so the host's DiscoveryCallback runs under it (a refresh waits
// for the report to finish). Lets no exception out.
int32_t QRV_CALLBACK DiscoveryEnumCallback(devicelib::ServerInfoRecord* info, void* context) {
  if (info == nullptr || context == nullptr) return 1;
  try {
    const DiscoveryRecord record = BuildDiscoveryRecord(*info);
    auto* service = static_cast<EventService*>(context);
    platform::ScopedLock lock(&service->lock);
    std::string identity = DiscoveryIdentity(*info);
    if (service->discoveredSet.Touch(identity)) return 1;
    DiscoveryCallback callback = CurrentDiscoveryCallback();
    if (callback == nullptr || record.address[0] == '\0') return 1;
    callback(record);
    service->discoveredSet.Insert(std::move(identity));
  } catch (...) {
    // Out of memory, or a host callback that throws: the answer is dropped
    // unremembered, and the library's thread goes on.
  }
  return 1;
}

}  // namespace qrv::events
