// Hostile peers of our own for end-to-end tests and the hostile benchmark:
// devices and alarm senders that misbehave on purpose (never read, trickle,
// forge, fail after login). Loopback only; every loop is bounded in bytes,
// connections or time and stops by itself.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tmcc/common/codec/messages.h"

namespace qrv::hostile {

using namespace std::chrono_literals;

// Resident memory of this process in bytes (0 if unknown).
int64_t RssBytes();

// A blocking TCP connection to ip:port, bound to from when given; -1 on failure.
int Connect(const std::string& ip, uint16_t port, const std::string& from = "");
// Sends all bytes; false when the peer closed or nothing moved for stall.
bool SendAll(int fd, const std::vector<uint8_t>& bytes, std::chrono::milliseconds stall);

// Alarm frames back to back, about bytes long in total.
std::vector<uint8_t> AlarmFrames(size_t bytes, const std::string& address);

// Sends alarm frames to an alarm port and never reads the acknowledgements:
// stops after bytes, when the listener cuts it, or when sending stalls.
// Returns the bytes sent.
uint64_t FloodAlarms(const std::string& ip, uint16_t port, uint64_t bytes,
                     std::chrono::milliseconds stall = 2s);

// One alarm from address from; true when it was acknowledged within timeout.
bool SendAlarm(const std::string& ip, uint16_t port, const std::string& from,
               const tmcc::protocol::Alarm& alarm, std::chrono::milliseconds timeout = 2s);

// One alarm on an open connection; true when it was acknowledged there
// within timeout.
bool SendAlarmOn(int fd, const tmcc::protocol::Alarm& alarm,
                 std::chrono::milliseconds timeout = 2s);

// A device on a loopback address: it accepts up to maxConnections, plays the
// login for each (password checked) and then runs the script on it.
class Device {
 public:
  using Script = std::function<void(int fd)>;
  Device(const std::string& address, std::string password, int maxConnections, Script script);
  ~Device();
  uint16_t port() const { return port_; }
  int logins() const { return logins_; }
  // Monotonic times of every accepted connection.
  std::vector<std::chrono::steady_clock::time_point> accepts() const;
  void Stop() { stop_ = true; }

  // Scripts.
  // Pings without ever reading: bytes of pings, or until cut or stalled.
  static uint64_t PingWithoutReading(int fd, uint64_t bytes, std::chrono::milliseconds stall = 2s);
  // A frame that is not a frame.
  static void SendGarbage(int fd);
  // A stream header, then `pictures` pictures (the first a key frame); the
  // connection is closed when the script returns.
  static void StreamPictures(int fd, int pictures);

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::string password_;
  std::atomic<int> logins_{0};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::chrono::steady_clock::time_point> accepts_;
  std::thread thread_;
};

// Many connections to an alarm port that each send one byte of an alarm
// frame per interval (a frame never completes in time), or nothing at all
// (idle). Runs on one thread until Stop() or the duration ends.
class Tricklers {
 public:
  Tricklers(const std::string& ip, uint16_t port, int count, std::chrono::milliseconds interval,
            bool idle, std::chrono::milliseconds duration);
  ~Tricklers();
  void Stop() { stop_ = true; }
  int open() const { return open_; }
  int cut() const { return cut_; }        // closed by the listener
  int failed() const { return failed_; }  // could not connect

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> open_{0}, cut_{0}, failed_{0};
  std::thread thread_;
};

}  // namespace qrv::hostile
