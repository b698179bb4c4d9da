#include "tmcc/common/target_memory.h"

#include <algorithm>

namespace qrv::tmcc {

TargetMemory& TargetMemory::Instance() {
  static TargetMemory memory;
  return memory;
}

void TargetMemory::Remember(const DeviceTarget& target) {
  DeviceTarget kept = target;
  kept.urlUser.clear();
  kept.urlPassword.clear();
  std::lock_guard lock(mutex_);
  std::erase_if(targets_, [&](const DeviceTarget& t) { return t.address == kept.address; });
  if (capacity_ == 0) return;
  while (targets_.size() >= capacity_) targets_.pop_front();
  targets_.push_back(std::move(kept));
}

void TargetMemory::Forget(const asio::ip::address& address) {
  std::lock_guard lock(mutex_);
  std::erase_if(targets_, [&](const DeviceTarget& t) { return t.address == address; });
}

std::optional<DeviceTarget> TargetMemory::Find(const asio::ip::address& address) const {
  std::lock_guard lock(mutex_);
  for (const auto& t : targets_) {
    if (t.address == address) return t;
  }
  return std::nullopt;
}

size_t TargetMemory::size() const {
  std::lock_guard lock(mutex_);
  return targets_.size();
}

}  // namespace qrv::tmcc
