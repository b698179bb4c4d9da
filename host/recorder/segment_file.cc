#include "host/recorder/segment_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qrv::recorder {

std::unique_ptr<SegmentFile> SegmentFile::Create(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<SegmentFile>(new SegmentFile(fd, path));
}

SegmentFile::SegmentFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
  buffer_.reserve(kBufferBytes);
}

SegmentFile::~SegmentFile() {
  if (fd_ >= 0) ::close(fd_);
}

void SegmentFile::Fail(const char* what, int error) {
  failed_ = true;
  error_ = std::string(what) + " " + path_ + ": " + std::strerror(error);
  // Whatever part of the last write landed is cut off again.
  if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(onDisk_)) != 0) {
    error_ += std::string("; cutting back failed: ") + std::strerror(errno);
  }
}

bool SegmentFile::WriteAll(std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail("write", n < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  onDisk_ += bytes.size();
  return true;
}

bool SegmentFile::FlushBuffer() {
  if (buffer_.empty()) return true;
  const bool ok = WriteAll(buffer_);
  if (!ok) {
    lostFrames_ += bufferedFrames_;
    lostBytes_ += buffer_.size();
    frames_ -= bufferedFrames_;
    bytes_ -= buffer_.size();
  }
  buffer_.clear();
  bufferedFrames_ = 0;
  return ok;
}

bool SegmentFile::Append(std::span<const uint8_t> unit, bool frame) {
  if (failed_ || fd_ < 0) {
    if (frame) ++lostFrames_;
    lostBytes_ += unit.size();
    return false;
  }
  frames_ += frame ? 1 : 0;
  bytes_ += unit.size();
  if (buffer_.size() + unit.size() > kBufferBytes && !FlushBuffer()) {
    if (frame) ++lostFrames_;
    lostBytes_ += unit.size();
    frames_ -= frame ? 1 : 0;
    bytes_ -= unit.size();
    return false;
  }
  if (unit.size() >= kBufferBytes) {
    if (!WriteAll(unit)) {
      if (frame) ++lostFrames_;
      lostBytes_ += unit.size();
      frames_ -= frame ? 1 : 0;
      bytes_ -= unit.size();
      return false;
    }
    return true;
  }
  buffer_.insert(buffer_.end(), unit.begin(), unit.end());
  bufferedFrames_ += frame ? 1 : 0;
  return true;
}

bool SegmentFile::Finish() {
  if (fd_ < 0) return !failed_;
  bool ok = !failed_ && FlushBuffer();
  if (ok && ::fdatasync(fd_) != 0) {
    Fail("sync", errno);
    ok = false;
  }
  if (::close(fd_) != 0 && ok) {
    failed_ = true;
    error_ = "close " + path_ + ": " + std::strerror(errno);
    ok = false;
  }
  fd_ = -1;
  return ok;
}

}  // namespace qrv::recorder
