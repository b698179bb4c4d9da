// A recording file written frame by frame at a known length, so that a failed
// or short write can be cut back to the end of the last whole frame.
//
// Threads: Open and Close on host threads; Append and CutBack on the one
// thread that writes at a time (the caller serialises). Takes no lock and
// never allocates after Open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qrv::platform {

class RecordFile {
 public:
  // Creates or truncates path for writing ("wb"); null when it cannot be
  // opened.
  static std::unique_ptr<RecordFile> Open(const std::string& path);
  ~RecordFile();  // closes, after cutting back any partial tail
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Writes length bytes at the end of the file's whole content. On success
  // the bytes become part of that content. On failure (also when only part
  // was written) returns a short English reason (a static literal) and the
  // content length stays where it was; the caller calls CutBack.
  const char* Append(const uint8_t* data, uint32_t length);

  // Writes the pieces in order at the end of the content, as Append of their
  // concatenation would, in as few system calls as the platform allows (one
  // gathered write for up to kMaxPieces pieces on POSIX).
  struct Piece {
    const uint8_t* data;
    uint32_t length;
  };
  static constexpr size_t kMaxPieces = 64;
  const char* AppendGather(const Piece* pieces, size_t count);

  // Cuts the file back to the content length (removing a partial tail).
  // True when the file holds nothing beyond it.
  bool CutBack();

  // Marks the current length as the point the next CutBack returns to.
  void Commit() { committed_ = length_; }
  uint64_t Committed() const { return committed_; }

 private:
  // The open file: a descriptor on POSIX, a file HANDLE on Windows.
  using Handle = std::intptr_t;
  explicit RecordFile(Handle handle) : handle_(handle) {}
  Handle handle_;
  uint64_t length_ = 0;     // bytes written so far at the end of the content
  uint64_t committed_ = 0;  // the end of the last whole frame
  bool tail_ = false;       // bytes past committed_ may be in the file
};

}  // namespace qrv::platform
