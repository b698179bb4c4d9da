// Storage for one cached stream header packet of a slot.
//
// One writer, the stream's packet thread, replaces the content; any other
// thread may take a consistent copy at any time (the header replay at
// registration). A sequence counter tells the reader when a copy raced a
// write, and the copy is made with word-sized atomic accesses, so a reader
// never returns a torn header and no data race exists. Writes never allocate
// unless a header is longer than the storage; the outgrown storage is kept
// until Release, so a concurrent reader never touches freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qrv::device {

class HeaderBuffer {
 public:
  static constexpr uint32_t kInitialCapacity = 4096;

  // Out of line: Storage is complete only in the .cc file.
  HeaderBuffer();
  ~HeaderBuffer();
  HeaderBuffer(const HeaderBuffer&) = delete;
  HeaderBuffer& operator=(const HeaderBuffer&) = delete;

  // Replaces the storage with a fresh buffer of kInitialCapacity bytes and
  // length 0. Caller must ensure no writer or reader runs.
  void Allocate();
  // Frees all storage; length 0. Caller must ensure no writer or reader runs.
  void Release();
  bool HasStorage() const;
  uint32_t Capacity() const;

  // Writer thread only. Replaces the content with length bytes of data
  // (length 0 empties it).
  void Store(const uint8_t* data, uint32_t length);
  // Writer thread only: the current content, valid until the next Store.
  const uint8_t* WriterData() const;
  // True when the content equals the given bytes. Writer thread only.
  bool Equals(const uint8_t* data, uint32_t length) const;

  // Any thread: number of valid bytes (0 = none).
  int32_t Length() const;
  // Any thread: copies one complete stored header into out. Returns its length.
  uint32_t Snapshot(std::vector<uint8_t>& out) const;

 private:
  struct Storage;
  std::atomic<Storage*> current_{nullptr};
  std::vector<std::unique_ptr<Storage>> owned_;  // current and outgrown storage
  std::atomic<uint32_t> sequence_{0};            // odd while a write is in progress
  std::atomic<int32_t> length_{0};
};

}  // namespace qrv::device
