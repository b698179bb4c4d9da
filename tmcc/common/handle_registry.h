// Handles: small positive numbers naming live clients. A handle is not given
// out again while its number is in use, and numbers are not reused soon after
// release, so a stale handle is refused rather than reaching a new client.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "tmcc/common/client.h"

namespace qrv::tmcc {

class HandleRegistry {
 public:
  // Threading: any thread; each call takes the registry mutex briefly and
  // calls nothing while holding it.
  int32_t Add(std::shared_ptr<Client> client);  // 0 when no number is free
  std::shared_ptr<Client> Find(int32_t handle) const;
  std::shared_ptr<Client> Remove(int32_t handle);

  static HandleRegistry& Instance();

 private:
  mutable std::mutex mutex_;
  std::unordered_map<int32_t, std::shared_ptr<Client>> clients_;
  int32_t next_ = 1;
};

}  // namespace qrv::tmcc
