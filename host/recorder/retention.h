// Retention of finished segments: by age, then by the folder's total size,
// oldest first. Planning is pure; listing and removing touch the disk.
//
// Threads: any; the device thread that owns the folder runs it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qrv::recorder {

struct SegmentOnDisk {
  std::string path;
  std::chrono::system_clock::time_point modified;
  uint64_t bytes = 0;
};

struct Removal {
  std::string path;
  uint64_t bytes = 0;
  std::string reason;  // "age" or "size"
};

// maxAge 0 and maxTotalBytes 0 mean no limit. Files are taken oldest first
// (by modification time, then name); the size limit never removes the newest.
std::vector<Removal> PlanRetention(std::vector<SegmentOnDisk> files,
                                   std::chrono::system_clock::time_point now,
                                   std::chrono::seconds maxAge, uint64_t maxTotalBytes);

// The device's finished segments in `folder`: regular files (not symbolic
// links) named exactly as the device names them (IsSegmentName), never the
// ".part" file being written, never another device's or anyone else's.
std::vector<SegmentOnDisk> ListSegments(const std::string& folder, const std::string& device);

}  // namespace qrv::recorder
