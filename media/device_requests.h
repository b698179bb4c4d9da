// Key-frame request (operation 18) and snapshot (operation 20), made on the
// slot's login client. Threads: host threads; no lock.
#pragma once

#include <cstdint>
#include <string>

namespace qrv::media {

// 0 when the library accepted the request, else -1.
int32_t RequestKeyFrame(int32_t slot);

// Asks the library to write a JPEG snapshot to fileName. 0 when the library
// wrote it, else -1.
int32_t CaptureSnapshot(int32_t slot, const std::string& fileName);

}  // namespace qrv::media
