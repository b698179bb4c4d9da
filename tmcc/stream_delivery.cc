#include "tmcc/stream_delivery.h"

namespace qrv::tmcc {

namespace {
// Items before the ring first grows: a few seconds of a paced stream.
constexpr size_t kInitialItems = 256;
}  // namespace

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
  thread_ = std::thread([self = shared_from_this()] { self->Run(); });
}

void StreamDelivery::Push(const protocol::StreamData& data) {
  reader_->Hold();
  const uint64_t end = reader_->Decoded();
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
    if (reader_->TakeStarved(item.end, last)) wake_();
  }
  // Drop what the sink and wake hold (they may keep the stream's client alive).
  sink_ = nullptr;
  wake_ = nullptr;
}

}  // namespace qrv::tmcc
