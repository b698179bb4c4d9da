#include "tmcc/onvif/subscription_timing.h"

#include <algorithm>

namespace qrv::tmcc {

std::chrono::milliseconds RenewDelay(int64_t deviceNow, int64_t deviceTermination,
                                     std::chrono::milliseconds requestedLifetime) {
  using std::chrono::milliseconds;
  constexpr milliseconds kMargin{10000};
  constexpr milliseconds kFloor{1000};
  constexpr milliseconds kLongest{3600 * 1000};
  milliseconds lifetime = requestedLifetime;
  if (deviceNow > 0 && deviceTermination > 0) {
    // Differences of absurd times are clamped before they can overflow.
    const int64_t seconds = std::clamp<int64_t>(deviceTermination - deviceNow, -1, 3600);
    lifetime = milliseconds(seconds * 1000);
  }
  lifetime = std::min(lifetime, kLongest);
  const milliseconds delay = std::max(lifetime / 2, lifetime - kMargin);
  return std::max(delay, kFloor);
}

}  // namespace qrv::tmcc
