// POSIX: stat, with the nanoseconds of the modification time.
#include "platform/file_stamp.h"

#include <sys/stat.h>

namespace qrv::platform {

std::optional<FileStamp> ReadFileStamp(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return FileStamp{static_cast<uint64_t>(status.st_size),
                   static_cast<uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                       static_cast<uint64_t>(status.st_mtim.tv_nsec)};
}

}  // namespace qrv::platform
