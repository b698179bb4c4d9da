// Stream client: an authenticated stream session to a device whose packets
// are handed to the stream callback straight from the receive buffer, on a
// delivery thread of the stream's own (see StreamDelivery).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "devicelib/tmcc_api.h"
#include "tmcc/callback_slot.h"
#include "tmcc/session_client.h"
#include "tmcc/stream_delivery.h"

namespace qrv::tmcc {

class StreamClient : public SessionClient {
 public:
  StreamClient();
  ~StreamClient() override;

  // Threading: any thread; take the client's callback mutex briefly.
  void SetStreamCallback(TmccStreamCallback callback, void* context);
  // Starts the stream; kOk once the device accepted it.
  // Threading: any thread but this client's own callback.
  int32_t OpenStream(SessionParams params);
  // Stops the stream; when it returns no stream callback runs (but the
  // caller's own) and none starts; packets still queued are dropped.
  // Threading: any thread.
  void CloseStream();
  void Shutdown() override {
    MarkShutdown();
    CloseStream();
  }

  // Kept for the host; nothing is drawn.
  void SetDisplay(int32_t show) { display_ = show; }
  void SetBufferTime(int32_t ms) { bufferTime_ = ms; }
  void SetWindow(uint32_t window) { window_ = window; }

 protected:
  void OnUp() override;
  void OnSessionStream(Session& session, const protocol::StreamData& data) override;

 private:
  // On the delivery thread, once per packet, in order.
  void Deliver(const protocol::StreamData& data);

  CallbackSlot<TmccStreamCallback> callback_;  // one run per opened stream
  bool awaitingHeader_ = true;                 // strand only
  // The latest run's delivery: replaced by OpenStream, stopped by CloseStream.
  std::mutex deliveryMutex_;
  std::shared_ptr<StreamDelivery> delivery_;  // guarded by deliveryMutex_
  // The delivery the strand pushes to, taken from delivery_ in OnUp.
  std::shared_ptr<StreamDelivery> active_;  // strand only
  std::atomic<int32_t> display_{0};
  std::atomic<int32_t> bufferTime_{0};
  std::atomic<uint32_t> window_{0};
};

}  // namespace qrv::tmcc
