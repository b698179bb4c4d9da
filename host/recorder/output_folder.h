// A device's output folder: which files in it are the device's own, the lock
// that keeps a second device or a second recorder out of it, and the
// unfinished files a crash left behind.
//
// Threads: the device thread that owns the folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qrv::recorder {

// NAME_YYYYMMDDTHHMMSS.mmmZ.264 or NAME_YYYYMMDDTHHMMSS.mmmZ-N.264 (.265 for
// H.265, .mp4 for MP4 segments), with ".part" after it when `part` is set.
// Nothing else is the device's.
bool IsSegmentName(const std::string& fileName, const std::string& device, bool part = false);

// An exclusive lock on a folder (a lock file inside it), held while the
// object lives; the folder is created when missing.
class FolderLock {
 public:
  // Null with *error (the real cause) when the folder cannot be made or is
  // locked by someone else, in this process or another.
  static std::unique_ptr<FolderLock> Acquire(const std::string& folder, std::string* error);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  static constexpr const char* kFileName = ".qrv-recorder.lock";

 private:
  explicit FolderLock(int fd) : fd_(fd) {}
  int fd_;
};

struct PartRecovery {
  std::string part;  // the unfinished file
  std::string path;  // the finished file it became; empty when removed
  uint64_t pictures = 0;
  uint64_t bytes = 0;         // kept
  uint64_t droppedBytes = 0;  // cut off (or removed)
  std::string error;          // when it could be neither finished nor removed
};

// Finishes the device's ".part" files left by a crash: each is cut before its
// last picture (which may be incomplete), an MP4 one after its last whole
// fragment, and renamed; one holding no whole picture is removed. Call with the folder locked and
// no segment open.
std::vector<PartRecovery> RecoverParts(const std::string& folder, const std::string& device);

}  // namespace qrv::recorder
