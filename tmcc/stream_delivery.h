// Hands a stream's packets from the I/O strand to a thread of the stream's
// own, so a host callback that blocks (or a recording write that stalls)
// delays only its stream and never the shared I/O threads.
//
//   strand:   read -> decode in place -> Push (keeps the frame in the reader)
//   delivery: Pop -> sink(packet) -> Release (frees its bytes) -> wake the
//             strand if the reader had stopped for room
//
// Packets are not copied: each stays in the stream's reader until its sink
// call returned. The reader's size bounds what a stalled stream holds; past
// it the connection stops reading and TCP holds the device back.
//
// Threading: Push on the stream's strand only; Stop from any thread. The sink
// runs on the delivery thread, in order, one packet at a time, with no lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tmcc/connection/frame_reader.h"
#include "tmcc/protocol/messages.h"

namespace qrv::tmcc {

// What one stream may hold for a host that is behind (and its read size):
// about two seconds of a 4 Mbit/s stream; past it the device is held back.
// Grows only to fit one frame larger than this.
inline constexpr size_t kStreamReaderBytes = 1024 * 1024;

// Process-wide figures of every stream's delivery (relaxed counters).
struct DeliveryCounters {
  std::atomic<uint32_t> open{0};
  std::atomic<uint32_t> peakHeldBytes{0};
  std::atomic<uint64_t> holdBacks{0};
  std::atomic<uint64_t> delivered{0};
};
DeliveryCounters& Deliveries();

class StreamDelivery : public std::enable_shared_from_this<StreamDelivery> {
 public:
  using Sink = std::function<void(const protocol::StreamData&)>;
  // Called (on the delivery thread) when released room lets a stopped reader go on.
  using Wake = std::function<void()>;

  StreamDelivery(size_t readerBytes, uint32_t maxPayload, Sink sink, Wake wake);
  ~StreamDelivery();
  StreamDelivery(const StreamDelivery&) = delete;
  StreamDelivery& operator=(const StreamDelivery&) = delete;

  // Starts the delivery thread. Threading: the owner, once.
  void Start();
  // Queues the packet of the frame the reader's Next() just returned and
  // keeps that frame. Threading: the strand; takes the queue mutex briefly.
  void Push(const protocol::StreamData& data);
  // Ends delivery: queued packets are dropped, and when it returns the sink
  // runs no more, unless Stop was called from the sink itself (then the
  // thread ends once the sink returns). Threading: any thread; idempotent.
  void Stop();

  const std::shared_ptr<connection::FrameReader>& reader() const { return reader_; }
  // Packets queued and not yet handed to the sink.
  size_t Queued() const;

 private:
  struct Item {
    protocol::StreamData data;
    uint64_t end = 0;  // the frame's end position in the reader
  };

  void Run();

  const std::shared_ptr<connection::FrameReader> reader_;
  Sink sink_;
  Wake wake_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  // A ring of items; grows (and keeps its size) only when more frames are
  // queued than ever before, which the reader's size bounds.
  std::vector<Item> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
  bool idle_ = false;  // the thread waits for an item
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace qrv::tmcc
