// Moves the calling thread, and every thread it starts later, into a network
// namespace of its own with only the loopback interface, up. Fixed ports
// (discovery, alarms) are then this program's alone: other programs on the
// machine can neither disturb it nor be disturbed by what it sends.
// Call before any thread is started (a static initialiser does), as root or
// where unprivileged user namespaces are allowed.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace qrv::test {

inline bool EnterPrivateNetwork(std::string* why) {
  const int flags = geteuid() == 0 ? CLONE_NEWNET : CLONE_NEWUSER | CLONE_NEWNET;
  if (unshare(flags) != 0) {
    *why = std::string("unshare: ") + std::strerror(errno);
    return false;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (ok) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!ok) *why = std::string("loopback up: ") + std::strerror(errno);
  close(fd);
  return ok;
}

}  // namespace qrv::test
