// Which backend a device's login used, remembered by address, so that a
// stream opened to the same address with our protocol's stream port (the
// plug-in opens every stream that way) reaches a standard camera the way its
// login did. Bounded: the oldest address is forgotten first.
#pragma once

#include <asio.hpp>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

#include "tmcc/common/device_target.h"

namespace qrv::tmcc {

inline constexpr size_t kRememberedTargets = 256;

class TargetMemory {
 public:
  explicit TargetMemory(size_t capacity = kRememberedTargets) : capacity_(capacity) {}

  // The process-wide memory the exported functions use.
  static TargetMemory& Instance();

  // Remembers target for its address (replacing what was there; credentials
  // written in an URL are not kept). Threading: any thread; a short lock.
  void Remember(const DeviceTarget& target);
  // Forgets address (a login with our protocol). Threading: as Remember.
  void Forget(const asio::ip::address& address);
  // What a login to address chose, if remembered. Threading: as Remember.
  std::optional<DeviceTarget> Find(const asio::ip::address& address) const;
  size_t size() const;

 private:
  size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<DeviceTarget> targets_;  // oldest first
};

}  // namespace qrv::tmcc
