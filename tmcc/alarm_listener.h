// Alarm listener: accepts devices' alarm connections on a TCP port and hands
// every alarm to the data-read callback as an alarm message.
#pragma once

#include <asio.hpp>
#include <memory>
#include <mutex>
#include <set>

#include "devicelib/tmcc_api.h"
#include "tmcc/callback_gate.h"
#include "tmcc/client.h"

namespace qrv::tmcc {

class AlarmConnection;

class AlarmListener : public Client {
 public:
  AlarmListener();

  // Threading: any thread; takes the callback mutex briefly.
  void SetCallback(TmccDataReadCallback callback, void* context);
  // Threading: any thread but this client's callback; returns once the port
  // is bound (kOk) or could not be (kErrIo), kErrBusy if already listening.
  int32_t Start(uint16_t port);
  // Threading: any thread; when it returns no callback of this listener runs
  // (but the caller's own) and none starts.
  void Stop();
  void Shutdown() override {
    MarkShutdown();
    Stop();
  }

  // For the connections, on the strand.
  void Deliver(const std::shared_ptr<CallbackGate>& gate, uint32_t channel, uint16_t kind,
               int32_t value, const std::string& address);
  void Forget(AlarmConnection* connection);

 private:
  void Accept();
  void StopOnStrand();

  std::mutex callbackMutex_;
  TmccDataReadCallback callback_ = nullptr;
  void* context_ = nullptr;
  std::shared_ptr<CallbackGate> gate_;  // one per Start
  // strand only:
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::set<std::shared_ptr<AlarmConnection>> connections_;
};

}  // namespace qrv::tmcc
