// Stream client: an authenticated stream session to a device whose packets
// are handed to the stream callback straight from the receive buffer.
#pragma once

#include <atomic>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_extensions.h"
#include "tmcc/common/callback_slot.h"
#include "tmcc/common/session_client.h"

namespace qrv::tmcc {

// Process-wide batch-end callback (null: every packet is handed on alone).
// Threading: any thread; read once at the start of each batch.
void SetStreamBatchEnd(devicelib::StreamBatchEndCallback callback, void* context);

class StreamClient : public SessionClient {
 public:
  StreamClient();

  // Threading: any thread; take the client's callback mutex briefly.
  void SetStreamCallback(TmccStreamCallback callback, void* context);
  // Starts the stream; kOk once the device accepted it.
  // Threading: any thread but this client's own callback.
  int32_t OpenStream(SessionParams params);
  // Stops the stream; when it returns no stream callback runs (but the
  // caller's own) and none starts. Threading: any thread.
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
  void OnSessionStream(Link& link, const protocol::StreamData& data) override;

 private:
  // Hands the packet on inside this thread's batch (entered on its first
  // packet, ended by the connection after the read's last frame).
  void DeliverBatched(devicelib::StreamPacket& packet, devicelib::StreamBatchEndCallback end,
                      void* endContext);

  CallbackSlot<TmccStreamCallback> callback_;  // one run per opened stream
  bool awaitingHeader_ = true;                 // strand only
  bool pictureSeen_ = false;                   // strand only; this session delivered one
  std::atomic<int32_t> display_{0};
  std::atomic<int32_t> bufferTime_{0};
  std::atomic<uint32_t> window_{0};
};

}  // namespace qrv::tmcc
