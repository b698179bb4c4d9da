#include "tmcc/stream_client.h"

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;

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
}

// On the strand, once per packet; data points into the session's buffer.
void StreamClient::OnSessionStream(Session&, const protocol::StreamData& data) {
  if (awaitingHeader_) {
    if (data.frameType != protocol::kStreamHeader) return;
    awaitingHeader_ = false;
  }
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
  callback_.Invoke(handle(), &packet);
}

}  // namespace qrv::tmcc
