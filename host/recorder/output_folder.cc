#include "host/recorder/output_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

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

// Where a fragmented MP4 file's last whole fragment (moof then mdat) ends,
// and the samples up to there, found from the top-level boxes alone.
struct FragmentScan {
  bool read = false;
  uint64_t samples = 0;
  uint64_t keep = 0;  // 0: no whole fragment
};

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Samples in a moof's track runs (moof > traf > trun's sample_count).
uint64_t MoofSamples(std::span<const uint8_t> moof) {
  uint64_t samples = 0;
  auto children = [](std::span<const uint8_t> box, auto&& each) {
    for (size_t at = 8; at + 8 <= box.size();) {
      const uint32_t size = Be32(&box[at]);
      if (size < 8 || size > box.size() - at) return;
      each(box.subspan(at, size));
      at += size;
    }
  };
  children(moof, [&](std::span<const uint8_t> traf) {
    if (std::memcmp(&traf[4], "traf", 4) != 0) return;
    children(traf, [&](std::span<const uint8_t> trun) {
      if (std::memcmp(&trun[4], "trun", 4) == 0 && trun.size() >= 16) samples += Be32(&trun[12]);
    });
  });
  return samples;
}

FragmentScan ScanFragments(int fd) {
  FragmentScan scan;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) return scan;
  const uint64_t fileSize = static_cast<uint64_t>(end);
  uint64_t at = 0;
  uint64_t moofSamples = 0;
  bool afterMoof = false;
  while (at + 8 <= fileSize) {
    uint8_t head[16];
    if (::pread(fd, head, 16, static_cast<off_t>(at)) < 8) return scan;
    uint64_t size = Be32(head);
    if (size == 1) {
      if (at + 16 > fileSize) break;
      size = static_cast<uint64_t>(Be32(head + 8)) << 32 | Be32(head + 12);
    }
    // 0 ("to the end of the file") is how an unfinished box may look.
    if (size < 8 || size > fileSize - at) break;
    const bool moof = std::memcmp(head + 4, "moof", 4) == 0;
    if (moof) {
      // A moof holds sample tables only: a huge one is not ours.
      if (size > (64u << 20)) break;
      std::vector<uint8_t> box(size);
      if (::pread(fd, box.data(), size, static_cast<off_t>(at)) != static_cast<ssize_t>(size))
        return scan;
      moofSamples = MoofSamples(box);
    } else if (std::memcmp(head + 4, "mdat", 4) == 0 && afterMoof) {
      scan.samples += moofSamples;
      scan.keep = at + size;
    } else if (std::memcmp(head + 4, "mfra", 4) == 0 && scan.keep > 0) {
      scan.keep = at + size;  // the index written when the file was finished
    }
    afterMoof = moof;
    at += size;
  }
  scan.read = true;
  return scan;
}

bool IsMp4Name(std::string_view name) {
  if (name.ends_with(".part")) name.remove_suffix(5);
  return name.ends_with(".mp4");
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
  const std::string ending =
      IsMp4Name(wanted) ? std::string(".mp4") : std::string(host::CodecEnding(CodecOfName(wanted)));
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
         name.compare(at, std::string::npos, ".265") == 0 ||
         name.compare(at, std::string::npos, ".mp4") == 0;
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
    bool read = false;
    uint64_t keep = 0;
    if (IsMp4Name(r.part)) {
      // Fragments reach the file whole, but a crash in the middle of a
      // write can leave a short one: everything after the last whole
      // fragment goes.
      const FragmentScan scan = ScanFragments(fd);
      read = scan.read;
      keep = scan.keep;
      r.pictures = scan.samples;
    } else {
      const PictureScan scan = ScanPictures(fd, CodecOfName(r.part));
      read = scan.read;
      // The last picture may have been cut short by the crash; nothing
      // tells a whole one from a short one, so it goes.
      keep = scan.pictures >= 2 ? scan.lastPictureStart : 0;
      r.pictures = keep > 0 ? scan.pictures - 1 : 0;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (!read || size < 0) {
      r.error = std::string("read: ") + std::strerror(errno);
      ::close(fd);
      done.push_back(r);
      continue;
    }
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
