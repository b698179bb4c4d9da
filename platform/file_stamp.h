// What tells one state of a file from another: its size and the time it was
// last written. Used to learn whether another module wrote a file.
//
// Any thread; no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qrv::platform {

struct FileStamp {
  uint64_t size = 0;
  uint64_t writeTime = 0;  // in the platform's finest unit
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the regular file at path (on Windows a name in the system's
// ANSI code page, as the host passes it), or nothing when there is none.
std::optional<FileStamp> ReadFileStamp(const std::string& path);

}  // namespace qrv::platform
