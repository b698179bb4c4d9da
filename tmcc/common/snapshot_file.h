// Writes a snapshot file so that a reader never sees half of it: the bytes go
// to a temporary file in the same folder, which is then renamed over the target.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qrv::tmcc {

// kOk, or kErrIo when the file could not be written (no file is left behind).
// Threading: any thread; touches only the named file and its temporary.
int32_t WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace qrv::tmcc
