// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes.
#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qrv::test {

class TempDir {
 public:
  TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto candidate = base / ("qrv-test-" + std::to_string(random()) + "-" +
                               std::to_string(counter.fetch_add(1)));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        path_ = candidate;
        return;
      }
    }
    throw std::runtime_error("cannot create a temporary directory");
  }
  ~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // Path of name inside the directory, as text.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace qrv::test
