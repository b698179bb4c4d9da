// Win32 backend of the recording file: positioned writes through WriteFile
// with an OVERLAPPED offset on a synchronous handle, and the cut back through
// SetFilePointerEx + SetEndOfFile. The reasons are the POSIX backend's texts.
#include "platform/record_file.h"

#include <windows.h>

namespace qrv::platform {

namespace {

const char* Reason(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "recording: no space left on the device";
    case ERROR_FILE_TOO_LARGE:
      return "recording: file size limit reached";
    case ERROR_IO_DEVICE:
    case ERROR_CRC:
      return "recording: input/output error";
    default:
      return "recording: write failed";
  }
}

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

// The path is in the system's ANSI code page, as the host passes it. Others
// may read (or remove) a recording while it grows; the handle is not inherited.
std::unique_ptr<RecordFile> RecordFile::Open(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<RecordFile>(new RecordFile(reinterpret_cast<Handle>(file)));
}

RecordFile::~RecordFile() {
  CutBack();
  CloseHandle(AsHandle(handle_));
}

// Writes at explicit offsets, so bytes of a failed frame are overwritten by the
// next attempt even when the cut-back itself failed.
const char* RecordFile::Append(const uint8_t* data, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    const uint64_t offset = length_ + done;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), data + done, length - done, &written, &at)) {
      tail_ = true;
      return Reason(GetLastError());
    }
    if (written == 0) {  // nothing taken and no error: the volume is full
      tail_ = true;
      return Reason(ERROR_DISK_FULL);
    }
    done += written;
  }
  length_ += length;
  return nullptr;
}

// WriteFile has no gathered form for unaligned buffers: one write per piece.
const char* RecordFile::AppendGather(const Piece* pieces, size_t count) {
  const uint64_t start = length_;
  for (size_t i = 0; i < count; ++i) {
    if (const char* failure = Append(pieces[i].data, pieces[i].length)) {
      length_ = start;  // the content stays where it was, as for Append
      return failure;
    }
  }
  return nullptr;
}

bool RecordFile::CutBack() {
  const bool extra = tail_ || length_ != committed_;
  length_ = committed_;
  if (!extra) return true;
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(committed_);
  if (!SetFilePointerEx(AsHandle(handle_), end, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(AsHandle(handle_))) {
    tail_ = true;
    return false;
  }
  tail_ = false;
  return true;
}

}  // namespace qrv::platform
