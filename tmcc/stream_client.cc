#include "tmcc/stream_client.h"

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;

StreamClient::StreamClient() : SessionClient(dl::kClientStream) {}

void StreamClient::SetStreamCallback(TmccStreamCallback callback, void* context) {
  std::lock_guard lock(callbackMutex_);
  callback_ = callback;
  context_ = context;
}

int32_t StreamClient::OpenStream(SessionParams params) {
  {
    std::lock_guard lock(callbackMutex_);
    if (gate_ && !gate_->closed()) return dl::kErrBusy;
    gate_ = std::make_shared<CallbackGate>();
  }
  int32_t result = Open(std::move(params));
  if (result != dl::kOk) {
    std::shared_ptr<CallbackGate> gate;
    {
      std::lock_guard lock(callbackMutex_);
      gate = gate_;
    }
    if (gate) gate->Close();
  }
  return result;
}

void StreamClient::CloseStream() {
  std::shared_ptr<CallbackGate> gate;
  {
    std::lock_guard lock(callbackMutex_);
    gate = gate_;
  }
  if (gate) gate->Close();
  Stop();
}

// On the strand, after every (re)connection: the device starts each session
// with a stream header, and packets before it are not handed on.
void StreamClient::OnUp() {
  awaitingHeader_ = true;
}

// On the strand, once per packet; data points into the session's buffer.
void StreamClient::OnSessionStream(Session&, const protocol::StreamData& data) {
  if (awaitingHeader_) {
    if (data.frameType != protocol::kStreamHeader) return;
    awaitingHeader_ = false;
  }
  TmccStreamCallback callback;
  void* context;
  std::shared_ptr<CallbackGate> gate;
  {
    std::lock_guard lock(callbackMutex_);
    callback = callback_;
    context = context_;
    gate = gate_;
  }
  if (callback == nullptr || !gate) return;
  // The callback may release this client's handle; stay alive until it returns.
  auto self = shared_from_this();
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
  gate->Invoke([&] { callback(handle(), &packet, context); });
}

}  // namespace qrv::tmcc
