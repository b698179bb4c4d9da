// One discovery probe round: the probe id that is out, until when answers to
// it count, and which devices were already reported in it.
//
// Any process on the network can send answers, so an answer counts only when
// it echoes the probe id of the round in progress (ids are random, so one not
// seen on the wire cannot be guessed) and arrives within the round's time.
// The set of devices reported in a round is capped; when it is full, the one
// not seen for longest makes room, so a flood of invented devices costs a
// bounded amount of memory. Pure: no clock, socket or lock of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qrv::tmcc {

class ProbeRound {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxFound = 4096;
  // Three probes 300 ms apart, then time for the last answers to arrive.
  static constexpr std::chrono::milliseconds kAnswerTime{3000};

  enum class Verdict {
    kReport,       // a device not yet reported in this round
    kRepeat,       // already reported in this round
    kUnsentProbe,  // answers a probe id this round did not send
    kLate,         // after the round's time, or before any round
  };

  explicit ProbeRound(size_t capacity = kMaxFound,
                      std::chrono::milliseconds answerTime = kAnswerTime);

  // Starts a round with this probe id at now; forgets the last round's devices.
  void Start(uint32_t probeId, Clock::time_point now);
  uint32_t probeId() const { return probeId_; }

  // Judges one answer: the frame's request id and the probe id it echoes must
  // both be this round's. Only kReport remembers the device.
  Verdict Judge(uint32_t requestId, uint32_t echoedProbeId, std::string_view identity,
                std::string_view address, Clock::time_point now);

  size_t FoundCount() const { return found_.size(); }

 private:
  size_t capacity_;
  std::chrono::milliseconds answerTime_;
  bool started_ = false;
  uint32_t probeId_ = 0;
  Clock::time_point deadline_{};
  // Most recently seen first; the map points into the list.
  std::list<std::string> order_;
  std::unordered_map<std::string_view, std::list<std::string>::iterator> found_;
};

}  // namespace qrv::tmcc
