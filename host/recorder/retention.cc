#include "host/recorder/retention.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "host/recorder/output_folder.h"

namespace qrv::recorder {

namespace fs = std::filesystem;

std::vector<Removal> PlanRetention(std::vector<SegmentOnDisk> files,
                                   std::chrono::system_clock::time_point now,
                                   std::chrono::seconds maxAge, uint64_t maxTotalBytes) {
  std::sort(files.begin(), files.end(), [](const SegmentOnDisk& a, const SegmentOnDisk& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
  });
  std::vector<Removal> removals;
  uint64_t total = 0;
  for (const auto& f : files) total += f.bytes;
  size_t next = 0;
  if (maxAge.count() > 0) {
    for (; next < files.size() && now - files[next].modified > maxAge; ++next) {
      removals.push_back({files[next].path, files[next].bytes, "age"});
      total -= files[next].bytes;
    }
  }
  if (maxTotalBytes > 0) {
    // The newest segment stays even when it alone is over the limit: a limit
    // too small must not leave the device with no recording at all.
    for (; next + 1 < files.size() && total > maxTotalBytes; ++next) {
      removals.push_back({files[next].path, files[next].bytes, "size"});
      total -= files[next].bytes;
    }
  }
  return removals;
}

std::vector<SegmentOnDisk> ListSegments(const std::string& folder, const std::string& device) {
  std::vector<SegmentOnDisk> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!IsSegmentName(it->path().filename().string(), device)) continue;
    // A symbolic link is never followed: its target is not ours to delete.
    std::error_code fileEc;
    if (!fs::is_regular_file(it->symlink_status(fileEc)) || fileEc) continue;
    const auto size = it->file_size(fileEc);
    if (fileEc) continue;
    const auto written = it->last_write_time(fileEc);
    if (fileEc) continue;
    const auto modified = std::chrono::file_clock::to_sys(written);
    found.push_back({it->path().string(), modified, size});
  }
  return found;
}

}  // namespace qrv::recorder
