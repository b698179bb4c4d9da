#include "tmcc/common/login_client.h"

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"

namespace qrv::tmcc {

LoginClient::LoginClient() : SessionClient(qrv::devicelib::kClientLogin) {
  callback_.Open();
}

void LoginClient::SetConnectCallback(TmccConnectCallback callback, void* context) {
  callback_.Set(callback, context);
}

void LoginClient::OnUp() {
  Notify(1, 0);
}

void LoginClient::OnDown(int32_t reason) {
  Notify(0, reason);
}

// On the strand: hands the state change to the host's callback.
void LoginClient::Notify(int32_t connected, int32_t reason) {
  callback_.Invoke(handle(), connected, reason);
}

void LoginClient::Shutdown() {
  MarkShutdown();
  callback_.Close();
  Stop();
}

}  // namespace qrv::tmcc
