#include "tmcc/stream_delivery.h"

#include "tmcc/protocol/frame.h"

namespace qrv::tmcc {

namespace {
// Items before the ring first grows: a few seconds of a paced stream.
constexpr size_t kInitialItems = 256;
}  // namespace

DeliveryCounters& Deliveries() {
  static DeliveryCounters counters;
  return counters;
}

StreamDelivery::StreamDelivery(size_t readerBytes, uint32_t maxPayload, Sink sink, Wake wake)
    : reader_(std::make_shared<connection::FrameReader>(readerBytes, maxPayload)),
      sink_(std::move(sink)),
      wake_(std::move(wake)),
      ring_(kInitialItems) {}

StreamDelivery::~StreamDelivery() {
  Stop();
}

void StreamDelivery::Start() {
  // The thread keeps this object alive until it ends.
  Deliveries().open.fetch_add(1, std::memory_order_relaxed);
  thread_ = std::thread([self = shared_from_this()] { self->Run(); });
}

void StreamDelivery::Push(const protocol::StreamData& data) {
  const bool holding = reader_->Holding();
  reader_->Hold();
  const uint64_t end = reader_->Decoded();
  // Bytes from the oldest undelivered frame to this one's end (the reader's
  // size bounds it), kept as a process-wide peak for the figures.
  const uint64_t held =
      holding ? end - reader_->Released()
              : data.data.size() + protocol::kStreamDataPrefix + protocol::kFrameHeaderSize;
  auto& peak = Deliveries().peakHeldBytes;
  uint32_t seen = peak.load(std::memory_order_relaxed);
  while (held > seen && !peak.compare_exchange_weak(seen, static_cast<uint32_t>(held),
                                                     std::memory_order_relaxed)) {
  }
  std::lock_guard lock(mutex_);
  if (stop_) return;
  if (count_ == ring_.size()) {
    std::vector<Item> grown(ring_.size() * 2);
    for (size_t i = 0; i < count_; ++i) grown[i] = ring_[(head_ + i) % ring_.size()];
    ring_ = std::move(grown);
    head_ = 0;
  }
  ring_[(head_ + count_) % ring_.size()] = Item{data, end};
  ++count_;
  if (idle_) ready_.notify_one();
}

size_t StreamDelivery::Queued() const {
  std::lock_guard lock(mutex_);
  return count_;
}

void StreamDelivery::Stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    count_ = 0;
    thread = std::move(thread_);
  }
  ready_.notify_one();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // called from the sink: the thread ends when it returns
  } else {
    thread.join();
  }
}

void StreamDelivery::Run() {
  for (;;) {
    Item item;
    bool last;
    {
      std::unique_lock lock(mutex_);
      idle_ = true;
      ready_.wait(lock, [&] { return stop_ || count_ > 0; });
      idle_ = false;
      if (stop_) break;
      item = ring_[head_];
      head_ = (head_ + 1) % ring_.size();
      last = --count_ == 0;
    }
    sink_(item.data);
    reader_->Release(item.end);
    Deliveries().delivered.fetch_add(1, std::memory_order_relaxed);
    if (reader_->TakeStarved(item.end, last)) {
      Deliveries().holdBacks.fetch_add(1, std::memory_order_relaxed);
      wake_();
    }
  }
  Deliveries().open.fetch_sub(1, std::memory_order_relaxed);
  // Drop what the sink and wake hold (they may keep the stream's client alive).
  sink_ = nullptr;
  wake_ = nullptr;
}

}  // namespace qrv::tmcc
