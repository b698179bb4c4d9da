// One segment file being written: whole units (the header, frames) are
// buffered and written with plain write(2), so the file on disk always ends
// at a unit boundary. The unit that no longer fits goes out with the buffered
// ones in one gathered write from the caller's memory, not copied: a write
// carries at least kBufferBytes (4 per MiB). A failed write (disk full,
// file-size limit) cuts the file back to the last whole unit that reached it
// and refuses further units, so a segment that hit an error still decodes up
// to where it ends. Buffered units are written at the latest with the first
// unit that comes kMaxBufferAge after the oldest of them, so a crash (kill -9,
// power) loses at most about that much video even at a low bitrate.
//
// Threads: one owner at a time (the device's packet path under its mutex,
// then the closer thread); no internal locking.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace qrv::recorder {

class SegmentFile {
 public:
  // Bytes buffered before a write.
  static constexpr size_t kBufferBytes = 256 * 1024;
  // Age of the oldest buffered unit at which the next unit writes them out.
  static constexpr std::chrono::milliseconds kMaxBufferAge{1000};

  // Creates `path` (must not exist). Null with *error when it cannot.
  static std::unique_ptr<SegmentFile> Create(
      const std::string& path, std::string* error,
      std::chrono::milliseconds maxBufferAge = kMaxBufferAge);
  ~SegmentFile();
  SegmentFile(const SegmentFile&) = delete;
  SegmentFile& operator=(const SegmentFile&) = delete;

  // Appends one whole unit; `frame` counts it as a video frame. False when it
  // (or buffered units before it) could not be written; see lostFrames().
  bool Append(std::span<const uint8_t> unit, bool frame) { return AppendUnit(unit, frame ? 1 : 0); }
  // The same for a unit holding `frames` video frames (an MP4 fragment).
  bool AppendUnit(std::span<const uint8_t> unit, uint32_t frames);
  // Writes the buffered units now (a unit worth losing no more of than a
  // crash must: an MP4 fragment). False as for Append.
  bool WriteOut();
  // Writes what is buffered, syncs the data to disk and closes the file.
  // False when anything failed (the file still ends at a unit boundary).
  bool Finish();

  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // Units accepted and not lost, whether still buffered or on disk.
  uint64_t frames() const { return frames_; }
  uint64_t bytes() const { return bytes_; }
  // Frames accepted earlier that a failed write lost.
  uint64_t lostFrames() const { return lostFrames_; }
  uint64_t lostBytes() const { return lostBytes_; }

 private:
  SegmentFile(int fd, std::string path, std::chrono::milliseconds maxBufferAge);
  // Writes the buffered units, then `unit` (may be empty), in one gathered
  // write. On failure the file keeps the whole units that reached it; the
  // rest (`unit` too) is counted lost.
  bool Flush(std::span<const uint8_t> unit, uint32_t frames);
  // 0, or the error that stopped the write; *done: the bytes that reached
  // the file.
  int WriteGathered(std::span<const uint8_t> unit, size_t* done);
  void Fail(const char* what, int error);

  int fd_ = -1;
  std::string path_;
  const std::chrono::milliseconds maxBufferAge_;
  std::chrono::steady_clock::time_point oldestBufferedAt_{};
  std::vector<uint8_t> buffer_;
  // Where each buffered unit ends in buffer_, and the frames it holds.
  std::vector<std::pair<size_t, uint32_t>> units_;
  uint64_t onDisk_ = 0;  // bytes written, always ending at a unit boundary
  uint64_t frames_ = 0;
  uint64_t bytes_ = 0;
  uint64_t lostFrames_ = 0;
  uint64_t lostBytes_ = 0;
  bool failed_ = false;
  std::string error_;
};

}  // namespace qrv::recorder
