#include "tmcc/snapshot_file.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>

#include "devicelib/tmcc_errors.h"

namespace qrv::tmcc {

namespace fs = std::filesystem;

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
  fs::rename(temp, target, ec);
  if (ec) {
    fs::remove(temp, ec);
    return qrv::devicelib::kErrIo;
  }
  return qrv::devicelib::kOk;
}

}  // namespace qrv::tmcc
