#include "tmcc/common/snapshot_file.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>

#include "devicelib/tmcc_errors.h"

namespace qrv::tmcc {

namespace fs = std::filesystem;

namespace {

// Puts temp in target's place in one step, replacing an existing file, so a
// reader never sees a half-written snapshot.
bool Replace(const fs::path& temp, const fs::path& target) {
#if defined(_WIN32)
  return MoveFileExW(temp.wstring().c_str(), target.wstring().c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  std::error_code ec;
  fs::rename(temp, target, ec);
  return !ec;
#endif
}

}  // namespace

int32_t WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes) {
  if (path.empty()) return qrv::devicelib::kErrInvalidArgument;
  static std::atomic<uint64_t> counter{std::random_device{}()};
  fs::path target(path);
  fs::path temp = target;
  temp += ".part" + std::to_string(counter.fetch_add(1));
  std::error_code ec;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return qrv::devicelib::kErrIo;
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      out.close();
      fs::remove(temp, ec);
      return qrv::devicelib::kErrIo;
    }
  }
  if (!Replace(temp, target)) {
    fs::remove(temp, ec);
    return qrv::devicelib::kErrIo;
  }
  return qrv::devicelib::kOk;
}

}  // namespace qrv::tmcc
