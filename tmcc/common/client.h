// The common part of every library client: its kind, its handle, its strand,
// and helpers to run work on that strand from the calling thread.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "tmcc/native/session.h"

namespace qrv::tmcc {

class Client : public std::enable_shared_from_this<Client> {
 public:
  explicit Client(int32_t kind);
  virtual ~Client() = default;

  int32_t kind() const { return kind_; }
  int32_t handle() const { return handle_; }
  void set_handle(int32_t handle) { handle_ = handle; }

  // Stops everything the client does. When it returns, no callback of the
  // client runs (other than one on the calling thread) and none will start.
  // Threading: any thread, also the client's own callback; idempotent.
  virtual void Shutdown() = 0;

  // Set once Shutdown began: work queued before it must not start anything.
  void MarkShutdown() { shutdown_ = true; }
  bool shuttingDown() const { return shutdown_; }

  void SetTimeout(std::chrono::milliseconds t) { timeoutMs_ = static_cast<int32_t>(t.count()); }
  std::chrono::milliseconds timeout() const { return std::chrono::milliseconds(timeoutMs_.load()); }
  void SetAutoReconnect(bool on) { autoReconnect_ = on; }
  bool autoReconnect() const { return autoReconnect_; }

 protected:
  // Runs fn on the strand and returns after it ran: inline when already on the
  // strand; when called on another library thread it only queues fn (waiting
  // there could starve the small pool).
  void RunOnStrand(std::function<void()> fn);

  Strand strand_;

 private:
  const int32_t kind_;
  int32_t handle_ = 0;
  std::atomic<int32_t> timeoutMs_{3000};
  std::atomic<bool> autoReconnect_{false};
  std::atomic<bool> shutdown_{false};
};

}  // namespace qrv::tmcc
