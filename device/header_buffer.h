// Storage for one cached stream header packet of a slot.
//
// One writer, the stream's packet thread, replaces the content; any other
// thread may take a consistent copy at any time (the header replay at
// registration). A sequence counter tells the reader when a copy raced a
// write, and the copy is made with word-sized atomic accesses, so a reader
// never returns a torn header and no data race exists. Writes never allocate
// unless a header is longer than the storage. A header longer than kMaxLength
// is refused, and storage grows at least twofold, so the storage a buffer
// holds stays below 2 * kMaxLength whatever a device sends. Outgrown storage
// is kept until the owner knows no reader can still hold it (ReleaseOutgrown)
// or until Release, so a concurrent reader never touches freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qrv::device {

class HeaderBuffer {
 public:
  static constexpr uint32_t kInitialCapacity = 4096;
  // Far above any real parameter-set header; what a device sends beyond it is
  // an attack on the host's memory, not a header.
  static constexpr uint32_t kMaxLength = 1u << 20;

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
  // (length 0 empties it). Returns false, changing nothing, when length is
  // above kMaxLength.
  bool Store(const uint8_t* data, uint32_t length);
  // Any thread: true while storage outgrown by a longer header is kept.
  bool HasOutgrown() const;
  // Writer thread only: frees the outgrown storage. The caller must know that
  // no reader still holds it: a reader that loads the storage after the
  // writer's Store finds the current one, so it is enough that every reader
  // other than the writer announces itself (sequentially consistent) before
  // it reads, and that the caller saw no such reader after its Store.
  void ReleaseOutgrown();
  // Writer thread, or while no writer runs: bytes of storage held, current
  // and outgrown together.
  size_t HeldBytes() const;
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
  std::atomic<uint32_t> outgrown_{0};            // entries of owned_ other than current
  std::atomic<uint32_t> sequence_{0};            // odd while a write is in progress
  std::atomic<int32_t> length_{0};
};

}  // namespace qrv::device
