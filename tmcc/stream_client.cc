#include "tmcc/stream_client.h"

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;

StreamClient::StreamClient() : SessionClient(dl::kClientStream) {}

StreamClient::~StreamClient() {
  std::lock_guard lock(deliveryMutex_);
  if (delivery_) delivery_->Stop();
}

void StreamClient::SetStreamCallback(TmccStreamCallback callback, void* context) {
  callback_.Set(callback, context);
}

int32_t StreamClient::OpenStream(SessionParams params) {
  if (!callback_.Open()) return dl::kErrBusy;
  // The delivery thread keeps the client alive while it delivers; stopping
  // the stream ends it.
  auto self = std::static_pointer_cast<StreamClient>(shared_from_this());
  std::weak_ptr<StreamClient> weak = self;
  auto delivery = std::make_shared<StreamDelivery>(
      kStreamReaderBytes, UINT32_MAX, [self](const pr::StreamData& data) { self->Deliver(data); },
      [weak] {
        if (auto client = weak.lock()) client->ResumeReading();
      });
  delivery->Start();
  {
    std::lock_guard lock(deliveryMutex_);
    delivery_ = delivery;
  }
  params.reader = delivery->reader();
  int32_t result = Open(std::move(params));
  if (result != dl::kOk) {
    callback_.Close();
    delivery->Stop();
  }
  return result;
}

void StreamClient::CloseStream() {
  callback_.Close();
  Stop();
  std::shared_ptr<StreamDelivery> delivery;
  {
    std::lock_guard lock(deliveryMutex_);
    delivery = delivery_;
  }
  // Joins the delivery thread (not when called from it); pushes after this are dropped.
  if (delivery) delivery->Stop();
}

// On the strand, after every (re)connection: the device starts each session
// with a stream header, and packets before it are not handed on.
void StreamClient::OnUp() {
  awaitingHeader_ = true;
  std::lock_guard lock(deliveryMutex_);
  active_ = delivery_;
}

// On the strand, once per packet; data points into the stream's reader and
// stays there until delivered.
void StreamClient::OnSessionStream(Session&, const pr::StreamData& data) {
  if (awaitingHeader_) {
    if (data.frameType != pr::kStreamHeader) return;
    awaitingHeader_ = false;
  }
  if (active_) active_->Push(data);
}

void StreamClient::Deliver(const pr::StreamData& data) {
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
