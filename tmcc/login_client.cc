#include "tmcc/login_client.h"

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"

namespace qrv::tmcc {

LoginClient::LoginClient() : SessionClient(qrv::devicelib::kClientLogin) {
  callback_.Open();
}

void LoginClient::SetConnectCallback(TmccConnectCallback callback, void* context) {
  callback_.Set(callback, context);
}

void LoginClient::BeforeUp() {
  if (lost_.exchange(false)) {
    const auto outage = std::chrono::steady_clock::now() - lostAt_;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(outage).count();
    lastOutageMs_.store(static_cast<uint32_t>(ms > 0xFFFFFFFFLL ? 0xFFFFFFFFLL : ms));
    reconnects_.fetch_add(1);
  }
}

void LoginClient::OnUp() {
  Notify(1, 0);
}

void LoginClient::BeforeDown(int32_t reason) {
  // A stop on request is no outage; a loss is, until the session is back.
  if (reason != qrv::devicelib::kOk) {
    disconnects_.fetch_add(1);
    lostAt_ = std::chrono::steady_clock::now();
    lost_.store(true);
  } else {
    lost_.store(false);
  }
}

void LoginClient::OnDown(int32_t reason) {
  Notify(0, reason);
}

qrv::devicelib::ConnectionStats LoginClient::Stats() const {
  qrv::devicelib::ConnectionStats stats;
  stats.connected = IsUp() ? 1 : 0;
  stats.disconnects = disconnects_.load();
  stats.reconnects = reconnects_.load();
  stats.lastOutageMs = lastOutageMs_.load();
  return stats;
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
