#include "tmcc/login_client.h"

#include "devicelib/tmcc_records.h"

namespace qrv::tmcc {

LoginClient::LoginClient() : SessionClient(qrv::devicelib::kClientLogin) {}

void LoginClient::SetConnectCallback(TmccConnectCallback callback, void* context) {
  std::lock_guard lock(callbackMutex_);
  callback_ = callback;
  context_ = context;
}

void LoginClient::OnUp() {
  Notify(1, 0);
}

void LoginClient::OnDown(int32_t reason) {
  Notify(0, reason);
}

// On the strand: hands the state change to the host's callback.
void LoginClient::Notify(int32_t connected, int32_t reason) {
  TmccConnectCallback callback;
  void* context;
  {
    std::lock_guard lock(callbackMutex_);
    callback = callback_;
    context = context_;
  }
  if (callback == nullptr) return;
  gate_.Invoke([&] { callback(handle(), connected, reason, context); });
}

void LoginClient::Shutdown() {
  MarkShutdown();
  gate_.Close();
  Stop();
}

}  // namespace qrv::tmcc
