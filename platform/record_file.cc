// Recordings pass 2 GiB on 32-bit builds too.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "platform/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace qrv::platform {

namespace {

const char* Reason(int error) {
  switch (error) {
    case ENOSPC:
      return "recording: no space left on the device";
    case EFBIG:
      return "recording: file size limit reached";
    case EDQUOT:
      return "recording: disk quota exceeded";
    case EIO:
      return "recording: input/output error";
    default:
      return "recording: write failed";
  }
}

}  // namespace

std::unique_ptr<RecordFile> RecordFile::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  return std::unique_ptr<RecordFile>(new RecordFile(static_cast<Handle>(fd)));
}

RecordFile::~RecordFile() {
  CutBack();
  ::close(static_cast<int>(handle_));
}

// Writes at explicit offsets, so bytes of a failed frame are overwritten by the
// next attempt even when the cut-back itself failed.
const char* RecordFile::Append(const uint8_t* data, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    const ssize_t n = ::pwrite(static_cast<int>(handle_), data + done, length - done,
                               static_cast<off_t>(length_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n == 0 ? ENOSPC : errno;
      tail_ = true;
      return Reason(error);
    }
    done += static_cast<uint32_t>(n);
  }
  length_ += length;
  return nullptr;
}

const char* RecordFile::AppendGather(const Piece* pieces, size_t count) {
  const uint64_t start = length_;
  while (count > 0) {
    iovec vec[kMaxPieces];
    const size_t n = count < kMaxPieces ? count : kMaxPieces;
    uint64_t total = 0;
    for (size_t i = 0; i < n; ++i) {
      vec[i].iov_base = const_cast<uint8_t*>(pieces[i].data);
      vec[i].iov_len = pieces[i].length;
      total += pieces[i].length;
    }
    // A short write continues where it stopped, as Append does.
    size_t first = 0;
    uint64_t done = 0;
    while (done < total) {
      const ssize_t w = ::pwritev(static_cast<int>(handle_), vec + first,
                                  static_cast<int>(n - first), static_cast<off_t>(length_ + done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        const int error = w == 0 ? ENOSPC : errno;
        tail_ = true;
        length_ = start;  // the content stays where it was, as for Append
        return Reason(error);
      }
      done += static_cast<uint64_t>(w);
      size_t left = static_cast<size_t>(w);
      while (left > 0 && left >= vec[first].iov_len) left -= vec[first++].iov_len;
      if (left > 0) {
        vec[first].iov_base = static_cast<uint8_t*>(vec[first].iov_base) + left;
        vec[first].iov_len -= left;
      }
    }
    length_ += total;
    pieces += n;
    count -= n;
  }
  return nullptr;
}

bool RecordFile::CutBack() {
  const bool extra = tail_ || length_ != committed_;
  length_ = committed_;
  if (!extra) return true;
  if (::ftruncate(static_cast<int>(handle_), static_cast<off_t>(committed_)) != 0) {
    tail_ = true;
    return false;
  }
  tail_ = false;
  return true;
}

}  // namespace qrv::platform
