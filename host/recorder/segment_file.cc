#include "host/recorder/segment_file.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qrv::recorder {

std::unique_ptr<SegmentFile> SegmentFile::Create(const std::string& path, std::string* error,
                                                 std::chrono::milliseconds maxBufferAge) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<SegmentFile>(new SegmentFile(fd, path, maxBufferAge));
}

SegmentFile::SegmentFile(int fd, std::string path, std::chrono::milliseconds maxBufferAge)
    : fd_(fd), path_(std::move(path)), maxBufferAge_(maxBufferAge) {
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

int SegmentFile::WriteGathered(std::span<const uint8_t> unit, size_t* done) {
  iovec parts[2] = {{buffer_.data(), buffer_.size()},
                    {const_cast<uint8_t*>(unit.data()), unit.size()}};
  size_t first = buffer_.empty() ? 1 : 0;
  const size_t total = buffer_.size() + unit.size();
  *done = 0;
  while (*done < total) {
    ssize_t n = ::writev(fd_, parts + first, static_cast<int>(2 - first));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    *done += static_cast<size_t>(n);
    // What is left of the two parts.
    for (size_t left = static_cast<size_t>(n); left > 0 && first < 2;) {
      const size_t step = std::min(left, parts[first].iov_len);
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + step;
      parts[first].iov_len -= step;
      left -= step;
      if (parts[first].iov_len == 0) ++first;
    }
  }
  return 0;
}

bool SegmentFile::Flush(std::span<const uint8_t> unit, uint32_t frames) {
  if (buffer_.empty() && unit.empty()) return true;
  if (!unit.empty()) units_.emplace_back(buffer_.size() + unit.size(), frames);
  size_t done = 0;
  const int error = WriteGathered(unit, &done);
  const bool ok = error == 0;
  // The whole units that reached the file stay; the others are lost.
  size_t kept = 0;
  for (const auto& [end, unitFrames] : units_) {
    if (ok || end <= done) {
      kept = end;
      continue;
    }
    lostFrames_ += unitFrames;
    frames_ -= unitFrames;
  }
  const size_t total = buffer_.size() + unit.size();
  lostBytes_ += total - kept;
  bytes_ -= total - kept;
  onDisk_ += kept;
  if (!ok) Fail("write", error);  // cuts the file back to onDisk_
  buffer_.clear();
  units_.clear();
  return ok;
}

bool SegmentFile::AppendUnit(std::span<const uint8_t> unit, uint32_t frames) {
  if (failed_ || fd_ < 0) {
    lostFrames_ += frames;
    lostBytes_ += unit.size();
    return false;
  }
  frames_ += frames;
  bytes_ += unit.size();
  const auto now = std::chrono::steady_clock::now();
  if (buffer_.size() + unit.size() > kBufferBytes ||
      (!buffer_.empty() && now - oldestBufferedAt_ >= maxBufferAge_))
    return Flush(unit, frames);
  if (buffer_.empty()) oldestBufferedAt_ = now;
  buffer_.insert(buffer_.end(), unit.begin(), unit.end());
  units_.emplace_back(buffer_.size(), frames);
  return true;
}

bool SegmentFile::WriteOut() {
  if (failed_ || fd_ < 0) return false;
  return Flush({}, 0);
}

bool SegmentFile::Finish() {
  if (fd_ < 0) return !failed_;
  bool ok = !failed_ && Flush({}, 0);
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
