#include "tmcc/common/stream_client.h"

#include <atomic>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "tmcc/common/receive_batch.h"
#include "tmcc/common/runtime.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;

namespace {

// The context is stored first and the callback released after it, so a
// reader that sees the callback sees its context.
std::atomic<void*> g_batchEndContext{nullptr};
std::atomic<dl::StreamBatchEndCallback> g_batchEnd{nullptr};

// This thread's batch: the packets of one read, all of one client. The
// client's callback run stays entered until the batch ends, so closing the
// stream waits for the batch end as it waits for a running callback.
struct Batch {
  std::shared_ptr<StreamClient> client;  // alive until the end
  CallbackSlot<TmccStreamCallback>::Entry entry;
  dl::StreamBatchEndCallback end = nullptr;
  void* endContext = nullptr;
};
thread_local Batch t_batch;

// Runs on the thread that delivered the batch, after its last packet.
void EndBatch() {
  Batch batch = std::move(t_batch);
  t_batch = Batch{};
  if (!batch.client) return;
  struct Leaver {
    CallbackGate& gate;
    ~Leaver() { gate.Leave(); }
  } leaver{*batch.entry.gate};
  HostCallScope scope;  // a batch end that stalls (a slow disk) gets a thread added
  batch.end(batch.endContext);
}

}  // namespace

void SetStreamBatchEnd(dl::StreamBatchEndCallback callback, void* context) {
  g_batchEndContext.store(context, std::memory_order_relaxed);
  g_batchEnd.store(callback, std::memory_order_release);
}

StreamClient::StreamClient() : SessionClient(dl::kClientStream) {}

void StreamClient::SetStreamCallback(TmccStreamCallback callback, void* context) {
  callback_.Set(callback, context);
}

int32_t StreamClient::OpenStream(SessionParams params) {
  if (!callback_.Open()) return dl::kErrBusy;
  int32_t result = Open(std::move(params));
  if (result != dl::kOk) callback_.Close();
  return result;
}

void StreamClient::CloseStream() {
  callback_.Close();
  Stop();
}

// On the strand, after every (re)connection: the device starts each session
// with a stream header, and packets before it are not handed on.
void StreamClient::OnUp() {
  awaitingHeader_ = true;
  pictureSeen_ = false;
}

// On the strand, once per packet; data points into the session's buffer.
void StreamClient::OnSessionStream(Link&, const protocol::StreamData& data) {
  if (awaitingHeader_) {
    if (data.frameType != protocol::kStreamHeader) return;
    awaitingHeader_ = false;
  }
  // A device that drops its connections now and then but streams in between
  // is retried at once, not at the interval meant for one that never works.
  if (!pictureSeen_ && data.frameType == protocol::kStreamVideo) {
    pictureSeen_ = true;
    MarkHealthy();
  }
  // The callback may release this client's handle; stay alive until it returns
  // (a batch holds the client until its end).
  auto self = t_batch.client.get() == this ? nullptr : shared_from_this();
  dl::StreamPacket packet{};
  packet.size = sizeof(packet);
  packet.frameType = data.frameType;
  packet.keyFrame = data.keyFrame;
  packet.channel = data.channel;
  packet.width = data.width;
  packet.height = data.height;
  packet.sequence = data.sequence;
  packet.timestampLow = static_cast<uint32_t>(data.timestampMs);
  packet.timestampHigh = static_cast<uint32_t>(data.timestampMs >> 32);
  packet.data = const_cast<uint8_t*>(data.data.data());
  packet.length = static_cast<int32_t>(data.data.size());
  const auto end = g_batchEnd.load(std::memory_order_acquire);
  if (end != nullptr || t_batch.client) {
    DeliverBatched(packet, end, g_batchEndContext.load(std::memory_order_relaxed));
    return;
  }
  callback_.Invoke(handle(), &packet);
}

void StreamClient::DeliverBatched(dl::StreamPacket& packet, dl::StreamBatchEndCallback end,
                                  void* endContext) {
  if (t_batch.client.get() != this) {
    // One read serves one connection; anything left from another client on
    // this thread ends first.
    if (t_batch.client) EndBatch();
    if (end == nullptr) {
      callback_.Invoke(handle(), &packet);
      return;
    }
    Batch batch;
    if (!callback_.Enter(batch.entry)) return;
    batch.client = std::static_pointer_cast<StreamClient>(shared_from_this());
    batch.end = end;
    batch.endContext = endContext;
    t_batch = std::move(batch);
    connection::SetReceiveBatchEnd(&EndBatch);
  } else if (t_batch.entry.gate->closed()) {
    return;  // closed meanwhile: nothing more is handed on, the end still comes
  }
  packet.flags = dl::kPacketBatched;
  HostCallScope scope;
  t_batch.entry.fn(handle(), &packet, t_batch.entry.context);
}

}  // namespace qrv::tmcc
