// POSIX: no Visual Studio runtime; the object's own stand-in serves.
#include "platform/host_type_info.h"

namespace qrv::platform {

const void* HostTypeInfoTable() {
  return nullptr;
}

}  // namespace qrv::platform
