// Login (control) client: one authenticated control session to a device,
// requests on it, and a connect callback that hears every change of state.
#pragma once

#include <atomic>
#include <chrono>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_extensions.h"
#include "tmcc/callback_slot.h"
#include "tmcc/session_client.h"

namespace qrv::tmcc {

class LoginClient : public SessionClient {
 public:
  LoginClient();

  // Threading: any thread; takes the slot's mutex briefly.
  void SetConnectCallback(TmccConnectCallback callback, void* context);
  void Shutdown() override;
  // Threading: any thread; lock-free.
  devicelib::ConnectionStats Stats() const;

 protected:
  // The history is counted before the session's state changes, so a caller
  // that sees the session up (or down) also sees the outage counted.
  void BeforeUp() override;
  void BeforeDown(int32_t reason) override;
  void OnUp() override;
  void OnDown(int32_t reason) override;

 private:
  void Notify(int32_t connected, int32_t reason);

  CallbackSlot<TmccConnectCallback> callback_;

  // Connection history (written on the strand, read from any thread).
  std::atomic<uint32_t> disconnects_{0};
  std::atomic<uint32_t> reconnects_{0};
  std::atomic<uint32_t> lastOutageMs_{0};
  std::atomic<bool> lost_{false};                   // down by loss (not on request), not yet back
  std::chrono::steady_clock::time_point lostAt_{};  // strand only
};

}  // namespace qrv::tmcc
