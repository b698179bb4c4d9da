#include "tmcc/common/probe_round.h"

#include <algorithm>

namespace qrv::tmcc {

ProbeRound::ProbeRound(size_t capacity, std::chrono::milliseconds answerTime)
    : capacity_(std::max<size_t>(capacity, 1)), answerTime_(answerTime) {}

void ProbeRound::Start(uint32_t probeId, Clock::time_point now) {
  started_ = true;
  probeId_ = probeId;
  deadline_ = now + answerTime_;
  found_.clear();
  order_.clear();
}

ProbeRound::Verdict ProbeRound::Judge(uint32_t requestId, uint32_t echoedProbeId,
                                      std::string_view identity, std::string_view address,
                                      Clock::time_point now) {
  if (!started_ || now > deadline_) return Verdict::kLate;
  if (requestId != probeId_ || echoedProbeId != probeId_) return Verdict::kUnsentProbe;

  // A device is its identity at its address; the NUL cannot occur in either.
  std::string key;
  key.reserve(identity.size() + 1 + address.size());
  key.append(identity).push_back('\0');
  key.append(address);
  if (auto it = found_.find(key); it != found_.end()) {
    order_.splice(order_.begin(), order_, it->second);
    return Verdict::kRepeat;
  }
  if (found_.size() >= capacity_) {
    found_.erase(order_.back());
    order_.pop_back();
  }
  order_.push_front(std::move(key));
  found_.emplace(order_.front(), order_.begin());
  return Verdict::kReport;
}

}  // namespace qrv::tmcc
