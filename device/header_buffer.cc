#include "device/header_buffer.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace qrv::device {

// Word storage: every access from a thread other than the writer goes through
// std::atomic_ref on these 8-byte words, tail bytes included, so a concurrent
// copy is never a data race. Release stores and acquire loads of the words let
// a reader that saw any byte of a newer write also see that write's odd
// sequence number, which is what makes the retry below sound without fences.
struct HeaderBuffer::Storage {
  explicit Storage(uint32_t bytes)
      : capacity(RoundUp(bytes)), words(std::make_unique<uint64_t[]>(capacity / 8)) {}

  static uint32_t RoundUp(uint32_t bytes) {
    const uint64_t rounded = (static_cast<uint64_t>(bytes) + 7u) & ~uint64_t{7};
    return static_cast<uint32_t>(std::min<uint64_t>(rounded, 0xFFFFFFF8u));
  }

  uint32_t capacity;
  std::unique_ptr<uint64_t[]> words;
};

namespace {

void WriteWords(uint64_t* words, const uint8_t* data, uint32_t length) {
  const uint32_t whole = length / 8;
  for (uint32_t i = 0; i < whole; ++i) {
    uint64_t word;
    std::memcpy(&word, data + static_cast<size_t>(i) * 8, 8);
    std::atomic_ref<uint64_t>(words[i]).store(word, std::memory_order_release);
  }
  const uint32_t tail = length % 8;
  if (tail != 0) {
    uint64_t word = 0;
    std::memcpy(&word, data + static_cast<size_t>(whole) * 8, tail);
    std::atomic_ref<uint64_t>(words[whole]).store(word, std::memory_order_release);
  }
}

void ReadWords(const uint64_t* words, uint8_t* out, uint32_t length) {
  const uint32_t count = (length + 7) / 8;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t word =
        std::atomic_ref<uint64_t>(const_cast<uint64_t&>(words[i])).load(std::memory_order_acquire);
    const uint32_t take = std::min<uint32_t>(8, length - i * 8);
    std::memcpy(out + static_cast<size_t>(i) * 8, &word, take);
  }
}

}  // namespace

HeaderBuffer::HeaderBuffer() = default;
HeaderBuffer::~HeaderBuffer() = default;

void HeaderBuffer::Allocate() {
  owned_.clear();
  owned_.push_back(std::make_unique<Storage>(kInitialCapacity));
  current_.store(owned_.back().get(), std::memory_order_seq_cst);
  length_.store(0, std::memory_order_release);
  outgrown_.store(0, std::memory_order_relaxed);
}

void HeaderBuffer::Release() {
  current_.store(nullptr, std::memory_order_seq_cst);
  length_.store(0, std::memory_order_release);
  owned_.clear();
  outgrown_.store(0, std::memory_order_relaxed);
}

bool HeaderBuffer::HasOutgrown() const {
  return outgrown_.load(std::memory_order_relaxed) != 0;
}

void HeaderBuffer::ReleaseOutgrown() {
  if (outgrown_.load(std::memory_order_relaxed) == 0) return;
  const Storage* current = current_.load(std::memory_order_relaxed);
  std::erase_if(owned_,
                [current](const std::unique_ptr<Storage>& s) { return s.get() != current; });
  outgrown_.store(0, std::memory_order_relaxed);
}

size_t HeaderBuffer::HeldBytes() const {
  size_t total = 0;
  for (const auto& storage : owned_) total += storage->capacity;
  return total;
}

bool HeaderBuffer::HasStorage() const {
  return current_.load(std::memory_order_acquire) != nullptr;
}

uint32_t HeaderBuffer::Capacity() const {
  const Storage* storage = current_.load(std::memory_order_acquire);
  return storage == nullptr ? 0 : storage->capacity;
}

bool HeaderBuffer::Store(const uint8_t* data, uint32_t length) {
  if (data == nullptr) length = 0;
  if (length > kMaxLength) return false;
  Storage* storage = current_.load(std::memory_order_relaxed);
  if (length > 0 && (storage == nullptr || length > storage->capacity)) {
    // A header longer than the storage: grow at least twofold (so a device
    // sending ever longer headers causes few allocations, and the outgrown
    // pieces sum to less than the current one), and keep the outgrown storage
    // until ReleaseOutgrown or Release, so a reader that still holds it reads
    // valid memory. Allocation happens before the write section opens, so a
    // failure leaves the old content intact and readers unblocked.
    const uint32_t doubled = storage == nullptr ? kInitialCapacity : 2 * storage->capacity;
    const uint32_t capacity = std::min(std::max({length, doubled, kInitialCapacity}), kMaxLength);
    owned_.reserve(owned_.size() + 1);
    auto grown = std::make_unique<Storage>(capacity);
    if (storage != nullptr) outgrown_.fetch_add(1, std::memory_order_relaxed);
    storage = grown.get();
    owned_.push_back(std::move(grown));
  }

  const uint32_t sequence = sequence_.load(std::memory_order_relaxed);
  sequence_.store(sequence + 1, std::memory_order_relaxed);  // odd: write in progress
  // Sequentially consistent, paired with the reader's announcement and load:
  // a reader the owner did not see announced loads this storage, not an
  // outgrown one (see ReleaseOutgrown).
  current_.store(storage, std::memory_order_seq_cst);
  if (length > 0) WriteWords(storage->words.get(), data, length);
  length_.store(static_cast<int32_t>(length), std::memory_order_release);
  sequence_.store(sequence + 2, std::memory_order_release);
  return true;
}

const uint8_t* HeaderBuffer::WriterData() const {
  const Storage* storage = current_.load(std::memory_order_relaxed);
  return storage == nullptr ? nullptr : reinterpret_cast<const uint8_t*>(storage->words.get());
}

bool HeaderBuffer::Equals(const uint8_t* data, uint32_t length) const {
  if (static_cast<uint32_t>(length_.load(std::memory_order_relaxed)) != length) return false;
  if (length == 0) return true;
  if (data == nullptr) return false;
  // Only the writer changes the words, so reading them here races nothing.
  return std::memcmp(WriterData(), data, length) == 0;
}

int32_t HeaderBuffer::Length() const {
  return length_.load(std::memory_order_acquire);
}

uint32_t HeaderBuffer::Snapshot(std::vector<uint8_t>& out) const {
  // Headers change rarely; a reader that raced a write simply copies again.
  for (uint32_t attempt = 0;; ++attempt) {
    const uint32_t before = sequence_.load(std::memory_order_acquire);
    if ((before & 1u) == 0) {
      const Storage* storage = current_.load(std::memory_order_seq_cst);
      const int32_t stored = length_.load(std::memory_order_acquire);
      uint32_t length = stored > 0 ? static_cast<uint32_t>(stored) : 0;
      // A raced read may pair a new length with old storage: never read past it.
      if (storage == nullptr) length = 0;
      if (storage != nullptr) length = std::min(length, storage->capacity);
      out.resize(length);
      if (length > 0) ReadWords(storage->words.get(), out.data(), length);
      if (sequence_.load(std::memory_order_acquire) == before) return length;
    }
    if (attempt % 64 == 63) std::this_thread::yield();
  }
}

}  // namespace qrv::device
