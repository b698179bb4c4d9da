// A library result that says the device has no way to do an operation (a
// standard camera asked for voice talk, say). It is no passing failure, so
// the operation fails and the slot's last error names the operation: the
// host's device status then says why, instead of a bare -1.
#pragma once

#include <cstdint>

namespace qrv::device {

// True when libraryResult is the library's "unsupported"; then reason (a
// string literal: it is published without a copy) becomes the slot's last
// error. Threads: any; no lock (the last error is an atomic pointer).
bool NoteUnsupported(int32_t slot, int32_t libraryResult, const char* reason);

}  // namespace qrv::device
