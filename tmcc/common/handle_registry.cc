#include "tmcc/common/handle_registry.h"

#include <limits>

namespace qrv::tmcc {

namespace {
// Far more than any host keeps open at once; bounds the registry.
constexpr size_t kMaxClients = 65536;
}  // namespace

int32_t HandleRegistry::Add(std::shared_ptr<Client> client) {
  std::lock_guard lock(mutex_);
  if (clients_.size() >= kMaxClients) return 0;
  while (clients_.count(next_) != 0) {
    next_ = next_ == std::numeric_limits<int32_t>::max() ? 1 : next_ + 1;
  }
  int32_t handle = next_;
  next_ = next_ == std::numeric_limits<int32_t>::max() ? 1 : next_ + 1;
  client->set_handle(handle);
  clients_.emplace(handle, std::move(client));
  return handle;
}

std::shared_ptr<Client> HandleRegistry::Find(int32_t handle) const {
  std::lock_guard lock(mutex_);
  auto it = clients_.find(handle);
  return it == clients_.end() ? nullptr : it->second;
}

std::shared_ptr<Client> HandleRegistry::Remove(int32_t handle) {
  std::lock_guard lock(mutex_);
  auto it = clients_.find(handle);
  if (it == clients_.end()) return nullptr;
  auto client = std::move(it->second);
  clients_.erase(it);
  return client;
}

HandleRegistry& HandleRegistry::Instance() {
  static HandleRegistry* registry = new HandleRegistry();
  return *registry;
}

}  // namespace qrv::tmcc
