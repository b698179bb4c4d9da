#include "host/recorder/output_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "host/kit/annexb_scan.h"

namespace qrv::recorder {

namespace fs = std::filesystem;

namespace {

bool Digits(const std::string& text, size_t at, size_t count) {
  if (at + count > text.size()) return false;
  for (size_t i = at; i < at + count; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// Where the last picture starts and how many pictures there are, found by
// reading the file in pieces (segments may be large).
struct PictureScan {
  bool read = false;
  uint64_t pictures = 0;
  uint64_t lastPictureStart = 0;
};

PictureScan ScanPictures(int fd, host::StreamCodec codec) {
  const bool h265 = codec == host::StreamCodec::kH265;
  PictureScan scan;
  std::vector<uint8_t> piece(1 << 20);
  uint64_t offset = 0;
  int zeros = 0;
  // 1: next byte is a NAL header; 2: next is a slice's first byte; 3: next
  // is an H.265 slice's second header byte
  int afterCode = 0;
  uint64_t codeStart = 0;
  while (true) {
    const ssize_t n = ::read(fd, piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return scan;
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i, ++offset) {
      const uint8_t b = piece[static_cast<size_t>(i)];
      if (afterCode == 1) {
        const uint8_t type = h265 ? (b >> 1) & 0x3F : b & 0x1F;
        afterCode = h265 ? (type <= 31 ? 3 : 0) : (type == 1 || type == 5) ? 2 : 0;
        zeros = 0;
        continue;
      }
      if (afterCode == 3) {
        afterCode = 2;
        zeros = 0;
        continue;
      }
      if (afterCode == 2) {
        // first_mb_in_slice 0 (a new picture) is the single bit 1; H.265
        // flags it there (first_slice_segment_in_pic_flag).
        if ((b & 0x80) != 0) {
          ++scan.pictures;
          scan.lastPictureStart = codeStart;
        }
        afterCode = 0;
      }
      if (b == 0) {
        ++zeros;
      } else if (b == 1 && zeros >= 2) {
        codeStart = offset - static_cast<uint64_t>(std::min(zeros, 3));
        afterCode = 1;
        zeros = 0;
      } else {
        zeros = 0;
      }
    }
  }
  scan.read = true;
  return scan;
}

// The codec a segment's name ends in (".264" or ".265", before any ".part").
host::StreamCodec CodecOfName(const std::string& name) {
  std::string_view n = name;
  if (n.ends_with(".part")) n.remove_suffix(5);
  return n.ends_with(".265") ? host::StreamCodec::kH265 : host::StreamCodec::kH264;
}

std::string FreeName(const std::string& wanted) {
  // NAME_STAMP[-N].264 -> NAME_STAMP-M.264 when taken (or .265).
  const std::string base = wanted.substr(0, wanted.rfind('Z') + 1);
  const std::string ending = host::CodecEnding(CodecOfName(wanted));
  std::string candidate = wanted;
  std::error_code ec;
  for (int n = 1; n < 1000 && fs::exists(fs::symlink_status(candidate, ec)); ++n)
    candidate = base + "-" + std::to_string(n) + ending;
  return candidate;
}

}  // namespace

bool IsSegmentName(const std::string& fileName, const std::string& device, bool part) {
  std::string name = fileName;
  if (part) {
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".part") != 0) return false;
    name.resize(name.size() - 5);
  }
  const std::string prefix = device + "_";
  if (device.empty() || name.compare(0, prefix.size(), prefix) != 0) return false;
  size_t at = prefix.size();
  // YYYYMMDDTHHMMSS.mmmZ
  if (!Digits(name, at, 8) || name.size() < at + 20 || name[at + 8] != 'T' ||
      !Digits(name, at + 9, 6) || name[at + 15] != '.' || !Digits(name, at + 16, 3) ||
      name[at + 19] != 'Z')
    return false;
  at += 20;
  if (at < name.size() && name[at] == '-') {
    size_t digits = 0;
    while (at + 1 + digits < name.size() && Digits(name, at + 1 + digits, 1)) ++digits;
    if (digits == 0 || digits > 9) return false;
    at += 1 + digits;
  }
  return name.compare(at, std::string::npos, ".264") == 0 ||
         name.compare(at, std::string::npos, ".265") == 0;
}

std::unique_ptr<FolderLock> FolderLock::Acquire(const std::string& folder, std::string* error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *error = "cannot create " + folder + ": " + ec.message();
    return nullptr;
  }
  const std::string path = (fs::path(folder) / kFileName).string();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    ::close(fd);
    *error = why == EWOULDBLOCK ? folder + " is in use by another device or recorder"
                                : "cannot lock " + path + ": " + std::strerror(why);
    return nullptr;
  }
  return std::unique_ptr<FolderLock>(new FolderLock(fd));
}

FolderLock::~FolderLock() {
  ::close(fd_);
}

std::vector<PartRecovery> RecoverParts(const std::string& folder, const std::string& device) {
  std::vector<PartRecovery> done;
  std::error_code ec;
  std::vector<fs::path> parts;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fileEc;
    if (!IsSegmentName(it->path().filename().string(), device, true)) continue;
    if (!fs::is_regular_file(it->symlink_status(fileEc)) || fileEc) continue;
    parts.push_back(it->path());
  }
  for (const fs::path& part : parts) {
    PartRecovery r;
    r.part = part.string();
    const int fd = ::open(r.part.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      r.error = std::string("open: ") + std::strerror(errno);
      done.push_back(r);
      continue;
    }
    const PictureScan scan = ScanPictures(fd, CodecOfName(r.part));
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (!scan.read || size < 0) {
      r.error = std::string("read: ") + std::strerror(errno);
      ::close(fd);
      done.push_back(r);
      continue;
    }
    // The last picture may have been cut short by the crash; nothing tells
    // a whole one from a short one, so it goes.
    const uint64_t keep = scan.pictures >= 2 ? scan.lastPictureStart : 0;
    r.pictures = keep > 0 ? scan.pictures - 1 : 0;
    r.bytes = keep;
    r.droppedBytes = static_cast<uint64_t>(size) - keep;
    if (keep == 0) {
      ::close(fd);
      if (::unlink(r.part.c_str()) != 0) r.error = std::string("remove: ") + std::strerror(errno);
      done.push_back(r);
      continue;
    }
    if (::ftruncate(fd, static_cast<off_t>(keep)) != 0 || ::fdatasync(fd) != 0) {
      r.error = std::string("cut: ") + std::strerror(errno);
      ::close(fd);
      done.push_back(r);
      continue;
    }
    ::close(fd);
    std::string final = r.part.substr(0, r.part.size() - 5);
    final = FreeName(final);
    if (::rename(r.part.c_str(), final.c_str()) != 0)
      r.error = std::string("rename: ") + std::strerror(errno);
    else
      r.path = final;
    done.push_back(r);
  }
  return done;
}

}  // namespace qrv::recorder
