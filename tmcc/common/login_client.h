// Login (control) client: one authenticated control session to a device,
// requests on it, and a connect callback that hears every change of state.
#pragma once

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_extensions.h"
#include "tmcc/common/callback_slot.h"
#include "tmcc/common/session_client.h"

namespace qrv::tmcc {

class LoginClient : public SessionClient {
 public:
  LoginClient();

  // Threading: any thread; takes the slot's mutex briefly.
  void SetConnectCallback(TmccConnectCallback callback, void* context);
  void Shutdown() override;

 protected:
  void OnUp() override;
  void OnDown(int32_t reason) override;

 private:
  void Notify(int32_t connected, int32_t reason);

  CallbackSlot<TmccConnectCallback> callback_;
};

}  // namespace qrv::tmcc
